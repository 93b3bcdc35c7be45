"""The demo's Edit menu: Undo and Redo through a CurveEditHistory on whatever plot the window shows."""
from __future__ import annotations

from PySide6 import QtCore, QtGui

from vantel.utils.curveEditHistory import CurveEditHistory


class EditMenu(QtCore.QObject):
    """Edit > Undo (Ctrl+Z) and Redo (Ctrl+Shift+Z, Ctrl+Y) on a main window.

    Every plot the window makes (it rebuilds its plot on a theme switch) gets a history of its
    own through ``attach``, which ``plot_replaced`` (a signal carrying the new plot) calls; the
    actions act on the history of the plot shown. Steps follow the curve arrays, so each frame
    keeps its own; ``refresh_on`` (the window's frame signal) updates the actions on a new frame.
    """

    def __init__(self, window, plot_replaced=None, refresh_on=None, depth=100):
        super().__init__(window)
        self.depth = depth
        self.history = None
        menu = window.menuBar().addMenu("&Edit")
        self.undoAction = menu.addAction("Undo")
        self.undoAction.setShortcut(QtGui.QKeySequence("Ctrl+Z"))
        self.redoAction = menu.addAction("Redo")
        self.redoAction.setShortcuts([QtGui.QKeySequence("Ctrl+Shift+Z"), QtGui.QKeySequence("Ctrl+Y")])
        self.undoAction.triggered.connect(self.undo)
        self.redoAction.triggered.connect(self.redo)
        if plot_replaced is not None:
            plot_replaced.connect(self.attach)
        if refresh_on is not None:
            refresh_on.connect(self.refresh)
        self.refresh()

    def attach(self, plot):
        """Gives `plot` a history of its own; the previous plot's goes with that plot."""
        self.history = CurveEditHistory(plot, depth=self.depth)
        self.history.sigHistoryChanged.connect(self.refresh)
        self.refresh()
        return self.history

    def undo(self):
        return self.history is not None and self.history.undo()

    def redo(self):
        return self.history is not None and self.history.redo()

    def refresh(self, *_):
        h = self.history
        self.undoAction.setEnabled(h is not None and h.canUndo())
        self.redoAction.setEnabled(h is not None and h.canRedo())
