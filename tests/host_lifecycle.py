"""A host that opens volume after volume; test_host_lifecycle.py runs it as `host_lifecycle.py SCENARIO CYCLES`."""
# Everything happens inside app.exec(), driven by a timer at irregular intervals, with the views painting as they do
# in an application. One line is printed per step, so a crash shows as the child dying right after the step it was in.
import gc
import json
import os
import random
import sys
import tempfile
import time
from types import SimpleNamespace

import numpy as np
import pyqtgraph as pg
import tifffile
from PySide6 import QtCore, QtWidgets

import vantel.utils.curveEditorPlot as cep
from conftest import FakeHostWindow  # also sets QT_QPA_PLATFORM before the application is made
from pointer_helpers import click, drag, move

TYPES = ["anchors", "liner", "livewire", "none"]
W, H = 160, 90


class Host(FakeHostWindow):
    # The application's window with one view holding `slots` plots.
    def __init__(self, slots=1):
        super().__init__(theme="dark", slab_index=1)
        self.view, self.plots, self.edits = pg.GraphicsLayoutWidget(), [None] * slots, 0
        self.setCentralWidget(self.view)
        self.resize(300 * slots, 260)
        self.show()

    def open_volume(self, k, slot=0, editor="anchors"):
        if self.plots[slot] is not None:
            self.view.removeItem(self.plots[slot])  # the host keeps no other reference
        plot = cep.CurveEditorPlot(parentWindow=self, eidtorType=editor)
        self.view.addItem(plot, row=0, col=slot)
        plot.view = self.view
        frame = np.random.default_rng(k).random((H, W)).astype(np.float32)
        plot.set_added_items([pg.ImageItem(frame, axisOrder="row-major")])
        curves = [30 + 8 * np.sin(np.arange(W) / 15 + k), 60 + 5 * np.cos(np.arange(W) / 11 + k)]
        style = dict(style=QtCore.Qt.PenStyle.SolidLine, width=2, connect="all", is_visible=True)
        plot.set_curve(curves, [dict(color=(255, 60, 60), **style), dict(color=(60, 200, 255), **style)])
        plot.set_roi([20, 70])
        plot.plot()
        plot.sigCurveChanged.connect(self.on_edit)
        plot.sigCurveChangeFinished.connect(lambda *_: None)
        plot.vb.setRange(xRange=(0, W - 1), yRange=(0, H - 1), padding=0)
        self.plots[slot] = plot
        return plot

    def on_edit(self, index, curve):
        self.edits += 1

    def paint(self):
        self.view.viewport().repaint()


