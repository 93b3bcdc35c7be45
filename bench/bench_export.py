"""Curve burn-in over a volume, and whole stack saves against the way they were written before.

Rendering is compared with a plain NumPy/Python transcription of the same loop
(per-frame np.stack, per-curve Python point lists, cv2.polylines). Saves are timed
in child processes, each measuring its own peak RSS rise beyond the volume: ours
(the worker's run(), file written and in place) against the former approach, the
whole RGB stack rendered first and written in one tifffile.imwrite call with
tifffile's own pure-Python deflate (imagecodecs blocked) and default threads.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from types import SimpleNamespace

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
sys.path.insert(0, os.path.dirname(__file__))

if "--save-probe" in sys.argv and sys.argv[sys.argv.index("--save-probe") + 1] == "before":
    sys.modules["imagecodecs"] = None  # tifffile then falls back on its pure-Python codecs

import cv2  # noqa: E402
import numpy as np  # noqa: E402
import tifffile  # noqa: E402

from _harness import median_time, report_row, speedup_row  # noqa: E402

FRAMES, H, W, CURVES = 128, 496, 1024, 8


def make_data(frames=FRAMES):
    rng = np.random.default_rng(0)
    # a smooth gradient with some noise: closer to real frames than white noise
    volume = rng.integers(0, 24, (frames, H, W), dtype=np.uint8)
    volume += (np.arange(H, dtype=np.uint8) // 3)[None, :, None]
    x = np.arange(W)
    curves = [(60 * k + 40 + 20 * np.sin(x / (40 + k))).astype(np.float64) for k in range(CURVES)]
    props = [{"color": (40 * k % 256, 255 - 30 * k, 90), "is_visible": True} for k in range(CURVES)]
    return volume, curves, props


def reference_stack(volume, curves, props):
    frames, h, w = volume.shape
    stack = np.zeros((frames, h, w, 3), dtype=np.uint8)
    for i in range(frames):
        frame = volume[i]
        rgb = np.stack([frame, frame, frame], axis=2).copy()
        for curve, p in zip(curves, props):
            if not p.get("is_visible", True):
                continue
            color = tuple(int(c) for c in p["color"][:3])
            points = [[x, int(np.clip(round(float(curve[x])), 0, h - 1))] for x in range(min(w, len(curve)))]
            if len(points) < 2:
                continue
            pts = np.array(points, dtype=np.int32).reshape(-1, 1, 2)
            cv2.polylines(rgb, [pts], False, color, 1, cv2.LINE_AA)
        stack[i] = rgb
    return stack


def our_stack(cep, volume, curves, props):
    """The worker's curve-stack pages, rendered into one array, with the TIFF write captured."""
    stack = np.empty(volume.shape + (3,), np.uint8)

    def take(file, pages, **kwargs):
        for i, page in enumerate(pages):
            stack[i] = page

    real = cep.tifffile
    cep.tifffile = SimpleNamespace(imwrite=take)
    try:
        with tempfile.TemporaryDirectory() as folder:  # the worker still puts an (empty) file in place
            cep.CurveStackSaveWorker(os.path.join(folder, "unused.tiff"), "stack_with_curve", volume_data=volume,
                                     gCurves=curves, curve_props=props)._save_stack_with_curve()
    finally:
        cep.tifffile = real
    return stack


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def _reset_peak_rss():
    with open("/proc/self/clear_refs", "w") as f:  # resets VmHWM to the current RSS
        f.write("5")


def save_probe(way, kind, frames, repeat):
    """Child process: `repeat` saves of one kind, the median time and the largest peak RSS rise."""
    import vantel.utils.curveEditorPlot as cep
    volume, curves, props = make_data(frames)
    times, rises = [], []
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "stack.tiff")
        for _ in range(repeat):
            _reset_peak_rss()
            base = _status("VmRSS")  # the volume is resident already
            t0 = time.perf_counter()
            if way == "ours":
                worker = cep.CurveStackSaveWorker(path, "stack" if kind == "gray" else "stack_with_curve",
                                                  volume_data=volume, gCurves=curves, curve_props=props)
                failed = []
                worker.error.connect(failed.append)
                worker.run()
                assert not failed, failed
            elif kind == "gray":
                tifffile.imwrite(path, volume, metadata={"axes": "ZYX"}, compression="zlib", photometric="minisblack")
            else:
                stack = our_stack(cep, volume, curves, props)  # as drawn before: the whole stack first
                tifffile.imwrite(path, stack, metadata={"axes": "ZYXC"}, compression="zlib", photometric="rgb")
                del stack
            times.append(time.perf_counter() - t0)
            rises.append(_status("VmHWM") - base)
        size = os.path.getsize(path)
    print(json.dumps({"s": statistics.median(times), "rise": max(rises), "size": size}))


def probe(way, kind, frames, repeat=1):
    out = subprocess.run([sys.executable, __file__, "--save-probe", way, kind, str(frames), str(repeat)],
                         capture_output=True, text=True, env=os.environ)
    if out.returncode:
        raise RuntimeError(f"save probe {way} {kind} {frames} failed:\n{out.stderr[-2000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def run():
    import vantel.utils.curveEditorPlot as cep
    volume, curves, props = make_data()
    ours = our_stack(cep, volume, curves, props)
    np.testing.assert_array_equal(ours, reference_stack(volume, curves, props))
    t_ours = median_time(lambda: our_stack(cep, volume, curves, props), repeat=5, warmup=1)
    t_ref = median_time(lambda: reference_stack(volume, curves, props), repeat=1, warmup=0)  # 50x slower: once is enough
    rows = [speedup_row(f"render curves into {FRAMES}x{H}x{W} volume, {CURVES} curves", t_ours, t_ref, 10)]
    del volume, ours

    mib = 1 << 20
    cores = os.cpu_count()
    # The former approach is slow at 512 frames: measured once; ours as the median of three at 128.
    for frames in (128, 512):
        for kind, name, target in (("curves", "curve-stack", 4), ("gray", "grayscale stack", 2)):
            new = probe("ours", kind, frames, repeat=3 if frames == 128 else 1)
            old = probe("before", kind, frames)
            row = speedup_row(f"{name} save, {frames} frames, file in place, vs whole-stack imwrite (Python zlib)",
                              new["s"], old["s"], target)
            row["target"] += f", {cores} cores"
            rows.append(row)
            if frames == 512 and kind == "curves":
                memory = report_row(f"{name} save, {frames} frames: peak RSS rise beyond the volume", new["s"],
                                    note=f"{new['rise'] / mib:.0f} MiB (before: {old['rise'] / mib:.0f} MiB), "
                                         f"limit 64 MiB, file {new['size'] / mib:.0f} MiB")
                memory["passed"] = new["rise"] < 64 * mib
                rows.append(memory)
    return rows


if __name__ == "__main__":
    if "--save-probe" in sys.argv:
        way, kind, frames, repeat = sys.argv[sys.argv.index("--save-probe") + 1:][:4]
        save_probe(way, kind, int(frames), int(repeat))
    else:
        for r in run():
            print(r)
