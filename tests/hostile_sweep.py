"""Calls every public method and handler of the plot with hostile arguments and state: hostile_sweep.py EXAMPLES SEED

Run in a child process by test_robustness.py, so that a crash is the child's death, with the last case printed, instead
of the test run's. Every call ends normally or in an ordinary Python exception; the host's curve arrays stay the very
objects it passed.
"""
import os
import sys
import tempfile

import numpy as np
from hypothesis import HealthCheck, given, seed as fixed_seed, settings, strategies as st
from PySide6 import QtCore, QtWidgets
import pyqtgraph as pg

import vantel.utils.curveEditorPlot as cep
from conftest import FakeHostWindow  # also selects the offscreen platform before the application exists

app = QtWidgets.QApplication.instance() or QtWidgets.QApplication([])
Boom = type("Boom", (Exception,), {})


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
# Made afresh for each draw, as the plot may keep and edit them: big-endian, read-only, a list, a plain array.
MAKERS = [lambda: np.linspace(0, 50, 40).astype(">f8"), lambda: np.frombuffer(np.linspace(0, 50, 40).tobytes()),
          lambda: list(np.linspace(0, 50, 40)), lambda: np.linspace(0, 50, 40)]

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
STATE = ("volumeData volumeGCurves gCurves curve_props ctrl_points params_for_ctrl_point_changed_signal "
         "modified_ctrl_point mouse_path current_curve_idx editorType added_items roi_position mouse_pressed "
         "modified_left_adjcent_points modified_right_adjcent_points curveLen update_mode").split()
EDITORS = ["none", "anchors", "liner", "livewire", "odd"]

# The behaviour raises what Python, NumPy, pyqtgraph, OpenCV or an event's own method
# raise; SystemError (an error left set, a result returned with one, or a C++ exception
# of ours reaching the boundary) is always a fault of ours.
UNEXPECTED = (SystemError, MemoryError)

cep.QMessageBox = type("Box", (), {"__init__": lambda self, *a: None, "__getattr__": lambda self, n: (lambda *a: None),
                                   "Icon": QtWidgets.QMessageBox.Icon})
OUT = tempfile.TemporaryDirectory(prefix="sweep-")
PATHS = [os.path.join(OUT.name, "frame.png"), os.path.join(OUT.name, "stack.TIF"),
         os.path.join(OUT.name, "no", "such", "x.png"), ""]
cep.QFileDialog = type("Dialog", (), {"getSaveFileName": staticmethod(
    lambda *a: (PATHS[counts["cases"] % len(PATHS)], ""))})
window = FakeHostWindow(theme="dark")
counts = {"cases": 0}
kinds = {}


def value(draw):
    return draw(st.sampled_from(MAKERS))() if draw(st.booleans()) else draw(st.sampled_from(HOSTILE))


@st.composite
def cases(draw):
    editor = draw(st.sampled_from(EDITORS))
    state = {name: value(draw) for name in draw(st.lists(st.sampled_from(STATE), max_size=3, unique=True))}
    names = draw(st.lists(st.sampled_from(sorted(METHODS)), min_size=1, max_size=3))
    return editor, state, [(name, [Event(value(draw), raising=draw(st.booleans()))] if METHODS[name] == "event"
                            else [value(draw) for _ in range(METHODS[name])]) for name in names]


def run_case(editor, state, calls):
    plot = cep.CurveEditorPlot(parentWindow=window, eidtorType=editor)
    plot.menu.exec = lambda *a: None
    curves = [np.linspace(5, 30, 40), (np.arange(40) % 7).astype(np.int32), np.linspace(30, 5, 40).astype(np.float32)]
    plot.set_added_items(pg.ImageItem(np.random.default_rng(0).random((30, 40))))
    plot.set_curve(curves, [dict(color=(200, 10, 10), style=QtCore.Qt.PenStyle.SolidLine, width=1, connect="all",
                                 is_visible=v) for v in (True, True, False)])
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
            kinds[type(error).__name__] = kinds.get(type(error).__name__, 0) + 1
    # The host's arrays are never replaced by copies.
    if plot.gCurves is curves:
        assert len(curves) == 3 and all(a is b for a, b in zip(curves, originals))
    if plot.save_worker is not None:
        plot.save_worker.wait()
        app.processEvents()
    plot.deleteLater()
    QtCore.QCoreApplication.sendPostedEvents(None, QtCore.QEvent.Type.DeferredDelete)


def main(examples, seed):
    @fixed_seed(seed)
    @settings(max_examples=examples, database=None, deadline=None, suppress_health_check=list(HealthCheck))
    @given(cases())
    def sweep(case):
        run_case(*case)

    with OUT:
        sweep()
    print("raised:", dict(sorted(kinds.items())), flush=True)
    print(f"{counts['cases']} calls, {sum(kinds.values())} raised expected exceptions, 0 unexpected", flush=True)


if __name__ == "__main__":
    main(*map(int, sys.argv[1:3]))
