from typing import Any as Any, ClassVar, type_check_only

import numpy as np
from PySide6 import QtCore as QtCore
from vantel.utils.curveEditorPlot import CurveEditorPlot as CurveEditorPlot

@type_check_only
class _ObjectType(type):
    """Shiboken's metaclass, which the class is made with."""

class CurveEditHistory(QtCore.QObject, metaclass=_ObjectType):
    """Undo and redo of whole edits of a CurveEditorPlot."""

    staticMetaObject: ClassVar[QtCore.QMetaObject]
    sigHistoryChanged: ClassVar[QtCore.Signal]
    def __init__(self, plot: CurveEditorPlot, depth: int = 100) -> None: ...
    def undo(self) -> bool: ...
    def redo(self) -> bool: ...
    def canUndo(self) -> bool: ...
    def canRedo(self) -> bool: ...
    def clear(self) -> None: ...
