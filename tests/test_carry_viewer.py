"""The viewer's carry: Ctrl+] / Ctrl+[ after a correction, and Undo/Redo of a whole carry."""
import sys
from pathlib import Path

import numpy as np
import pytest
from PySide6 import QtCore
from PySide6.QtTest import QTest

try:
    import vantel_curve_demo  # noqa: F401
except ImportError:          # development build: the package is still in the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from vantel_curve_demo.volume import SyntheticVolume  # noqa: E402

from vantel_curve_demo.pointer import Pointer  # noqa: E402

LAYER, SPAN, SLIPPED = 6, (380, 620), range(2, 9)
Ctrl = QtCore.Qt.KeyboardModifier.ControlModifier


@pytest.fixture
def window(demo_window):
    volume = SyntheticVolume(frames=10, seed=3)
    a, b = SPAN
    bump = 12.0 * np.sin(np.linspace(0, np.pi, b - a))
    for f in SLIPPED:   # the same slip over several frames, as read from the file
        for array in (volume.work[LAYER], volume.initial[LAYER], volume.layers_read[volume.names[LAYER]]):
            array[f] = np.round(volume.truth[f, LAYER])
            array[f, a:b] += np.round(bump)
    # Offscreen, a window becomes active only once its activation is processed; until then Qt
    # matches no shortcut of its menus at all (not Ctrl+[ alone: the first key pressed, whatever it is).
    w = demo_window(volume, theme="dark")
    w.ui.comboBox_enfaceA_Slab.setCurrentIndex(LAYER)
    w.set_frame(SLIPPED[0])
    return w


def distance(w, frames):
    a, b = SPAN
    return np.array([np.abs(w.volume.work[LAYER][f, a:b] - w.volume.truth[f, LAYER, a:b]).mean() for f in frames])


def correct_shown_frame(w):
    a, b = SPAN
    w.volume.curves[LAYER][w.frame_index][a:b] = np.round(w.volume.truth[w.frame_index, LAYER, a:b])
    w.plot.sigControlPointChanged.emit(LAYER, [a, b])   # as the plot reports an edit


def keys(w, key, modifiers=Ctrl):
    QTest.keyClick(w, key, modifiers)
    QtCore.QCoreApplication.processEvents()


def test_carry_follows_the_layer_and_undo_redo_take_it_as_one_step(window):
    w, carried = window, []
    w.carryActions.carried.connect(lambda k, spans: carried.append((k, spans)))
    targets = list(SLIPPED[1:6])                         # five frames by default
    before = w.volume.work[LAYER].copy()
    keys(w, QtCore.Qt.Key.Key_BracketRight)
    assert carried == [], "carried without a correction"

    correct_shown_frame(w)
    keys(w, QtCore.Qt.Key.Key_BracketRight)
    assert carried == [(LAYER, [(f, *SPAN) for f in targets])]
    after = distance(w, targets)
    assert distance(w, targets).max() <= 1.5 and (before[targets] != w.volume.work[LAYER][targets]).any(), after
    assert all(w.volume.edited[LAYER][f, SPAN[0]:SPAN[1]].any() for f in targets), "carried columns not saved"
    assert w.carryActions.unseen == set(targets)
    carried_values = w.volume.work[LAYER].copy()

    keys(w, QtCore.Qt.Key.Key_Z)
    assert np.array_equal(w.volume.work[LAYER][targets], before[targets]), "undo left part of the carry"
    assert not any(w.volume.edited[LAYER][f].any() for f in targets)
    keys(w, QtCore.Qt.Key.Key_Z, Ctrl | QtCore.Qt.KeyboardModifier.ShiftModifier)
    assert np.array_equal(w.volume.work[LAYER], carried_values), "redo did not put the carry back"

    w.set_frame(targets[1])
    assert w.carryActions.unseen == set(targets) - {targets[1]}
    # the shown frame's curve is the carried one, drawn from the volume's own array
    assert w.plot.gCurves[LAYER] is w.volume.curves[LAYER][targets[1]]


def test_carry_backwards_stops_at_the_first_frame_and_follows_the_count(window):
    w = window
    w.set_frame(SLIPPED[-1])
    correct_shown_frame(w)
    w.carryActions.countBox.setValue(20)
    keys(w, QtCore.Qt.Key.Key_BracketLeft)
    targets = list(range(SLIPPED[-1] - 1, -1, -1))
    assert w.carryActions.unseen == set(targets)
    assert distance(w, SLIPPED[:-1]).mean() <= 1.0, distance(w, SLIPPED[:-1])


