"""Curve model: control-point generation and curve building against NumPy/SciPy transcriptions."""
import os
import sys

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

import numpy as np
from PySide6 import QtWidgets
from scipy.interpolate import PchipInterpolator

sys.path.insert(0, os.path.dirname(__file__))
from _harness import cost_row, median_time, speedup_row  # noqa: E402

import vantel.utils.curveEditorPlot as cep  # noqa: E402


def generate_reference(curves, t_p=0.2):
    ctrl_points = []
    t = t_p * len(curves[0])
    for curve in curves:
        dy = np.diff(curve)
        inflection_points = np.insert(np.where(np.sign(dy))[0], 0, 0)
        control_points = np.append([inflection_points[0]], inflection_points[1:-1])
        for _ in range(10):
            kept = [control_points[0]]
            for i in range(1, len(control_points) - 1):
                if t < control_points[i] - kept[-1]:
                    kept.append(control_points[i])
                    continue
                d = curve[control_points[i + 1]] - curve[kept[-1]]
                d1 = curve[control_points[i]] - curve[kept[-1]]
                d2 = curve[control_points[i + 1]] - curve[control_points[i]]
                if np.abs(d1) < 2.5 and np.abs(d2) < 2.5 and np.abs(d) < 4.5:
                    continue
                g = d / (control_points[i + 1] - kept[-1] + 0.0001)
                g1 = d1 / (control_points[i] - kept[-1] + 0.0001)
                g2 = d2 / (control_points[i + 1] - control_points[i] + 0.0001)
                if np.abs(g - g1) < 0.15 and np.abs(g - g2) < 0.15:
                    continue
                kept.append(control_points[i])
            kept.append(control_points[-1])
            if len(kept) == len(control_points):
                break
            control_points = kept.copy()
        control_points = np.append(control_points, len(curve) - 1)
        ctrl_points.append([control_points, curve[control_points]])
    return ctrl_points


def layer_curves(rng, count=16, n=2048, dtype=np.float64):
    x = np.arange(n)
    curves = []
    for k in range(count):
        base = 120 + 18 * k + 25 * np.sin(x / rng.uniform(150, 400) + k) + 6 * np.sin(x / rng.uniform(20, 60))
        y = base + rng.normal(0, 0.8, n)
        curves.append(np.round(y).astype(dtype) if np.issubdtype(dtype, np.integer) else y.astype(dtype))
    return curves


def make_plot():
    window = QtWidgets.QMainWindow()
    window.theme = "light"
    return window, cep.CurveEditorPlot(parentWindow=window)


def run():
    QtWidgets.QApplication.instance() or QtWidgets.QApplication([])
    window, plot = make_plot()
    rng = np.random.default_rng(2024)
    rows = []

    for dtype in (np.float64, np.int64):
        curves = layer_curves(rng, dtype=dtype)
        plot.gCurves = curves
        ours, ref = plot._generate_control_points(), generate_reference(curves)
        for (xs, ys), (rx, ry) in zip(ours, ref):
            assert xs.dtype == rx.dtype and ys.dtype == ry.dtype
            assert np.array_equal(xs, rx) and np.array_equal(ys, ry)
        t_ours = median_time(plot._generate_control_points, repeat=15)
        t_ref = median_time(lambda: generate_reference(curves), repeat=3, warmup=1)
        rows.append(speedup_row(f"_generate_control_points 16x2048 {np.dtype(dtype).name}", t_ours, t_ref, 30))

    n = 2048
    curve = layer_curves(rng, count=1)[0]
    xs = np.unique(np.r_[0, rng.choice(np.arange(1, n - 1), 58, replace=False), n - 1])
    ys = curve[xs] + rng.normal(0, 3, xs.size)
    plot.gCurves = [curve]
    plot.ctrl_points = [[xs, ys]]

    def ours():
        plot.params_for_ctrl_point_changed_signal = [0, 700, 900]
        plot.build_curve(0)

    def reference():
        return PchipInterpolator(xs.astype(float), ys)(np.arange(n))

    ours()
    assert np.array_equal(curve[700:900], reference()[700:900])
    # Interleaved samples so that machine noise hits both sides alike.
    t_ours, t_ref = [], []
    for _ in range(5):
        t_ours.append(median_time(ours, repeat=40))
        t_ref.append(median_time(reference, repeat=40))
    rows.append(cost_row("build_curve 2048 columns, 60 points", min(t_ours), min(t_ref), 1.3))
    window.close()
    return rows


if __name__ == "__main__":
    for row in run():
        print(row)
