"""Stand-ins shared by the benches that drive targetMoved without a shown view."""
from PySide6 import QtCore, QtWidgets


class Window(QtWidgets.QMainWindow):
    theme = "light"


class Target:
    """What targetMoved reads of the target: its scene position, set by the bench."""

    def __init__(self):
        self.point = QtCore.QPointF(0, 0)

    def scenePos(self):
        return self.point
