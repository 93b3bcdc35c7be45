"""Calls every public method and handler of the plot with hostile arguments and state.

Run in a child process by test_robustness.py, so that a crash is seen as the child's
death (with the last case printed) instead of taking the test run down. Every case must
end in the specified result or an ordinary Python exception; the host's curve arrays
must stay the very objects it passed.

    python hostile_sweep.py EXAMPLES SEED
"""
import os
import shutil
import sys
import tempfile

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

import numpy as np
from hypothesis import HealthCheck, given, seed as fixed_seed, settings, strategies as st
from PySide6 import QtCore, QtWidgets
import pyqtgraph as pg

import vantel.utils.curveEditorPlot as cep
from conftest import FakeHostWindow

app = QtWidgets.QApplication.instance() or QtWidgets.QApplication([])


class Boom(Exception):
    pass


class Event:
    """A stand-in event whose answers are hostile values, or that raises."""

    def __init__(self, answer, raising=False):
        self.answer, self.raising = answer, raising

    def _reply(self, *args):
        if self.raising:
            raise Boom("event method failed")
        return self.answer

    scenePos = pos = modifiers = button = delta = screenPos = _reply

    def ignore(self):
        pass


def read_only():
    a = np.linspace(0, 50, 40)
    a.flags.writeable = False
    return a


HOSTILE = [
    None, 0, -1, 1, 2, 39, 40, 10**30, -(10**30), 0.5, float("nan"), float("inf"), -float("inf"), True, "x", "",
    b"x", (), [], [1, 2], [None, None], {}, {"color": (1, 2, 3)}, object(),
    np.array([]), np.zeros(()), np.zeros((2, 3, 4)), np.arange(80.0)[::2], np.arange(40), np.arange(40, dtype=np.uint8),
    np.full(40, np.nan), np.full(40, np.inf), np.linspace(0, 50, 40).astype(np.float16), np.ones(40, dtype=bool),
    np.array(["a", "b"]), np.array([1 + 2j, 3j]), np.ma.masked_array(np.arange(40.0)), np.zeros((5, 40)),
    np.arange(40, dtype=object), np.int64(3), np.float32(np.nan), QtCore.QPointF(float("nan"), 3.0),
    QtCore.QPointF(1e300, -1e300), QtCore.QPointF(10.0, 20.0), QtCore.Qt.MouseButton.LeftButton,
    QtCore.Qt.KeyboardModifier.ControlModifier, pg.ImageItem(np.zeros((30, 40))), pg.ImageItem(),
    [[np.arange(5), np.arange(5.0)]], [[np.arange(5), np.arange(4.0)]], [(0, 1, 2)], (0, 1, 2.0, 3.0),
]
MAKERS = [lambda: np.linspace(0, 50, 40).astype(">f8"), read_only, lambda: list(np.linspace(0, 50, 40)), lambda: np.linspace(0, 50, 40)]

METHODS = {
    "set_curve": 2, "set_roi": 1, "set_added_items": 1, "plot": 2, "build_curve": 1, "add_cv_point": 3,
    "remove_cv_points": 2, "_generate_control_points": 1, "plot_indicator": 2, "plot_focus_control_point": 2,
    "setEditorType": 1, "setEnableEditorMenu": 1, "hoverMoveEvent": "event", "mousePressEvent": "event",
    "mouseDoubleClickEvent": "event", "mouse_release": 0, "targetWhellEvent": "event", "targetMoved": "event",
    "contextMenuEvent": "event", "on_add_cv_point": 1, "on_remove_cv_point": 0, "_render_image_with_curves": 1,
    "_get_current_frame_as_uint8": 0, "setVolumeData": 1, "setVolumeGCurves": 1, "get_inverse_color": 1,
    "_on_save_progress": 1, "_on_save_finished": 1, "_on_save_error": 1, "onSaveImageAs": 0,
    "onSaveImageWithCurveAs": 0, "onSaveStackImageAs": 0, "onSaveStackImageWithCurveAs": 0,
}
STATE = ["volumeData", "volumeGCurves", "gCurves", "curve_props", "ctrl_points", "params_for_ctrl_point_changed_signal", "modified_ctrl_point",
         "mouse_path", "current_curve_idx", "editorType", "added_items", "roi_position", "mouse_pressed",
         "modified_left_adjcent_points", "modified_right_adjcent_points", "curveLen", "update_mode"]
