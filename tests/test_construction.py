"""Construction of the plot and its editor menu."""
import numpy as np
import pytest
from PySide6 import QtCore, QtWidgets
import pyqtgraph as pg

import vantel.utils.curveEditorPlot as cep

CORRECTORS = ["Corrector:Liner", "Corrector:LiveWire", "Corrector:Anchors"]
SAVES = ["Save image...", "Save stack image...", "Save image with curve...", "Save stack image with curve..."]


def texts(plot):
    return [a.text() for a in plot.menu.actions()]


def checks(plot):
    return {a.text(): (a.isEnabled(), a.isChecked()) for a in plot.menu.actions() if a.text() in CORRECTORS}


LIGHT, DARK = (240, 240, 240), (37, 37, 38)


def sheet(background, text):
    return (f"QMenu {{background-color: rgb{background}; color: rgb{text};}} "
            "QMenu::item:selected {background-color: rgb(0, 120, 212);}")


# What the host sees of a new plot: its menu, styled after the window's theme (only the exact word "dark" is
# dark), and the frame filling the view with a margin of about a tenth of a percent.
@pytest.mark.parametrize("theme, colours", [("dark", (DARK, LIGHT)), ("light", (LIGHT, DARK)), ("Dark", (LIGHT, DARK))])
def test_new_plot_menu_theme_and_frame(qapp, make_plot, host, shown, theme, colours):
    host.theme = theme
    plot = make_plot()
    assert plot.menu.styleSheet().split() == sheet(*colours).split()
    menu = texts(plot)
    assert menu[1:] == CORRECTORS + SAVES and len(menu) == 8 and not plot.ctrlMenu.menuAction().isVisible()
    assert checks(plot) == {t: (True, False) for t in CORRECTORS} and plot.editorType == "none"
    shown(plot)
    plot.set_curve([np.linspace(5, 25, 500)], [{"color": (255, 0, 0), "style": QtCore.Qt.PenStyle.SolidLine,
                                                "width": 1, "connect": "all", "is_visible": True}])
    plot.set_added_items(pg.ImageItem(np.full((500, 300), 0.5)))
    plot.plot()
    qapp.processEvents()  # the view auto-ranges on its next update
    for (low, high), size in zip(plot.vb.viewRange(), (500, 300)):
        assert -0.005 * size < low <= 0 and size <= high < 1.005 * size
    assert plot.acceptHoverEvents() and plot.target.parentItem() is plot and not plot.target.isVisible()


@pytest.mark.parametrize("given, stored, checked", [("Anchors", "anchors", "Corrector:Anchors"),
                                                    ("LIVEWIRE", "livewire", "Corrector:LiveWire"),
                                                    ("liner", "liner", "Corrector:Liner"),
                                                    ("Other", "other", None)])
def test_initial_editor_type_in_any_case(make_plot, given, stored, checked):
    plot = make_plot(eidtorType=given)
    assert plot.editorType == stored
    assert {t for t, (_, c) in checks(plot).items() if c} == ({checked} if checked else set())


def test_failures_raise_at_their_step(qapp, host):
    no_theme = type("NoTheme", (QtWidgets.QMainWindow,), {})()
    for kwargs in (dict(parentWindow=host, eidtorType=None), dict(parentWindow=no_theme), {}):
        with pytest.raises(AttributeError):
            cep.CurveEditorPlot(**kwargs)
    plot = cep.CurveEditorPlot(parentWindow=host, title="Frame 3", update_mode="LOCAL")  # passed on, or stored
    assert plot.titleLabel.text == "Frame 3" and plot.update_mode == "LOCAL"


LIVEWIRE_MARKED = {"Corrector:Liner": (True, False), "Corrector:LiveWire": (True, True),
                   "Corrector:Anchors": (True, False)}


def test_editor_menu_disabled_then_enabled(make_plot):
    plot = make_plot(eidtorType="livewire", enableEditorMenu=False)
    # The entries come with the first truthy flag, once; a None flag disables them; only the flag is stored.
    for flag, entries, marks in [(False, SAVES, {}), (0, SAVES, {}), (True, CORRECTORS + SAVES, LIVEWIRE_MARKED),
                                 (1, CORRECTORS + SAVES, LIVEWIRE_MARKED),
                                 (None, CORRECTORS + SAVES, {t: (False, False) for t in CORRECTORS})]:
        if flag is not False:
            plot.setEnableEditorMenu(flag)
        assert texts(plot)[1:] == entries and checks(plot) == marks and plot.enableEditorMenu is flag
    plot.editorType = "anchors"
    plot.setEnableEditorMenu("yes")  # enabled again, marking the current type
    assert checks(plot)["Corrector:Anchors"] == (True, True)


# A corrector entry switches to its type, or back to none when it is the type already; entries made later by
# setEnableEditorMenu do the same. Positions: 1 Liner, 2 LiveWire, 3 Anchors.
@pytest.mark.parametrize("later, steps, calls", [
    (False, [("none", 1), ("liner", 1), ("anchors", 3)], ["Liner", "None", "None"]),
    (True, [("anchors", 3), ("anchors", 2)], ["None", "Livewire"])])
def test_real_corrector_actions(make_plot, later, steps, calls):
    plot, seen = make_plot(enableEditorMenu=not later), []
    if later:
        plot.setEnableEditorMenu(True)
    plot.setEditorType = seen.append
    for current, position in steps:
        plot.editorType = current
        plot.menu.actions()[position].trigger()
    assert seen == calls


def test_save_entries_call_the_save_commands_without_arguments(qapp, host):
    calls = []

    class Recording(cep.CurveEditorPlot):
        def onSaveImageAs(self):
            calls.append("image")

        def onSaveStackImageWithCurveAs(self):
            calls.append("stack with curve")

    plot = Recording(parentWindow=host)
    plot.menu.actions()[4].trigger()
    plot.menu.actions()[7].trigger()
    assert calls == ["image", "stack with curve"]
