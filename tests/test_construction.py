"""Construction of the plot and its editor menu."""
import numpy as np
import pytest
from PySide6 import QtCore, QtWidgets
import pyqtgraph as pg

import vantel.utils.curveEditorPlot as cep

CORRECTORS = ["Corrector:Liner", "Corrector:LiveWire", "Corrector:Anchors"]
SAVES = ["Save image...", "Save stack image...", "Save image with curve...", "Save stack image with curve..."]
LIGHT, DARK, ACCENT = (240, 240, 240), (37, 37, 38), (0, 120, 212)


def texts(plot):
    return [a.text() for a in plot.menu.actions()]


def checks(plot):
    return {a.text(): (a.isEnabled(), a.isChecked()) for a in plot.menu.actions() if a.text() in CORRECTORS}


def marked(checked):
    return {t: (True, t == checked) for t in CORRECTORS}


# What the host sees of a new plot's menu: drawn in the window's theme (only the exact word "dark" is dark), marking
# the initial type in any case.
@pytest.mark.parametrize("theme, colours, given, stored, checked", [
    pytest.param("dark", (DARK, LIGHT, ACCENT), None, "none", None, id="dark window, no type given"),
    pytest.param("light", (LIGHT, DARK, ACCENT), "Anchors", "anchors", "Corrector:Anchors", id="light window, Anchors"),
    pytest.param("Dark", (LIGHT, DARK, ACCENT), "LIVEWIRE", "livewire", "Corrector:LiveWire",
                 id="'Dark' is not dark; the type in any case"),
    pytest.param("light", (LIGHT, DARK, ACCENT), "liner", "liner", "Corrector:Liner", id="light window, liner"),
    pytest.param("dark", (DARK, LIGHT, ACCENT), "Other", "other", None, id="an unknown type is kept, none marked"),
])
def test_new_plot_menu_follows_theme_and_type(make_plot, host, menu_colours, theme, colours, given, stored, checked):
    host.theme = theme
    plot = make_plot(**({} if given is None else dict(eidtorType=given)))
    assert menu_colours(plot.menu) == colours
    menu = texts(plot)
    assert menu[1:] == CORRECTORS + SAVES and len(menu) == 8 and not plot.ctrlMenu.menuAction().isVisible()
    assert checks(plot) == marked(checked) and plot.editorType == stored


def test_new_plot_frame_fills_the_view_with_a_thin_margin(qapp, make_plot, shown):
    plot = make_plot()  # editor type "none": no control-point symbols, which widen the frame
    shown(plot)
    plot.set_curve([np.linspace(5, 25, 500)], [{"color": (255, 0, 0), "style": QtCore.Qt.PenStyle.SolidLine,
                                                "width": 1, "connect": "all", "is_visible": True}])
    plot.set_added_items(pg.ImageItem(np.full((500, 300), 0.5)))
    plot.plot()
    qapp.processEvents()  # the view auto-ranges on its next update
    for (low, high), size in zip(plot.vb.viewRange(), (500, 300)):
        assert -0.005 * size < low <= 0 and size <= high < 1.005 * size
    assert plot.acceptHoverEvents() and plot.target.parentItem() is plot and not plot.target.isVisible()


def test_failures_raise_at_their_step(qapp, host):
    no_theme = type("NoTheme", (QtWidgets.QMainWindow,), {})()
    for kwargs in (dict(parentWindow=host, eidtorType=None), dict(parentWindow=no_theme), {}):
        with pytest.raises(AttributeError):
            cep.CurveEditorPlot(**kwargs)
    plot = cep.CurveEditorPlot(parentWindow=host, title="Frame 3", update_mode="LOCAL")  # passed on, or stored
    assert plot.titleLabel.text == "Frame 3" and plot.update_mode == "LOCAL"


def test_editor_menu_disabled_then_enabled(make_plot):
    plot = make_plot(eidtorType="livewire", enableEditorMenu=False)
    # The entries come with the first truthy flag, once; a None flag disables them; only the flag is stored.
    for flag, entries, marks in [(False, SAVES, {}), (0, SAVES, {}), (True, CORRECTORS + SAVES, marked(CORRECTORS[1])),
                                 (1, CORRECTORS + SAVES, marked(CORRECTORS[1])),
                                 (None, CORRECTORS + SAVES, {t: (False, False) for t in CORRECTORS})]:
        if flag is not False:
            plot.setEnableEditorMenu(flag)
        assert texts(plot)[1:] == entries and checks(plot) == marks and plot.enableEditorMenu is flag
    plot.editorType = "anchors"
    plot.setEnableEditorMenu("yes")  # enabled again, marking the current type
    assert checks(plot)["Corrector:Anchors"] == (True, True)


# A corrector entry switches to its type, or back to none when it is the type already; entries made later by
# setEnableEditorMenu do the same. Positions: 1 Liner, 2 LiveWire, 3 Anchors. The save entries (4 and 7) call
# their commands without arguments.
@pytest.mark.parametrize("later, steps, calls", [
    (False, [("none", 1), ("liner", 1), ("anchors", 3)], ["Liner", "None", "None"]),
    (True, [("anchors", 3), ("anchors", 2)], ["None", "Livewire"])])
def test_real_corrector_and_save_actions(make_plot, later, steps, calls):
    plot, seen = make_plot(enableEditorMenu=not later), []
    if later:
        plot.setEnableEditorMenu(True)
    plot.setEditorType = seen.append
    plot.onSaveImageAs, plot.onSaveStackImageWithCurveAs = lambda: seen.append("image"), lambda: seen.append("stack")
    for current, position in steps:
        plot.editorType = current
        plot.menu.actions()[position].trigger()
    for position in (4, 7):
        plot.menu.actions()[position].trigger()
    assert seen == calls + ["image", "stack"]
