from copy import deepcopy as deepcopy
from collections.abc import Sequence
from typing import Any as Any, ClassVar, type_check_only

import cv2 as cv2
import numpy as np
import pyqtgraph as pg  # type: ignore[import-untyped]
import tifffile as tifffile
from PySide6 import QtCore as QtCore, QtGui as QtGui, QtWidgets as QtWidgets
from PySide6.QtCore import QThread as QThread, Signal as Signal
from PySide6.QtWidgets import (
    QFileDialog as QFileDialog,
    QGraphicsSceneHoverEvent as QGraphicsSceneHoverEvent,
    QGraphicsSceneMouseEvent as QGraphicsSceneMouseEvent,
    QGraphicsSceneWheelEvent as QGraphicsSceneWheelEvent,
    QMessageBox as QMessageBox,
)
from scipy.interpolate import PchipInterpolator as PchipInterpolator  # type: ignore[import-untyped]

@type_check_only
class _ObjectType(type):
    """Shiboken's metaclass, which both classes are made with."""

class CurveStackSaveWorker(QThread, metaclass=_ObjectType):
    """Worker thread for saving stack images with optional curve overlay to prevent UI blocking."""

    staticMetaObject: ClassVar[QtCore.QMetaObject]
    finished: ClassVar[Signal]
    error: ClassVar[Signal]
    progress: ClassVar[Signal]
    filename: str
    save_type: str
    kwargs: dict[str, Any]
    def __init__(self, filename: str, save_type: str, **kwargs: Any) -> None: ...
    def run(self) -> None: ...
    def _save_stack(self) -> None: ...
    def _save_stack_with_curve(self) -> None: ...

class CurveEditorPlot(pg.PlotItem, metaclass=_ObjectType):
    """A class for editing and plotting curves with control points in a graphical interface."""

    staticMetaObject: ClassVar[QtCore.QMetaObject]
    parentWindow: QtWidgets.QWidget | None
    gCurves: list[Any] | None
    curveLen: int
    curve_props: list[dict[str, Any]] | None
    curve_props_bk: list[dict[str, Any]] | None
    ctrl_points: list[list[np.ndarray]]
    highlight_curve: pg.PlotDataItem | None
    current_curve_idx: int
    focus_control_point_plot: pg.PlotDataItem | None
    modified_left_adjcent_plot: pg.PlotDataItem | None
    modified_right_adjcent_plot: pg.PlotDataItem | None
    indicator_plot: pg.PlotDataItem | None
    roi_position: Sequence[float]
    curves_plot: list[Any] | None
    mouse_path: list[tuple[float, float]]
    modified_x_boundaries: list[Any] | None
    mouse_pressed: bool
    modified_ctrl_point: tuple[int, int, Any, Any] | None
    modified_left_adjcent_points: list[list[Any]]
    modified_right_adjcent_points: list[list[Any]]
    current_mouse_pos: tuple[Any, ...] | None
    added_items: list[Any] | None
    distance_t: int
    symbolSize: int
    default_view_range: Any
    params_for_ctrl_point_changed_signal: list[Any] | None
    def get_inverse_color(self, color: Any) -> tuple[Any, Any, Any]: ...

    sigControlPointChanged: ClassVar[Signal]
    sigCurveChanged: ClassVar[Signal]
    sigCurveChangeFinished: ClassVar[Signal]
    sigCurveEditorTypeChanged: ClassVar[Signal]
    sigMousePosChanged: ClassVar[Signal]

    editorType: str
    target: pg.TargetItem
    update_mode: str
    volumeData: np.ndarray | None
    volumeGCurves: Any
    save_worker: CurveStackSaveWorker | None
    liveWire: Any
    menu: QtWidgets.QMenu
    enableEditorMenu: Any

    def __init__(
        self,
        parentWindow: QtWidgets.QWidget | None = None,
        parent: QtWidgets.QWidget | None = None,
        name: str | None = None,
        labels: dict[str, Any] | None = None,
        title: str | None = None,
        viewBox: pg.ViewBox | None = None,
        axisItems: dict[str, Any] | None = None,
        enableMenu: bool = True,
        eidtorType: str = "none",
        update_mode: str = "global",
        enableEditorMenu: bool = True,
        **kargs: Any,
    ) -> None: ...
    def onSaveImageAs(self) -> None: ...
    def setVolumeData(self, data: np.ndarray) -> None: ...
    def setVolumeGCurves(self, gCurves_volume: Any) -> None: ...
    def _get_current_frame_as_uint8(self) -> np.ndarray | None: ...  # None without an image
    def _render_image_with_curves(self, frame_img: np.ndarray) -> np.ndarray: ...
    def onSaveStackImageAs(self) -> None: ...
    def onSaveImageWithCurveAs(self) -> None: ...
    def onSaveStackImageWithCurveAs(self) -> None: ...
    def _start_save_worker(self, save_type: str, filename: str, **kwargs: Any) -> None: ...
    def _on_save_progress(self, progress: int) -> None: ...
    def _on_save_finished(self, message: str) -> None: ...
    def _on_save_error(self, error_message: str) -> None: ...
    def setEnableEditorMenu(self, enableEditorMenu: bool) -> None: ...
    def set_added_items(self, added_items: Any) -> None: ...
    def contextMenuEvent(self, event: QtGui.QContextMenuEvent) -> None: ...  # type: ignore[override]
    def on_add_cv_point(self, point: Any) -> None: ...
    def on_remove_cv_point(self) -> None: ...
    def targetWhellEvent(self, event: QGraphicsSceneWheelEvent) -> None: ...
    def targetMoved(self, target: Any) -> None: ...
    def mousePressEvent(self, event: QGraphicsSceneMouseEvent) -> None: ...
    def mouseDoubleClickEvent(self, event: QGraphicsSceneMouseEvent) -> None: ...
    def mouse_release(self) -> None: ...
    def setEditorType(self, editorType: str) -> None: ...
    def hoverMoveEvent(self, event: QGraphicsSceneHoverEvent) -> None: ...
    def set_curve(self, curve: list[Any], curve_props: Any) -> None: ...
    def set_roi(self, roi_position: Sequence[float]) -> None: ...  # any two numbers; stored as given
    def plot(self, *args: Any, **kargs: Any) -> None: ...  # type: ignore[override]
    def plot_indicator(self, pos: Any, direction: str = "vertical") -> None: ...
    def plot_focus_control_point(self, control_point: Any, eventPos: QtCore.QPointF | None = None) -> None: ...
    def add_cv_point(self, x_value: int, y_value: int, curve_index: int) -> None: ...
    def remove_cv_points(self, x_indexes: Any, curve_index: int) -> None: ...
    def _generate_control_points(self, t_p: float = 0.2) -> list[list[np.ndarray]]: ...
    def build_curve(self, curve_index: int = -1) -> None: ...
