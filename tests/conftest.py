import gc
import importlib.util
import os
import subprocess
import sys
from collections import Counter
from pathlib import Path
from types import SimpleNamespace

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

import pytest
from PySide6 import QtCore, QtGui, QtWidgets
import pyqtgraph as pg

import vantel.utils.curveEditorPlot as cep

if importlib.util.find_spec("vantel_curve_demo") is None:
    # a development build of the extension alone: the demo package is still in the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from pointer_helpers import EditablePlot, Qt, Steered


class _StatusBar:
    def __init__(self):
        self.messages = []

    def showMessage(self, text, timeout=0):
        self.messages.append((text, timeout))


class FakeHostWindow(QtWidgets.QMainWindow):
    """Stands in for the application's window: theme, slab combo box, cursor, status bar."""

    def __init__(self, theme="light", slab_index=0):
        super().__init__()
        self.theme = theme
        self.ui = SimpleNamespace(comboBox_enfaceA_Slab=SimpleNamespace(currentIndex=lambda: slab_index))
        self.cursors = []
        self.status = _StatusBar()

    def setCursor(self, shape):
        self.cursors.append(shape)
        super().setCursor(shape)

    def statusBar(self):
        return self.status


def flush_deletes():
    QtCore.QCoreApplication.sendPostedEvents(None, QtCore.QEvent.Type.DeferredDelete)
    gc.collect()


def run_child(script, *args, timeout=600):
    """Runs a test script in a child process, so that a crash fails one test; the child imports this run's build."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", PYTHONPATH=os.pathsep.join(map(os.path.abspath, sys.path)))
    here = os.path.dirname(os.path.abspath(__file__))
    result = subprocess.run([sys.executable, os.path.join(here, script), *map(str, args)], capture_output=True,
                            text=True, env=env, timeout=timeout, cwd=here)
    return result, (result.stdout + result.stderr).splitlines()


@pytest.fixture(scope="session")
def qapp():
    app = QtWidgets.QApplication.instance() or QtWidgets.QApplication([])
    yield app


@pytest.fixture
def host(qapp):
    window = FakeHostWindow()
    yield window
    window.close()
    window.deleteLater()
    flush_deletes()


@pytest.fixture
def make_plot(qapp, host):
    """Factory of plots in the fake host window; everything is torn down after the test."""
    made = []

    def make(**kwargs):
        kwargs.setdefault("parentWindow", host)
        plot = cep.CurveEditorPlot(**kwargs)
        made.append(plot)
        return plot

    yield make
    for plot in made:
        worker = getattr(plot, "save_worker", None)
        if worker is not None and worker.isRunning():
            worker.wait(10000)
    made.clear()
    flush_deletes()


@pytest.fixture
def shown(qapp):
    """Puts a plot into a real, shown GraphicsLayoutWidget so that Qt delivers events to it."""
    views = []

    def show(plot, size=(640, 480)):
        view = pg.GraphicsLayoutWidget()
        view.resize(*size)
        view.addItem(plot)
        view.show()
        qapp.processEvents()
        views.append(view)
        return view

    yield show
    for view in views:
        view.close()
        view.deleteLater()
    flush_deletes()


@pytest.fixture
def editor(qapp, host, shown):
    # editor(curves, hidden, steer, **kwargs): a shown EditablePlot, its view at 0..199; steer=False keeps the real
    # view box, else the test sets the pointer's data position.
    def make(curves, hidden=(), steer=True, **kwargs):
        plot = EditablePlot(parentWindow=host, **kwargs)
        plot.view = shown(plot)
        plot.set_curve(curves, [dict(color=(255, 40 * i % 256, 0), style=Qt.PenStyle.DashLine, width=1, connect="all",
                                     is_visible=i not in hidden) for i in range(len(curves))])
        plot.plot()
        plot.vb.setRange(xRange=(0, 199), yRange=(0, 199), padding=0)
        qapp.processEvents()
        plot.vb, plot.redraws = Steered(plot.vb) if steer else plot.vb, 0
        return plot
    return make


@pytest.fixture
def base_calls(monkeypatch):
    calls = []  # the calls of the base class's (pyqtgraph's PlotItem's) hover and press handlers
    for name, tag in [("hoverMoveEvent", "hover"), ("mousePressEvent", "press")]:
        monkeypatch.setattr(cep.CurveEditorPlot.__base__, name, lambda self, ev, t=tag: calls.append(t), raising=False)
    return calls


@pytest.fixture
def menu_colours(qapp):
    # menu_colours(menu) -> (background, text, highlight) as Qt draws the menu: the two commonest colours of the
    # menu drawn with an entry highlighted, and the colour its text is drawn in.
    def colours(menu):
        entry = next(a for a in menu.actions() if a.text() and a.isEnabled())
        menu.ensurePolished()
        menu.setActiveAction(entry)
        image = menu.grab().toImage()
        menu.setActiveAction(None)
        pixels = Counter(image.pixelColor(x, y).getRgb()[:3] for x in range(image.width())
                         for y in range(image.height()))
        (background, _), (highlight, _) = pixels.most_common(2)
        return background, menu.palette().color(QtGui.QPalette.ColorRole.WindowText).getRgb()[:3], highlight
    return colours


@pytest.fixture
def demo_window(qapp):
    """demo_window(volume, **options) -> the viewer's window on `volume`, shown and active (menu
    shortcuts answer only then); closed without questions and deleted after the test."""
    from PySide6.QtTest import QTest

    from vantel_curve_demo.viewer import DemoWindow
    made = []

    def make(volume, **options):
        w = DemoWindow(volume, fill_in_background=False, **options)
        made.append(w)
        w.show()
        w.activateWindow()
        assert QTest.qWaitForWindowActive(w), "the window never became active"
        return w
    yield make
    for w in made:
        w.ask_before_close = False
        w.close()
        w.deleteLater()
    flush_deletes()