def use_with_pointer(plot):
    # What a user does before moving on: a drag in anchors, a stroke in liner or live-wire.
    if plot.editorType == "anchors":
        drag(plot, 0, len(plot.ctrl_points[0][0]) // 2, -5.0, steps=2)
    elif plot.editorType in ("liner", "livewire"):
        y0 = float(plot.gCurves[0][40])
        for x, y, double in ((40, y0, False), (70, y0 + 4, True)):
            move(plot, x, y)
            click(plot, x, y, double)
    else:
        move(plot, 50, 50)


def use_without_pointer(plot, k):
    # The paths Qt takes without a pointer: menu actions, the target's signals, a rebuild.
    {a.text(): a for a in plot.menu.actions()}["Corrector:Liner"].trigger()
    plot.setEditorType(TYPES[k % 3])
    plot.setEditorType("anchors")
    xs, ys = plot.ctrl_points[1]
    plot.modified_ctrl_point, plot.mouse_pressed = (1, 2, xs[2], ys[2]), True
    plot.target.setPos(float(xs[2]), float(ys[2]) + 2)
    plot.target.sigPositionChangeFinished.emit(plot.target)


# The scenarios yield after each step, the timer resumes them, so the event loop runs between steps; each returns
# what it reports.
def replace(cycles):
    # Two plots side by side, one replaced per cycle, each used as a user would before it goes: editor types
    # switched from the menu and from the host, a drag or stroke, an undo and a redo. Every other history is
    # dropped before its plot; the rest outlive theirs and must then answer False.
    from vantel.utils.curveEditHistory import CurveEditHistory
    host, kept, out = Host(slots=2), [], {"undone": 0, "stale": 0}
    for k in range(cycles):
        plot = host.open_volume(k, slot=k % 2, editor=TYPES[k % 4])
        history = CurveEditHistory(plot)
        yield host.paint()
        {a.text(): a for a in plot.menu.actions()}["Corrector:" + ("Liner", "LiveWire", "Anchors")[k % 3]].trigger()
        plot.setEditorType(TYPES[(k + 1) % 4].upper())
        yield host.paint()
        use_with_pointer(plot)
        if history.undo():
            out["undone"] += 1
            yield host.paint()
            history.redo()
        if k % 2:
            del history
            use_without_pointer(plot, k)  # the plot carries on without its history
        else:
            kept.append((k, history))
        del plot
        yield host.paint()
        gc.collect()
        while kept and kept[0][0] <= k - 2:  # its plot replaced
            old = kept.pop(0)[1]
            out["stale"] += (old.undo(), old.canUndo(), old.canRedo()) == (False, False, False)
    out["edits"] = host.edits
    gc.collect()
    out["plots_alive"] = sum(isinstance(o, cep.CurveEditorPlot) for o in gc.get_objects())
    return out


def window_per_volume(cycles):
    # Qt deletes each plot with its window while the host still holds the plot and its history.
    from vantel.utils.curveEditHistory import CurveEditHistory
    out = {"stale": 0}
    for k in range(cycles):
        host = Host()
        plot = host.open_volume(k, editor=TYPES[k % 3])
        history = CurveEditHistory(plot)
        yield host.paint()
        use_with_pointer(plot)
        host.close()
        host.deleteLater()
        del host
        yield
        QtCore.QCoreApplication.sendPostedEvents(None, QtCore.QEvent.Type.DeferredDelete)
        out["stale"] += (history.undo(), history.canUndo(), history.canRedo()) == (False, False, False)
        del plot, history
    return out


def save_then_drop(cycles):
    host, folder, paths = Host(), tempfile.mkdtemp(), []
    cep.QFileDialog = SimpleNamespace(getSaveFileName=lambda *args: (paths[-1], ""))
    volume = np.random.default_rng(0).integers(0, 255, (24, H, W), dtype=np.uint8)
    for k in range(cycles):
        plot = host.open_volume(k)
        yield host.paint()
        plot.setVolumeData(volume)
        paths.append(os.path.join(folder, f"stack_{k}.tiff"))
        (plot.onSaveStackImageWithCurveAs if k % 2 else plot.onSaveStackImageAs)()
        del plot  # dropped at the next replacement, its save still running
    host.open_volume(cycles)
    gc.collect()
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and any(
            w.isRunning() for w in gc.get_objects() if isinstance(w, cep.CurveStackSaveWorker)):
        yield
    return {"pages": sorted({len(tifffile.TiffFile(p).pages) for p in paths if os.path.exists(p)}),
            "written": sum(os.path.exists(p) for p in paths)}


def refcounts(cycles):
    host = Host()
    ours = lambda: [o for o in gc.get_objects() if type(o).__name__ == "compiled_function"]  # noqa: E731
    plot = host.open_volume(0)
    use_without_pointer(plot, 0)
    bound = [plot.target.shape.__func__, plot.target.viewTransformChanged.__func__]
    host.open_volume(1)
    gc.collect()
    shared = [v for cls in (cep.CurveEditorPlot, cep.CurveStackSaveWorker) for v in vars(cls).values()
              if type(v).__name__ == "compiled_function"] + bound
    del plot
    gc.collect()
    before = ([sys.getrefcount(f) for f in shared], len(ours()))
    for k in range(cycles):
        plot = host.open_volume(k)
        if k % 50 == 0:
            yield host.paint()
            use_with_pointer(plot)
        else:
            use_without_pointer(plot, k)
            yield host.paint()
        del plot
    host.open_volume(cycles + 1)
    gc.collect()
    after = ([sys.getrefcount(f) for f in shared], len(ours()))
    return {"changed": [f.__qualname__ for f, b, a in zip(shared, before[0], after[0]) if a != b],
            "instances": [before[1], after[1]],
            "plots_alive": sum(isinstance(o, cep.CurveEditorPlot) for o in gc.get_objects())}


def main():
    app = QtWidgets.QApplication.instance() or QtWidgets.QApplication([])
    app.setQuitOnLastWindowClosed(False)
    scenarios = {f.__name__: f for f in (replace, window_per_volume, save_then_drop, refcounts)}
    steps, rng, count = scenarios[sys.argv[1]](int(sys.argv[2])), random.Random(1), [0]

    def tick():
        try:
            next(steps)
        except StopIteration as end:
            print("RESULT " + json.dumps(end.value), flush=True)
            return app.quit()
        count[0] += 1
        print(f"step {count[0]}", flush=True)
        if count[0] % 4 == 0:  # dropped plots live in reference cycles until a collection
            gc.collect()
        QtCore.QTimer.singleShot(rng.randint(0, 12), tick)

    QtCore.QTimer.singleShot(0, tick)
    app.exec()
    print("done", flush=True)


if __name__ == "__main__":
    main()
