"""Target drag: one targetMoved step against the curve rebuild it contains."""
import os
import sys

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

import numpy as np
from PySide6 import QtCore, QtWidgets
from scipy.interpolate import PchipInterpolator

sys.path.insert(0, os.path.dirname(__file__))
from _harness import cost_row, median_time, speedup_row  # noqa: E402

import vantel.utils.curveEditorPlot as cep  # noqa: E402
from _fakes import Target, Window  # noqa: E402

N, POINTS, FOCUS = 2048, 60, 30


def setup():
    app = QtWidgets.QApplication.instance() or QtWidgets.QApplication([])
    window = Window()
    plot = cep.CurveEditorPlot(parentWindow=window, eidtorType="anchors")
    x = np.arange(N)
    curve = 200 + 40 * np.sin(x / 300.0) + 5 * np.sin(x / 37.0)
    plot.set_curve([curve], [{"color": (255, 0, 0), "style": QtCore.Qt.PenStyle.SolidLine, "width": 1,
                              "connect": "all", "is_visible": True}])
    xs = np.linspace(0, N - 1, POINTS).astype(np.int64)
    plot.ctrl_points = [[xs, curve[xs].copy()]]
    plot.modified_ctrl_point = (0, FOCUS, xs[FOCUS], curve[xs[FOCUS]])
    plot.mouse_pressed = True
    plot.target.show()
    # The redraws are pyqtgraph item work, measured elsewhere; only the step itself here.
    plot.plot = lambda *a, **k: None
    plot.plot_focus_control_point = lambda *a, **k: None
    plot.vb.mapSceneToView = lambda p: QtCore.QPointF(p)
    return app, window, plot


def target_moved_reference(plot, target):
    """The drag step as plain NumPy/Python, rebuilding through SciPy directly."""
    pos = plot.vb.mapSceneToView(target.scenePos())
    x, y = pos.x(), pos.y()
    ci, ki = plot.modified_ctrl_point[0], plot.modified_ctrl_point[1]
    curve = plot.gCurves[ci]
    x = max(0, min(len(curve) - 1, np.round(x)))
    xs, ys = plot.ctrl_points[ci]
    sorted_x = np.unique(np.sort(np.delete(xs.copy(), ki)))
    lo = 0 if ki == 0 else sorted_x[np.where(sorted_x <= x)[0][-1]]
    hi = len(curve) - 1 if ki == len(sorted_x) else sorted_x[np.where(sorted_x >= x)[0][0]]
    xs[ki] += x - xs[ki]
    ys[ki] += y - ys[ki]
    cp = np.array(plot.ctrl_points[ci])
    cp = cp[:, cp[0].argsort()]
    _, unique = np.unique(cp[0], return_index=True)
    cp = cp[:, unique]
    inter = PchipInterpolator(cp[0], cp[1])(range(0, len(curve)))
    curve[lo:hi + 1] = inter[lo:hi + 1]
    plot.sigCurveChanged.emit(ci, curve)
    plot.sigControlPointChanged.emit(ci, [lo, hi + 1])


def run():
    app, window, plot = setup()
    target = Target()
    xs = plot.ctrl_points[0][0]
    home = float(xs[FOCUS])
    state = {"k": 0}

    def step(move=plot.targetMoved):
        state["k"] += 1
        target.point = QtCore.QPointF(home + (state["k"] % 3 - 1), 180.0 + state["k"] % 7)
        move(target)

    def rebuild():
        plot.params_for_ctrl_point_changed_signal = [0, int(xs[FOCUS - 1]), int(xs[FOCUS + 1]) + 1]
        plot.build_curve(0)

    ours = median_time(step, repeat=41, number=20)
    rebuild_cost = median_time(rebuild, repeat=41, number=20)
    reference = median_time(lambda: step(lambda t: target_moved_reference(plot, t)), repeat=41, number=20)
    window.close()
    return [
        cost_row("targetMoved step, 2048 cols / 60 points, vs build_curve alone", ours, rebuild_cost, 1.5),
        speedup_row("targetMoved step vs NumPy/SciPy transcription", ours, reference, 1.0),
    ]


if __name__ == "__main__":
    for row in run():
        print(row)
