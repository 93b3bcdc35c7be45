"""Curve burn-in over a volume, and the cost of a whole curve-stack save.

Rendering is compared with a plain NumPy/Python transcription of the same loop
(per-frame np.stack, per-curve Python point lists, cv2.polylines); the save is
reported as time and peak memory of its rendering and its TIFF write.
"""
import os
import resource
import subprocess
import sys
import tempfile
import time
import tracemalloc
from types import SimpleNamespace

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
sys.path.insert(0, os.path.dirname(__file__))

import cv2
import numpy as np
import tifffile

from _harness import median_time, report_row, speedup_row

FRAMES, H, W, CURVES = 128, 496, 1024, 8


def make_data():
    rng = np.random.default_rng(0)
    # a smooth gradient with some noise: closer to real frames than white noise
    volume = rng.integers(0, 24, (FRAMES, H, W), dtype=np.uint8)
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
    """Runs the worker's curve-stack save with the TIFF write captured, not done."""
    captured = {}
    real = cep.tifffile
    cep.tifffile = SimpleNamespace(imwrite=lambda f, data, **k: captured.setdefault("stack", data))
    try:
        cep.CurveStackSaveWorker("unused.tiff", "stack_with_curve", volume_data=volume, gCurves=curves,
                                 curve_props=props)._save_stack_with_curve()
    finally:
        cep.tifffile = real
    return captured["stack"]


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def _reset_peak_rss():
    with open("/proc/self/clear_refs", "w") as f:  # resets VmHWM to the current RSS
        f.write("5")


def memory_probe():
    """Child process: one whole save, timed and measured in rendering and writing.

    Pass 1 without tracing: wall time and peak RSS (VmHWM, reset between phases).
    Pass 2 under tracemalloc: peak of the traced (NumPy) allocations per phase.
    """
    import vantel.utils.curveEditorPlot as cep
    volume, curves, props = make_data()
    real = tifffile.imwrite
    out = {"volume": volume.nbytes}

    def save(path, traced):
        marks = {}

        def write(*a, **k):
            marks["render_s"] = time.perf_counter() - t0
            marks["render_hwm"] = _status("VmHWM")
            if traced:
                marks["render_peak"] = tracemalloc.get_traced_memory()[1]
                tracemalloc.reset_peak()
            _reset_peak_rss()
            t1 = time.perf_counter()
            real(*a, **k)
            marks["write_s"] = time.perf_counter() - t1
            marks["write_hwm"] = _status("VmHWM")
            if traced:
                marks["write_peak"] = tracemalloc.get_traced_memory()[1]

        cep.tifffile = SimpleNamespace(imwrite=write)
        if traced:
            tracemalloc.start()
        _reset_peak_rss()
        marks["base_rss"] = _status("VmRSS")  # the volume is resident already
        t0 = time.perf_counter()
        cep.CurveStackSaveWorker(path, "stack_with_curve", volume_data=volume, gCurves=curves,
                                 curve_props=props)._save_stack_with_curve()
        if traced:
            tracemalloc.stop()
        return marks

    with tempfile.TemporaryDirectory() as d:
        plain = save(os.path.join(d, "a.tiff"), False)
        out.update(plain)
        out["size"] = os.path.getsize(os.path.join(d, "a.tiff"))
        traced = save(os.path.join(d, "b.tiff"), True)
        out["render_peak"], out["write_peak"] = traced["render_peak"], traced["write_peak"]
    print(repr(out))


def run():
    import vantel.utils.curveEditorPlot as cep
    volume, curves, props = make_data()
    ours = our_stack(cep, volume, curves, props)
    np.testing.assert_array_equal(ours, reference_stack(volume, curves, props))
    t_ours = median_time(lambda: our_stack(cep, volume, curves, props), repeat=5, warmup=1)
    t_ref = median_time(lambda: reference_stack(volume, curves, props), repeat=3, warmup=0)
    rows = [speedup_row(f"render curves into {FRAMES}x{H}x{W} volume, {CURVES} curves", t_ours, t_ref, 10)]

    probe = subprocess.run([sys.executable, __file__, "--memory-probe"], capture_output=True, text=True, check=True,
                           env=os.environ)
    m = eval(probe.stdout.strip().splitlines()[-1])
    mib = 1 << 20
    budget = (m["volume"] * 4) * 1.10  # the grayscale volume plus one RGB stack, + 10 %
    rss_peak = max(m["render_hwm"], m["write_hwm"]) - m["base_rss"] + m["volume"]
    traced_peak = max(m["render_peak"], m["write_peak"]) + m["volume"]  # volume allocated before tracing
    rows.append(report_row("curve-stack save: rendering", m["render_s"],
                           note=f"RSS peak {(m['render_hwm'] - m['base_rss'] + m['volume']) / mib:.0f} MiB, "
                                f"traced {(m['render_peak'] + m['volume']) / mib:.0f} MiB (incl. volume)"))
    rows.append(report_row("curve-stack save: TIFF write (zlib)", m["write_s"],
                           note=f"RSS peak {(m['write_hwm'] - m['base_rss'] + m['volume']) / mib:.0f} MiB, "
                                f"traced {(m['write_peak'] + m['volume']) / mib:.0f} MiB (incl. volume), "
                                f"file {m['size'] / mib:.0f} MiB"))
    row = report_row("curve-stack save: peak memory within volume + RGB stack + 10 %",
                     m["render_s"] + m["write_s"],
                     note=f"RSS {rss_peak / mib:.0f} MiB, traced {traced_peak / mib:.0f} MiB, "
                          f"budget {budget / mib:.0f} MiB")
    row["passed"] = rss_peak <= budget and traced_peak <= budget
    rows.append(row)
    return rows


if __name__ == "__main__":
    if "--memory-probe" in sys.argv:
        memory_probe()
    else:
        for r in run():
            print(r)
