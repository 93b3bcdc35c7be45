"""Edit history: what recording costs an anchors drag, and what 1000 drags keep in memory."""
import gc
import os
import sys
import tracemalloc

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

import numpy as np
from PySide6 import QtCore, QtWidgets

sys.path.insert(0, os.path.dirname(__file__))
from _harness import cost_row, median_time, report_row  # noqa: E402

import vantel.utils.curveEditorPlot as cep  # noqa: E402
from _fakes import Target, Window  # noqa: E402
from vantel.utils.curveEditHistory import CurveEditHistory  # noqa: E402

CURVES, N, SPACING = 16, 4096, 10   # control points every 10 columns: a drag rewrites about 20
DRAGS, MEMORY_BUDGET = 1000, 2 * 2**20


def setup():
    app = QtWidgets.QApplication.instance() or QtWidgets.QApplication([])
    window = Window()
    plot = cep.CurveEditorPlot(parentWindow=window, eidtorType="anchors")
    x = np.arange(N)
    curves = [100 + 20 * k + 15 * np.sin(x / (150.0 + 7 * k)) + 3 * np.sin(x / 23.0) for k in range(CURVES)]
    plot.set_curve(curves, [{"color": (255, 0, 0), "style": QtCore.Qt.PenStyle.SolidLine, "width": 1,
                             "connect": "all", "is_visible": True} for _ in curves])
    xs = np.r_[np.arange(0, N - 1, SPACING), N - 1].astype(np.int64)
    plot.ctrl_points = [[xs.copy(), c[xs].copy()] for c in curves]
    plot.target.show()
    # The redraws are pyqtgraph item work, measured elsewhere; only the step itself here.
    plot.plot = lambda *a, **k: None
    plot.plot_focus_control_point = lambda *a, **k: None
    plot.vb.mapSceneToView = lambda p: QtCore.QPointF(p)
    return app, window, plot


def grab(plot, ci, ki):
    xs, ys = plot.ctrl_points[ci]
    plot.modified_ctrl_point = (ci, ki, xs[ki], ys[ki])
    plot.mouse_pressed = True
    plot.target.show()


def drag(plot, target, ci, ki, dy):
    """One whole drag as the target delivers it: two steps, then the release."""
    grab(plot, ci, ki)
    x, y = float(plot.ctrl_points[ci][0][ki]), float(plot.ctrl_points[ci][1][ki])
    for s in (0.5, 1.0):
        target.point = QtCore.QPointF(x, y + s * dy)
        plot.targetMoved(target)
    plot.mouse_release()


def run():
    app, window, plot = setup()
    target = Target()
    ci, ki = CURVES // 2, len(plot.ctrl_points[0][0]) // 2
    home = float(plot.ctrl_points[ci][0][ki])
    state = {"k": 0}

    def step():
        state["k"] += 1
        target.point = QtCore.QPointF(home, 180.0 + state["k"] % 7)
        plot.targetMoved(target)

    # Alternate without and with a history, so that drift in the machine's load hits both.
    grab(plot, ci, ki)
    bare, recorded = [], []
    for _ in range(5):
        bare.append(median_time(step, repeat=21, number=10))
        history = CurveEditHistory(plot)
        grab(plot, ci, ki)
        recorded.append(median_time(step, repeat=21, number=10))
        plot.mouse_release()
        del history
        gc.collect()
        grab(plot, ci, ki)
    plot.mouse_release()
    bare_s, recorded_s = float(np.median(bare)), float(np.median(recorded))

    # Whole drags and the release that records them; then undo and redo of one.
    history = CurveEditHistory(plot)
    rng = np.random.default_rng(3)
    points = len(plot.ctrl_points[0][0])
    plan = [(int(rng.integers(CURVES)), int(rng.integers(1, points - 1)), float(rng.uniform(-8, 8)))
            for _ in range(DRAGS)]
    tracemalloc.start()
    history.clear()
    for c, k, dy in plan:
        drag(plot, target, c, k, dy)
    held = history._bytes_held()
    changed = []
    for _ in range(20):   # the columns a drag changes, as the history sees them
        before = [c.copy() for c in plot.gCurves]
        drag(plot, target, *plan[len(changed)])
        changed.append(sum(int(np.count_nonzero(a != b)) for a, b in zip(before, plot.gCurves)))
    undo_s = median_time(lambda: (history.undo(), history.redo()), repeat=21, number=5) / 2
    traced_with = tracemalloc.get_traced_memory()[0]
    del history
    gc.collect()
    traced = traced_with - tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()

    whole_bare = median_time(lambda: drag(plot, target, ci, ki, 3.0), repeat=21, number=5)
    history = CurveEditHistory(plot)
    whole = median_time(lambda: drag(plot, target, ci, ki, 3.0), repeat=21, number=5)
    del history
    window.close()
    mib = lambda b: f"{b / 2**20:.2f} MiB"  # noqa: E731
    return [
        cost_row(f"targetMoved step, {CURVES}x{N}, with a history vs without", recorded_s, bare_s, 1.10),
        {"op": "  whole drag (2 steps + release, every curve diffed at release)", "ours_s": whole,
         "ref_s": whole_bare, "ratio": whole / whole_bare, "passed": True,
         "target": f"report: +{(whole - whole_bare) * 1e6:.0f} us to record the step"},
        report_row("  undo or redo of one drag (plot redraw stubbed)", undo_s),
        {"op": f"history memory after {DRAGS} drags of ~{np.median(changed):.0f} columns, {CURVES}x{N}",
         "ours_s": None, "ref_s": None, "ratio": None,
         "target": f"< 2 MiB: own count {mib(held)}, tracemalloc {mib(traced)}",
         "passed": held < MEMORY_BUDGET and traced < MEMORY_BUDGET},
    ]


if __name__ == "__main__":
    for row in run():
        print(row)
