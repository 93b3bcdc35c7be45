# Switching the editor type.
import numpy as np
import pytest

DRAG = ((0, 1, 8, 0.0), [[0, 0, 0, 0.0]], [[0, 2, 16, 0.0]])  # what an anchors drag leaves behind


def checked(plot):
    return [a.text() for a in plot.menu.actions() if a.text().startswith("Corrector:") and a.isChecked()]


@pytest.mark.parametrize("given, stored, marks, menu", [
    pytest.param("Liner", "liner", ["Corrector:Liner"], True, id="liner"),
    pytest.param("LIVEWIRE", "livewire", ["Corrector:LiveWire"], True, id="live-wire, in any case"),
    pytest.param("anchors", "anchors", ["Corrector:Anchors"], True, id="anchors"),
    pytest.param("None", "none", [], True, id="none: no mark"),
    pytest.param("", "", ["Corrector:LiveWire"], True, id="an unknown name changes no mark"),
    pytest.param("Anchors", "anchors", [], False, id="a plot without the editor menu takes every type"),
])
def test_switch(editor, given, stored, marks, menu):
    plot = editor([np.ones(50)] * 2, eidtorType="liner" if stored == "livewire" else "livewire", enableEditorMenu=menu)
    plot.curve_props[1]["width"] = 4
    plot.modified_ctrl_point, plot.modified_left_adjcent_points, plot.modified_right_adjcent_points = DRAG
    plot.menu.insertAction(plot.menu.actions()[0], plot.menu.addAction("addPoint"))  # as the context menu puts it
    texts, seen = [a.text() for a in plot.menu.actions()], []
    plot.sigCurveEditorTypeChanged.connect(lambda *args: seen.append((*args, plot.redraws)))  # after the redraw
    assert plot.setEditorType(given) is None and plot.editorType == stored and checked(plot) == marks
    assert plot.curve_props == plot.curve_props_bk and plot.curve_props[1] is not plot.curve_props_bk[1]
    assert seen == [(stored, None, 1)]
    # stroke modes drop the context menu's point command, by position
    assert [a.text() for a in plot.menu.actions()] == texts[stored in ("liner", "livewire"):]
    assert (plot.modified_ctrl_point, plot.modified_left_adjcent_points,
            plot.modified_right_adjcent_points) == ((None, [], []) if stored == "none" else DRAG)
