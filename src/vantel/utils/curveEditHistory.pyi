from typing import Any as Any, ClassVar, type_check_only

import numpy as np
from PySide6 import QtCore as QtCore
from vantel.utils.curveEditorPlot import CurveEditorPlot as CurveEditorPlot

@type_check_only
class _ObjectType(type):
    """Shiboken's metaclass, which the class is made with."""

class CurveEditHistory(QtCore.QObject, metaclass=_ObjectType):
    """Undo and redo of whole edits of a CurveEditorPlot.

    Attaches to the plot at construction and listens to its signals: one step per anchors
    drag, liner or live-wire stroke, or addPoint or removePoint command. Steps belong to
    the curve arrays they changed, so a host that shows another frame by giving the plot
    other curves keeps each frame's steps apart: undo() and redo() act on the steps of
    the curves the plot shows now. The history holds the plot weakly; once the plot is
    gone it lets go of every step.

    ================= ================================================================
    **Signals**
    sigHistoryChanged () What canUndo() or canRedo() answer may have changed: a step
                      was recorded, undone or redone, the steps were cleared, or the
                      plot shows other curves.
    ================= ================================================================
    """

    staticMetaObject: ClassVar[QtCore.QMetaObject]
    sigHistoryChanged: ClassVar[QtCore.Signal]
    """() What canUndo() or canRedo() answer may have changed: a step was recorded,
    undone or redone, the steps were cleared, or the plot shows other curves."""
    def __init__(self, plot: CurveEditorPlot, depth: int = 100) -> None:
        """Attach to *plot*, keeping at most *depth* steps for each set of curves it
        shows. Raises TypeError if *plot* is not a CurveEditorPlot or *depth* not an
        int, ValueError if *depth* is below 1."""
    def undo(self) -> bool:
        """Put back the values and control points from before the last step of the curves
        shown, and return True.

        The plot drops its control-point focus and redraws, then emits, as after an
        edit, sigCurveChanged and sigControlPointChanged for each curve the step changed
        and sigCurveChangeFinished; sigHistoryChanged follows. Returns False, changing
        and emitting nothing, when there is no such step, while a drag or stroke is
        under way, or once the plot is gone. Raises ValueError, changing nothing, if a
        curve array was made read-only or changed length since the step (call
        clear())."""
    def redo(self) -> bool:
        """Do again the step that undo() took back last, with the same signals, and
        return True; False when there is none (see undo())."""
    def canUndo(self) -> bool:
        """Whether undo() has a step for the curves the plot shows now."""
    def canRedo(self) -> bool:
        """Whether redo() has a step for the curves the plot shows now."""
    def clear(self) -> None:
        """Forget every step of every set of curves and emit sigHistoryChanged. Call it
        after writing into the curve arrays yourself."""
    def rebase(self, curve: Any) -> None:
        """Take `curve`, one of the arrays the plot has shown, as it is now for the start of its
        next step, keeping every step. Call it after writing into that array yourself; without it
        the next step of those curves would take the write in as its own."""
