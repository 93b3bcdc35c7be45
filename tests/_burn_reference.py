"""Plain NumPy/Python burn-in, the way the behaviour is written, to compare pixels with."""
import cv2
import numpy as np


def burn(rgb, h, w, curve, props):
    if not props.get("is_visible", True):
        return
    color = tuple(int(c) for c in props["color"][:3])
    points = [[x, int(np.clip(round(float(curve[x])), 0, h - 1))] for x in range(min(w, len(curve)))]
    if len(points) < 2:
        return
    cv2.polylines(rgb, [np.array(points, dtype=np.int32).reshape(-1, 1, 2)], False, color, 1, cv2.LINE_AA)


def render(frame, curves, props):
    h, w = frame.shape[:2]
    rgb = np.stack([frame, frame, frame], axis=2).copy() if frame.ndim == 2 else frame.copy()
    for curve, p in zip(curves, props):
        burn(rgb, h, w, curve, p)
    return rgb


def render_stack(volume, curves, props, per_frame=None):
    frames, h, w = volume.shape
    stack = np.zeros((frames, h, w, 3), dtype=np.uint8)
    for i in range(frames):
        rgb = np.stack([volume[i]] * 3, axis=2).copy()
        for entry, p in zip(per_frame if per_frame is not None else curves, props):
            burn(rgb, h, w, entry[i] if per_frame is not None else entry, p)
        stack[i] = rgb
    return stack
