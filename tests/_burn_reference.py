"""Plain NumPy/Python burn-in, the way the behaviour is written, to compare pixels with."""
import cv2
import numpy as np


def render(frame, curves, props):
    h, w = frame.shape[:2]
    rgb = np.stack([frame, frame, frame], axis=2).copy() if frame.ndim == 2 else frame.copy()
    for curve, p in zip(curves, props):
        if not p.get("is_visible", True):
            continue
        color = tuple(int(c) for c in p["color"][:3])
        points = [[x, int(np.clip(round(float(curve[x])), 0, h - 1))] for x in range(min(w, len(curve)))]
        if len(points) >= 2:
            cv2.polylines(rgb, [np.array(points, dtype=np.int32).reshape(-1, 1, 2)], False, color, 1, cv2.LINE_AA)
    return rgb


def render_stack(volume, curves, props, per_frame=None):
    return np.stack([render(frame, curves if per_frame is None else [c[i] for c in per_frame], props)
                     for i, frame in enumerate(volume)]).astype(np.uint8)
