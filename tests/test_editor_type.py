"""Switching the editor type."""
import numpy as np
import pytest
from PySide6 import QtGui

from pointer_helpers import EditablePlot, Recorder, editor  # noqa: F401

CORRECTORS = ["Corrector:Anchors", "Corrector:Liner", "Corrector:LiveWire"]


def checked(plot):
    return [a.text() for a in plot.menu.actions() if a.text() in CORRECTORS and a.isChecked()]


@pytest.mark.parametrize("given, stored, marks", [
    ("Liner", "liner", ["Corrector:Liner"]),
    ("LIVEWIRE", "livewire", ["Corrector:LiveWire"]),
    ("anchors", "anchors", ["Corrector:Anchors"]),
    ("None", "none", []),
])
def test_switch_sets_marks_restores_properties_redraws_then_announces(editor, given, stored, marks):
    plot = editor([np.zeros(50), np.ones(50)], eidtorType="livewire" if stored != "livewire" else "liner")
    plot.curve_props[1]["width"] = 4
    seen = Recorder(plot)
    at_signal = []
    plot.sigCurveEditorTypeChanged.connect(lambda *a: at_signal.append(plot.redraws))
    before = plot.redraws

    assert plot.setEditorType(given) is None
    assert plot.editorType == stored and checked(plot) == marks
    assert plot.curve_props == plot.curve_props_bk and plot.curve_props is not plot.curve_props_bk
    assert plot.curve_props[1] is not plot.curve_props_bk[1]
    assert seen.seen == [("sigCurveEditorTypeChanged", stored, None)]
    assert at_signal == [before + 1]


def test_unknown_name_changes_no_mark_and_still_redraws(editor):
    plot = editor([np.zeros(10)], eidtorType="anchors")
    seen = Recorder(plot)
    plot.setEditorType("")
    plot.setEditorType("")
    assert plot.editorType == "" and checked(plot) == ["Corrector:Anchors"]
    assert seen.named("sigCurveEditorTypeChanged") == [("", None)] * 2


def test_only_none_drops_the_anchor_drag_state(editor):
    plot = editor([np.zeros(10)], eidtorType="anchors")
    plot.modified_ctrl_point = (0, 1, 8, 0.0)
    plot.modified_left_adjcent_points = [[0, 0, 0, 0.0]]
    for kind in ("liner", "livewire", "anchors"):
        plot.setEditorType(kind)
        assert plot.modified_ctrl_point == (0, 1, 8, 0.0) and plot.modified_left_adjcent_points
    plot.setEditorType("none")
    assert plot.modified_ctrl_point is None
    assert plot.modified_left_adjcent_points == [] and plot.modified_right_adjcent_points == []


@pytest.mark.parametrize("kind, removed", [("liner", True), ("livewire", True), ("anchors", False), ("none", False)])
def test_point_command_at_the_top_goes_by_position_in_stroke_modes(editor, kind, removed):
    plot = editor([np.zeros(10)])
    command = QtGui.QAction("addPoint", plot.menu)
    plot.menu.insertAction(plot.menu.actions()[0], command)
    plot.menu.insertSeparator(plot.menu.actions()[1])
    texts = [a.text() for a in plot.menu.actions()]
    plot.setEditorType(kind)
    assert [a.text() for a in plot.menu.actions()] == (texts[1:] if removed else texts)


def test_marks_do_not_trigger_the_actions_and_triggers_toggle(editor):
    plot = editor([np.zeros(10)])
    calls = []
    original = EditablePlot.setEditorType
    plot.setEditorType = lambda t: (calls.append(t), original(plot, t))
    liner = next(a for a in plot.menu.actions() if a.text() == "Corrector:Liner")
    liner.trigger()
    assert calls == ["Liner"] and plot.editorType == "liner" and checked(plot) == ["Corrector:Liner"]
    liner.trigger()
    assert calls == ["Liner", "None"] and plot.editorType == "none" and checked(plot) == []


def test_plot_without_editor_menu_accepts_every_type(editor):
    plot = editor([np.zeros(10)], enableEditorMenu=False)
    seen = Recorder(plot)
    for kind in ("Anchors", "liner", "livewire", "none"):
        plot.setEditorType(kind)
    assert [a for a, _ in seen.named("sigCurveEditorTypeChanged")] == ["anchors", "liner", "livewire", "none"]


def test_failures_keep_the_steps_already_done(editor):
    plot = editor([np.zeros(10)], eidtorType="liner")
    seen = Recorder(plot)
    with pytest.raises(AttributeError):
        plot.setEditorType(None)
    assert plot.editorType == "liner"

    def broken(*args, **kargs):
        raise RuntimeError("redraw failed")

    plot.plot = broken
    with pytest.raises(RuntimeError):
        plot.setEditorType("anchors")
    assert plot.editorType == "anchors" and checked(plot) == ["Corrector:Anchors"]
    assert seen.seen == []