def drag_point(w, pointer, dy):
    """Drags the chosen layer's control point nearest the span's middle by dy rows, as a user does."""
    xs, ys = (np.asarray(a, float) for a in w.plot.ctrl_points[LAYER])
    j = int(np.argmin(np.abs(xs - sum(SPAN) / 2)))
    x, y = xs[j], ys[j]
    pointer.glide([(x - 20, y - 12), (x - 6, y - 3), (x, y)])
    assert w.plot.modified_ctrl_point is not None and w.plot.modified_ctrl_point[:2] == (LAYER, j)
    pointer.drag([(x, y)] + [(x, y + dy * n / 4) for n in range(1, 5)])


def test_undo_and_redo_walk_back_and_forth_through_a_carry_and_the_edits_after_it(window):
    w, pointer = window, Pointer.of_window(window)
    w.ui.editorButtons["anchors"].click()
    w.set_frame(SLIPPED[2])                                # seen before the carry writes into it
    pointer.glide([(400, 200), (420, 210)])
    w.set_frame(SLIPPED[0])
    states = [w.volume.work[LAYER].copy()]
    drag_point(w, pointer, -6)                            # the correction in the first slipped frame
    states.append(w.volume.work[LAYER].copy())
    keys(w, QtCore.Qt.Key.Key_BracketRight)
    states.append(w.volume.work[LAYER].copy())
    assert not np.array_equal(states[-1], states[-2]), "nothing was carried"
    w.set_frame(SLIPPED[2])                                # a carried frame, edited twice more
    for dy in (4, -3):
        drag_point(w, pointer, dy)
        states.append(w.volume.work[LAYER].copy())
        assert not np.array_equal(states[-1], states[-2]), "the drag changed nothing"
    undo, redo = (QtCore.Qt.Key.Key_Z, Ctrl), (QtCore.Qt.Key.Key_Z, Ctrl | QtCore.Qt.KeyboardModifier.ShiftModifier)
    # Undo acts on the frame shown, a carry belonging to its source and targets: back through the
    # edits and the carry, nothing more there, the correction in its own frame; then forward again.
    # first, in a carried frame without edits of its own: the carry is held by the later edits
    walk = [(undo, SLIPPED[1], 4)] + [(undo, SLIPPED[2], n) for n in (3, 2, 1, 1)] + [(undo, SLIPPED[0], 0), (redo, SLIPPED[0], 1)] + \
           [(redo, SLIPPED[2], n) for n in (2, 3, 4, 4)]
    for (key, mods), frame, n in walk:
        w.set_frame(frame)
        keys(w, key, mods)
        got = w.volume.work[LAYER]
        wrong = sorted({int(f) for f in np.nonzero((got != states[n]).any(1))[0]})
        assert not wrong, f"after {'undo' if mods == Ctrl else 'redo'} in frame {frame}, frames {wrong} " \
                          f"are not as in state {n}"
        assert w.plot.gCurves[LAYER] is w.volume.curves[LAYER][w.frame_index]


@pytest.mark.parametrize("helps", [
    pytest.param(True, id="the carry brings the frames back"),
    pytest.param(False, id="a carry that only copies the frames' own curves"),
])
def test_the_scripted_session_step_reports_the_distances_and_fails_when_the_carry_does_not_help(
        demo_window, tmp_path, monkeypatch, helps):
    from vantel_curve_demo import carry_actions
    from vantel_curve_demo.session import Session, Step
    if not helps:
        monkeypatch.setattr(carry_actions, "carry", lambda frames, curves, source, targets, *a, **k:
                            [np.array(curves[t], float) for t in targets])
    w = demo_window(SyntheticVolume(frames=5, height=200, width=400, seed=3))
    report = Session(w, tmp_path, say=lambda text: None).run([Step("carry", carry_actions.tour_step, edits=True)])
    step = report.steps[0]
    assert step["ok"] == helps, step["detail"]
    assert "before" in step["detail"] and "after" in step["detail"]
    assert helps or "did not get closer" in step["detail"]