EDITORS = ["none", "anchors", "liner", "livewire", "odd"]

# The behaviour raises what Python, NumPy, pyqtgraph, OpenCV or an event's own method
# raise; SystemError (an error left set, a result returned with one, or a C++ exception
# of ours reaching the boundary) is always a fault of ours.
UNEXPECTED = (SystemError, MemoryError)

cep.QMessageBox = type("Box", (), {"__init__": lambda self, *a: None, "__getattr__": lambda self, n: (lambda *a: None),
                                   "Icon": QtWidgets.QMessageBox.Icon})
OUT = tempfile.mkdtemp(prefix="sweep-")
PATHS = [os.path.join(OUT, "frame.png"), os.path.join(OUT, "stack.TIF"), os.path.join(OUT, "no", "such", "x.png"), ""]
cep.QFileDialog = type("Dialog", (), {"getSaveFileName": staticmethod(
    lambda *a: (PATHS[counts["cases"] % len(PATHS)], ""))})
window = FakeHostWindow(theme="dark")
counts = {"cases": 0, "raised": 0}
kinds = {}


def fresh_plot(editor):
    plot = cep.CurveEditorPlot(parentWindow=window, eidtorType=editor)
    plot.menu.exec = lambda *a: None
    curves = [np.linspace(5, 30, 40), (np.arange(40) % 7).astype(np.int32), np.linspace(30, 5, 40).astype(np.float32)]
    props = [{"color": (200, 10, 10), "style": QtCore.Qt.PenStyle.SolidLine, "width": 1, "connect": "all",
              "is_visible": v} for v in (True, True, False)]
    plot.set_added_items(pg.ImageItem(np.random.default_rng(0).random((30, 40))))
    plot.set_curve(curves, props)
    return plot, curves


def value(draw):
    if draw(st.booleans()):
        return draw(st.sampled_from(MAKERS))()
    return draw(st.sampled_from(HOSTILE))


@st.composite
def cases(draw):
    editor = draw(st.sampled_from(EDITORS))
    state = {name: value(draw) for name in draw(st.lists(st.sampled_from(STATE), max_size=3, unique=True))}
    calls = []
    for _ in range(draw(st.integers(1, 3))):
        name = draw(st.sampled_from(sorted(METHODS)))
        arity = METHODS[name]
        if arity == "event":
            args = [Event(value(draw), raising=draw(st.booleans()))]
        else:
            args = [value(draw) for _ in range(arity)]
        calls.append((name, args))
    return editor, state, calls


def run_case(editor, state, calls):
    plot, curves = fresh_plot(editor)
    originals = list(curves)
    for name, v in state.items():
        setattr(plot, name, v)
    for name, args in calls:
        print(f"case {counts['cases']}: {editor} {sorted(state)} {name}{tuple(type(a).__name__ for a in args)}",
              flush=True)
        counts["cases"] += 1
        try:
            getattr(plot, name)(*args)
        except UNEXPECTED:
            raise
        except Exception as error:
            counts["raised"] += 1
            kinds[type(error).__name__] = kinds.get(type(error).__name__, 0) + 1
    # The host's arrays are never replaced by copies.
    if plot.gCurves is curves:
        assert len(curves) == 3 and all(a is b for a, b in zip(curves, originals))
    worker = plot.save_worker
    if worker is not None:
        worker.wait()
        app.processEvents()
    plot.deleteLater()
    QtCore.QCoreApplication.sendPostedEvents(None, QtCore.QEvent.Type.DeferredDelete)


def main(examples, seed):
    @fixed_seed(seed)
    @settings(max_examples=examples, database=None, deadline=None, suppress_health_check=list(HealthCheck))
    @given(cases())
    def sweep(case):
        run_case(*case)

    try:
        sweep()
    finally:
        shutil.rmtree(OUT, ignore_errors=True)
    print("raised:", dict(sorted(kinds.items())), flush=True)
    print(f"{counts['cases']} calls, {counts['raised']} raised expected exceptions, 0 unexpected", flush=True)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 300, int(sys.argv[2]) if len(sys.argv) > 2 else 0)
