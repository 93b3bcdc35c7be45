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
    """(message) Once, after a save without error: "Successfully saved to " and the file
    name. It replaces QThread's own finished signal."""
    error: ClassVar[Signal]
    """(message) Once, after a failed save: "Error saving: " and the reason."""
    progress: ClassVar[Signal]
    """(percent) An int from 0 to 100, several times during a save, in order."""
    filename: str
    """The path of the TIFF file to write, as given to the constructor."""
    save_type: str
    """"stack" or "stack_with_curve", as given to the constructor."""
    kwargs: dict[str, Any]
    """The keyword arguments given to the constructor."""
    def __init__(self, filename: str, save_type: str, **kwargs: Any) -> None:
        """Prepare a save of a volume as a multi-page TIFF file; start() runs it on the
        worker thread. CurveEditorPlot's stack save commands make and start it.

        ================ ===============================================================
        **Arguments**
        filename         (str) The file to write. The pages go to a new file beside it,
                         which then replaces it, so a failed save leaves an older
                         file as it was.
        save_type        (str) "stack": the volume as grayscale pages;
                         "stack_with_curve": RGB pages with the curves burnt in. Any
                         other value writes nothing and still reports success.
        **kwargs         volume_data: the uint8 volume (frames, rows, columns).
                         curve_props: the curves' property dicts (see
                         CurveEditorPlot.set_curve()). gCurves: the curves drawn on
                         every frame, or gCurves_volume: for each curve, parallel to
                         curve_props, a sequence of y arrays, one per frame.
        ================ ===============================================================

        ================ ===============================================================
        **Signals**
        progress         (percent) An int from 0 to 100, several times during a save,
                         in order.
        finished         (message) Once, after a save without error: "Successfully
                         saved to " and the file name. It replaces QThread's own
                         finished signal.
        error            (message) Once, after a failed save: "Error saving: " and the
                         reason.
        ================ ===============================================================

        A save that a newer one replaced while it ran stops at its next frame and emits
        neither finished nor error.

        ================ ===============================================================
        **Attributes**
        filename         The path of the TIFF file to write, as given to the
                         constructor.
        save_type        "stack" or "stack_with_curve", as given to the constructor.
        kwargs           The keyword arguments given to the constructor.
        ================ ===============================================================
        """
    def run(self) -> None:
        """The thread's body, which start() runs on the worker thread: write the file that
        ``save_type`` asks for, emitting ``progress``, then ``finished``, or ``error`` with
        the reason if anything failed. No exception leaves it."""
    def _save_stack(self) -> None:
        """Save volume stack as grayscale TIFF."""
    def _save_stack_with_curve(self) -> None:
        """Save volume stack with curve lines burned in as RGB TIFF.

        If ``gCurves_volume`` was given, entry i of each curve's per-frame sequence is
        drawn on frame i; otherwise the plot's current curves are drawn on every frame."""

class CurveEditorPlot(pg.PlotItem, metaclass=_ObjectType):
    """A class for editing and plotting curves with control points in a graphical interface."""

    staticMetaObject: ClassVar[QtCore.QMetaObject]
    parentWindow: QtWidgets.QWidget | None
    """The host window given to the constructor."""
    gCurves: list[Any] | None
    """The curves shown, as set_curve() got them: the host's list of 1-d arrays, one y
    per image column, which every edit writes into."""
    curveLen: int
    """The number of columns of the curves: len(gCurves[0]) when they were set."""
    curve_props: list[dict[str, Any]] | None
    """The drawing properties, one dict per curve (see set_curve()); the curve picked
    for a stroke has its pen widened here while it is highlighted."""
    curve_props_bk: list[dict[str, Any]] | None
    """A deep copy of the properties as set_curve() got them, which curve_props is reset
    from."""
    ctrl_points: list[list[np.ndarray]]
    """The control points, one [xs, ys] pair of arrays per curve: int64 columns and the
    curve's values there. Derived by set_curve() and again at the end of each stroke."""
    highlight_curve: pg.PlotDataItem | None
    """Not used; always None."""
    current_curve_idx: int
    """The index of the curve picked for a liner or live-wire stroke, or -1."""
    focus_control_point_plot: pg.PlotDataItem | None
    """The item that marks the focused control point, or None."""
    modified_left_adjcent_plot: pg.PlotDataItem | None
    """The item that marks modified_left_adjcent_points, or None."""
    modified_right_adjcent_plot: pg.PlotDataItem | None
    """The item that marks modified_right_adjcent_points, or None."""
    indicator_plot: pg.PlotDataItem | None
    """The item of the indicator line (plot_indicator()), or None."""
    roi_position: Sequence[float]
    """The region of interest, [y0, y1], as set_roi() got it; [0, 0] at first."""
    curves_plot: list[Any] | None
    """Not used; always None."""
    mouse_path: list[tuple[float, float]]
    """While a liner or live-wire stroke is open, [(x, y)]: the last press point in data
    coordinates; empty otherwise."""
    modified_x_boundaries: list[Any] | None
    """Not used; always None."""
    mouse_pressed: bool
    """True while a control point is being dragged in "anchors" mode."""
    modified_ctrl_point: tuple[int, int, Any, Any] | None
    """The focused control point, (curve index, point index, x, y), or None."""
    modified_left_adjcent_points: list[list[Any]]
    """The control points left of the focused one that move with it (chosen with the
    wheel, nearest first), each [curve index, point index, x, y]."""
    modified_right_adjcent_points: list[list[Any]]
    """The control points right of the focused one that move with it, in the same
    form."""
    current_mouse_pos: tuple[Any, ...] | None
    """Not used; always None."""
    added_items: list[Any] | None
    """The graphics items drawn under the curves (set_added_items()), or None."""
    distance_t: int
    """The pick distance, 15: how near, in data units when all the data is in view, the
    pointer must come to a curve or a control point; zooming in shrinks it."""
    symbolSize: int
    """The size of the control-point squares drawn in "anchors" mode, 6."""
    default_view_range: Any
    """The data extent of the view's items, (x range, y range), as the last hover or
    context-menu event read it."""
    params_for_ctrl_point_changed_signal: list[Any] | None
    """The pending edited span, [curve index, start, end], or None: the columns that the
    next sigControlPointChanged reports."""
    def get_inverse_color(self, color: Any) -> tuple[Any, Any, Any]:
        """Return (255 - r, 255 - g, 255 - b) for a colour whose first three entries are
        r, g and b (a further entry is ignored): the fill of the focus markers. Raises
        IndexError for fewer than three entries."""

    sigControlPointChanged: ClassVar[Signal]
    """(index, [start, end]) The columns of curve *index* that an edit changed, right
    after sigCurveChanged. *end* is one past the last column after a control-point
    edit, the last column after a stroke."""
    sigCurveChanged: ClassVar[Signal]
    """(index, curve) Curve *index* changed; *curve* is its array, the host's own.
    Emitted by build_curve() (while a control point is dragged, and by addPoint and
    removePoint) and at the end of a liner or live-wire stroke."""
    sigCurveChangeFinished: ClassVar[Signal]
    """(None, None) mouse_release() ran: a control-point drag ended or a left
    double-click came, also with nothing edited; the edit state is reset already. Not
    emitted by addPoint and removePoint."""
    sigCurveEditorTypeChanged: ClassVar[Signal]
    """(editorType, None) setEditorType() ran; the new type, in lower case."""
    sigMousePosChanged: ClassVar[Signal]
    """([x, y]) The pointer moved over the plot: its data coordinates as two np.int32,
    truncated toward zero."""

    editorType: str
    """The editor type: "none", "anchors", "liner" or "livewire" (see setEditorType())."""
    target: pg.TargetItem
    """The invisible handle, a child of the plot, that a control-point drag moves."""
    update_mode: str
    """How a stroke reports its columns: "local" for only those it changed, anything
    else (default "global") for the whole curve."""
    volumeData: np.ndarray | None
    """The uint8 volume (frames, rows, columns) that the stack saves write, or None
    (setVolumeData())."""
    volumeGCurves: Any
    """The per-frame curves for the stack save with curves, or None
    (setVolumeGCurves()): a mapping from curve key, in the order of curve_props, to a
    sequence of y arrays, one per frame."""
    save_worker: CurveStackSaveWorker | None
    """The stack save thread started last, or None."""
    liveWire: Any
    """The live-wire path finder of "livewire" mode, a
    cv2.segmentation.IntelligentScissorsMB; set_added_items() gives it the frame."""
    menu: QtWidgets.QMenu
    """The context menu: the view box menu's first entry, the corrector actions and the
    four save entries."""
    enableEditorMenu: Any
    """The value last given to setEnableEditorMenu()."""

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
    ) -> None:
        """Make the curve editor: an invisible drag handle (``target``), the live-wire path
        finder (``liveWire``) and the context menu (``menu``). Nothing is drawn until the
        host calls set_curve(), set_added_items() and plot(). The curves stay the host's
        own arrays: every edit writes into them and is announced by the signals below.

        The user edits in the editor type of ``editorType`` (see setEditorType()):

        * "anchors": the control point nearest the pointer is focused; dragging it moves
          it, with the neighbours chosen by the wheel over it, and re-interpolates the
          curve around it. The context menu adds or removes control points.
        * "liner": the curve nearest the pointer in its column is picked (with Ctrl
          held, the host's chosen curve unless another is in reach); a left press
          starts a straight segment that follows the pointer, each further press a new
          one, and a left double-click ends the stroke.
        * "livewire": as "liner", but each segment follows the edges of the frame.
        * "none": no editing.

        The menu's save entries run onSaveImageAs(), onSaveStackImageAs(),
        onSaveImageWithCurveAs() and onSaveStackImageWithCurveAs(). Each asks for a file
        name, then writes the image items as PNG, the shown frame with the visible curves
        burnt in (TIFF or PNG), or the volume of setVolumeData() as a grayscale or RGB
        TIFF stack on a CurveStackSaveWorker thread. The RGB stack carries the curves of
        setVolumeGCurves() frame by frame, or else the current curves on every frame.
        A stack save shows a wait cursor and its progress in the host window's status
        bar, and a warning box if it fails.

        ================= ==============================================================
        **Arguments**
        parentWindow      (QWidget) The host window, required in practice. Its
                          ``theme`` is read now ("dark" gives a dark menu). Later the
                          plot calls its ``ui.comboBox_enfaceA_Slab.currentIndex()``
                          (the curve that Ctrl picks), ``setCursor()`` and, if it has
                          one, ``statusBar()``, and parents its dialogs on it.
        parent            Passed on by position to pg.PlotItem, as are *name*,
                          *labels*, *title*, *viewBox*, *axisItems* and *enableMenu*,
                          with any further keyword arguments (*kargs*).
        eidtorType        (str) The editor type to start in, in any letter case;
                          default "none".
        update_mode       (str) "local": a liner or live-wire stroke reports only the
                          columns it changed; anything else (default "global"): the
                          whole curve.
        enableEditorMenu  (bool) Whether the menu offers the corrector actions, which
                          switch the editor type; see setEnableEditorMenu(). Default
                          True.
        ================= ==============================================================

        Raises AttributeError if *eidtorType* is not a string or *parentWindow* has no
        ``theme``.

        ========================= ======================================================
        **Signals**
        sigCurveChanged           (index, curve) Curve *index* changed; *curve* is its
                                  array, the host's own. Emitted by build_curve()
                                  (while a control point is dragged, and by addPoint
                                  and removePoint) and at the end of a liner or
                                  live-wire stroke.
        sigControlPointChanged    (index, [start, end]) The columns of curve *index*
                                  that an edit changed, right after sigCurveChanged.
                                  *end* is one past the last column after a
                                  control-point edit, the last column after a stroke.
        sigCurveChangeFinished    (None, None) mouse_release() ran: a control-point drag
                                  ended or a left double-click came, also with nothing
                                  edited; the edit state is reset already. Not emitted
                                  by addPoint and removePoint.
        sigCurveEditorTypeChanged (editorType, None) setEditorType() ran; the new type,
                                  in lower case.
        sigMousePosChanged        ([x, y]) The pointer moved over the plot: its data
                                  coordinates as two np.int32, truncated toward zero.
        ========================= ======================================================

        **Attributes** (the plot's state, for a host to read; the methods named set
        them)

        parentWindow
            The host window given to the constructor.
        gCurves
            The curves shown, as set_curve() got them: the host's list of 1-d arrays,
            one y per image column, which every edit writes into.
        curveLen
            The number of columns of the curves: len(gCurves[0]) when they were set.
        curve_props
            The drawing properties, one dict per curve (see set_curve()); the curve
            picked for a stroke has its pen widened here while it is highlighted.
        curve_props_bk
            A deep copy of the properties as set_curve() got them, which curve_props is
            reset from.
        ctrl_points
            The control points, one [xs, ys] pair of arrays per curve: int64 columns and
            the curve's values there. Derived by set_curve() and again at the end of
            each stroke.
        current_curve_idx
            The index of the curve picked for a liner or live-wire stroke, or -1.
        editorType
            The editor type: "none", "anchors", "liner" or "livewire" (see
            setEditorType()).
        update_mode
            How a stroke reports its columns: "local" for only those it changed,
            anything else (default "global") for the whole curve.
        mouse_path
            While a liner or live-wire stroke is open, [(x, y)]: the last press point in
            data coordinates; empty otherwise.
        mouse_pressed
            True while a control point is being dragged in "anchors" mode.
        modified_ctrl_point
            The focused control point, (curve index, point index, x, y), or None.
        modified_left_adjcent_points
            The control points left of the focused one that move with it (chosen with
            the wheel, nearest first), each [curve index, point index, x, y].
        modified_right_adjcent_points
            The control points right of the focused one that move with it, in the same
            form.
        params_for_ctrl_point_changed_signal
            The pending edited span, [curve index, start, end], or None: the columns
            that the next sigControlPointChanged reports.
        added_items
            The graphics items drawn under the curves (set_added_items()), or None.
        roi_position
            The region of interest, [y0, y1], as set_roi() got it; [0, 0] at first.
        distance_t
            The pick distance, 15: how near, in data units when all the data is in
            view, the pointer must come to a curve or a control point; zooming in
            shrinks it.
        symbolSize
            The size of the control-point squares drawn in "anchors" mode, 6.
        default_view_range
            The data extent of the view's items, (x range, y range), as the last hover
            or context-menu event read it.
        target
            The invisible handle, a child of the plot, that a control-point drag moves.
        focus_control_point_plot
            The item that marks the focused control point, or None.
        modified_left_adjcent_plot
            The item that marks modified_left_adjcent_points, or None.
        modified_right_adjcent_plot
            The item that marks modified_right_adjcent_points, or None.
        indicator_plot
            The item of the indicator line (plot_indicator()), or None.
        liveWire
            The live-wire path finder of "livewire" mode, a
            cv2.segmentation.IntelligentScissorsMB; set_added_items() gives it the
            frame.
        menu
            The context menu: the view box menu's first entry, the corrector actions
            and the four save entries.
        enableEditorMenu
            The value last given to setEnableEditorMenu().
        volumeData
            The uint8 volume (frames, rows, columns) that the stack saves write, or None
            (setVolumeData()).
        volumeGCurves
            The per-frame curves for the stack save with curves, or None
            (setVolumeGCurves()): a mapping from curve key, in the order of
            curve_props, to a sequence of y arrays, one per frame.
        save_worker
            The stack save thread started last, or None.
        highlight_curve
            Not used; always None.
        curves_plot
            Not used; always None.
        modified_x_boundaries
            Not used; always None.
        current_mouse_pos
            Not used; always None.
        """
    def onSaveImageAs(self) -> None:
        """Saves the current plot as an image file."""
    def setVolumeData(self, data: np.ndarray) -> None:
        """Set the volume data for stack saving."""
    def setVolumeGCurves(self, gCurves_volume: Any) -> None:
        """Set per-frame curves for the volume stack."""
    def _get_current_frame_as_uint8(self) -> np.ndarray | None:  # None without an image
        """Return the current displayed frame as a uint8 array, or None if unavailable."""
    def _render_image_with_curves(self, frame_img: np.ndarray) -> np.ndarray:
        """Render a single grayscale frame with all visible curves drawn on it as an RGB image."""
    def onSaveStackImageAs(self) -> None:
        """Save the volume stack as a grayscale TIFF file using a background worker thread."""
    def onSaveImageWithCurveAs(self) -> None:
        """Save the current image frame with curves overlaid as a color image."""
    def onSaveStackImageWithCurveAs(self) -> None:
        """Save the volume stack with curves overlaid as a color TIFF using a background worker thread."""
    def _start_save_worker(self, save_type: str, filename: str, **kwargs: Any) -> None:
        """Start a background worker thread for saving stack images."""
    def _on_save_progress(self, progress: int) -> None:
        """Handle save-progress updates from the worker thread."""
    def _on_save_finished(self, message: str) -> None:
        """Handle successful completion of the save operation."""
    def _on_save_error(self, error_message: str) -> None:
        """Handle errors from the save worker thread."""
    def setEnableEditorMenu(self, enableEditorMenu: bool) -> None:
        """Offer or withhold the corrector actions of the context menu.

        If *enableEditorMenu* is true, the checkable actions "Corrector:Liner",
        "Corrector:LiveWire" and "Corrector:Anchors" are made below the menu's first
        entry where missing, enabled, and the one of the current editor type is checked.
        Choosing one calls setEditorType() with its type, or with "None" if that type is
        the current one. If false, they are disabled and unchecked but stay in the menu.
        The value is stored in ``enableEditorMenu``. Emits nothing."""
    def set_added_items(self, added_items: Any) -> None:
        """Set the graphics items drawn under the curves, the frame's image item first.

        *added_items* is one item, a list of items, or None for none. The first item's
        ``image`` (a 2-d array of intensities from 0 to 1) is scaled to 0..255 as uint8
        and given to the live-wire path finder; without an image the finder gets a black
        100 x 100 one. Neither redraws (call plot()) nor emits. Raises AttributeError,
        with the items already stored, if the first item has no ``image``."""
    def contextMenuEvent(self, event: QtGui.QContextMenuEvent) -> None:  # type: ignore[override]
        """Qt's context-menu handler of the plot (a right click).

        In "anchors" mode it shows ``menu`` with one point command on top: "removePoint"
        when a control point is focused (on_remove_cv_point()), otherwise "addPoint" when
        a curve passes near the pointer in its column (on_add_cv_point() at the pointer's
        rounded position). In "liner" and "livewire" mode it abandons the open stroke:
        what the stroke wrote stays, and nothing is announced. No other mode shows a
        menu, and nothing happens while the view holds no item with bounds."""
    def on_add_cv_point(self, point: Any) -> None:
        """The "addPoint" command: add a control point and re-interpolate the curve
        around it.

        *point* is (curve index, x, y) in data coordinates. Calls add_cv_point(), then
        build_curve(), which emits sigCurveChanged and sigControlPointChanged, then
        redraws. Raises what those raise."""
    def on_remove_cv_point(self) -> None:
        """The "removePoint" command: remove the focused control point and the neighbours
        chosen with it, and re-interpolate the curve.

        Calls remove_cv_points() with the positions of ``modified_left_adjcent_points``,
        ``modified_ctrl_point`` and ``modified_right_adjcent_points``, then build_curve(),
        which emits sigCurveChanged and sigControlPointChanged, then redraws. Raises
        TypeError when no control point is focused, and what remove_cv_points() raises."""
    def targetWhellEvent(self, event: QGraphicsSceneWheelEvent) -> None:
        """Wheel handler of ``target``: widen or narrow the group of control points that
        move with the focused one.

        A forward turn (*event*.delta() > 0) adds the next control point on each side,
        where there is one; any other turn drops the outermost one on each side. The
        group is kept in ``modified_left_adjcent_points`` and
        ``modified_right_adjcent_points`` and drawn as circles. Does nothing without a
        focused control point; the view does not zoom over the target. Emits nothing."""
    def targetMoved(self, target: Any) -> None:
        """Slot of ``target``'s sigPositionChanged: during an "anchors" drag, move the
        focused control point to the target.

        The point goes to the target's column (rounded, kept within the curve) and y;
        the neighbours chosen with the wheel move by the same amount (only vertically
        when every other point is chosen). build_curve() then re-interpolates the curve
        around the point and emits sigCurveChanged and sigControlPointChanged, and the
        plot redraws. Does nothing unless a drag is under way (``mouse_pressed``) and
        the target is shown. Raises IndexError if the curve's end control points were
        removed, with nothing moved."""
    def mousePressEvent(self, event: QGraphicsSceneMouseEvent) -> None:
        """Qt's mouse-press handler of the plot.

        In "anchors" mode a left press starts dragging the focused control point, if one
        is focused. In "liner" and "livewire" mode a left press inside the plot, while a
        curve is picked, opens a stroke at the press point or starts its next segment
        there (in "livewire" mode the path finder's seed); the curve is written as the
        pointer moves. Every press then goes on to pg.PlotItem. Emits nothing."""
    def mouseDoubleClickEvent(self, event: QGraphicsSceneMouseEvent) -> None:
        """Qt's double-click handler of the plot, and the click handler of ``target``: the
        left button calls mouse_release(), which ends a drag or stroke; other buttons do
        nothing."""
    def mouse_release(self) -> None:
        """End the edit under way and reset the edit state.

        At the end of a liner or live-wire stroke the control points of every curve are
        derived anew, sigCurveChanged and sigControlPointChanged announce the stroked
        curve and its edited columns, and the plot redraws. In every mode the drag and
        stroke state is then cleared, ``target`` hidden, and sigCurveChangeFinished
        (None, None) emitted last. Called on a left double-click, a click on the target
        and the end of a target drag."""
    def setEditorType(self, editorType: str) -> None:
        """Switch the editor type to *editorType*: "none", "anchors", "liner" or
        "livewire", in any letter case.

        Stores it lower-cased in ``editorType`` and checks its corrector action in the
        menu. Switching to "none" drops the focused control point and its group;
        switching to "liner" or "livewire" removes the point command from the menu.
        Every call then removes a curve highlight (``curve_props`` from
        ``curve_props_bk``), redraws and emits sigCurveEditorTypeChanged(editorType,
        None); another name is stored the same way and edits nothing. Raises
        AttributeError if *editorType* is not a string."""
    def hoverMoveEvent(self, event: QGraphicsSceneHoverEvent) -> None:
        """Qt's hover handler of the plot: it follows the pointer.

        Emits sigMousePosChanged with the pointer's data position, then acts by editor
        type. "anchors": focuses the visible control point nearest the pointer, within
        ``distance_t`` (L1) scaled by the zoom, and shows ``target`` on it. "liner" and
        "livewire": picks and highlights the curve nearest the pointer in its column
        (with Ctrl held, the host's chosen curve unless another is in reach); while a
        stroke is open, writes the segment from the last press to the pointer into the
        picked curve instead, a straight line or the live-wire path, and redraws.
        Nothing happens while the view holds no item with bounds; outside the plot only
        pg.PlotItem sees the event."""
    def set_curve(self, curve: list[Any], curve_props: Any) -> None:
        """Set the curves to edit and their drawing properties.

        *curve* is a list of 1-d arrays of equal length, one y per image column; the
        plot keeps the list and the arrays themselves and edits them in place.
        *curve_props* is a list of dicts parallel to it, with the keys "color" ((r, g,
        b), 0 to 255), "style" (a QtCore.Qt.PenStyle), "width", "connect" and
        "is_visible"; a deep copy is kept in ``curve_props_bk``. The control points are
        derived from the curves. Neither redraws (call plot()) nor emits. Raises
        IndexError for an empty list."""
    def set_roi(self, roi_position: Sequence[float]) -> None:  # any two numbers; stored as given
        """Set the region of interest, [y0, y1]: plot() draws it as two dotted horizontal
        lines across the curves, unless y1 is 0. Stored as given; neither redraws nor
        emits."""
    def plot(self, *args: Any, **kargs: Any) -> None:  # type: ignore[override]
        """Redraw everything from the stored data; the arguments are ignored.

        Clears the plot, then adds ``added_items``, each visible curve with its pen, in
        "anchors" mode each visible curve's control points, and the region-of-interest
        lines. Does nothing before set_curve(). Raises KeyError if the properties of a
        visible curve lack a key. Emits nothing."""
    def plot_indicator(self, pos: Any, direction: str = "vertical") -> None:
        """Draw the indicator line, a dotted yellow line across the frame, or remove it.

        *pos* is (x, y) in data coordinates: with *direction* "vertical" the line runs
        down at x, with any other value across at y. None removes the line. Nothing is
        drawn without a frame image (``added_items[0].image``). The line replaces the
        previous one; plot() clears it."""
    def plot_focus_control_point(self, control_point: Any, eventPos: QtCore.QPointF | None = None) -> None:
        """Mark the focused control point, and the neighbours that move with it.

        *control_point* is (curve index, point index, x, y), or None for no marker. With
        *eventPos*, a position in the plot item's coordinates, ``target`` moves there
        and is shown. In "anchors" mode ``modified_left_adjcent_points`` and
        ``modified_right_adjcent_points`` are marked with circles; in other modes their
        marks are removed. Each mark is filled with get_inverse_color() of its curve's
        colour."""
    def add_cv_point(self, x_value: int, y_value: int, curve_index: int) -> None:
        """Insert the control point (*x_value*, *y_value*) into curve *curve_index*'s
        control points, in x order (before a point at the same x; x takes the integer
        type of the columns).

        Records the columns from the control point left of it to the one right of it in
        ``params_for_ctrl_point_changed_signal``, for the build_curve() that should
        follow; neither rebuilds, redraws nor emits. Raises IndexError for a negative
        *x_value*, with the point inserted already."""
    def remove_cv_points(self, x_indexes: Any, curve_index: int) -> None:
        """Remove control points of curve *curve_index* by their positions *x_indexes* in
        its control-point arrays, in any order; the first and the last point stay.

        Records the columns around the lowest removed point in
        ``params_for_ctrl_point_changed_signal``, for the build_curve() that should
        follow; neither rebuilds, redraws nor emits. Raises IndexError, with the control
        points unchanged, when no removable position is given or one is out of range."""
    def _generate_control_points(self, t_p: float = 0.2) -> list[list[np.ndarray]]: ...
    def build_curve(self, curve_index: int = -1) -> None:
        """Re-interpolate curve *curve_index* from its control points over the pending
        edited span.

        The control points, sorted with one per column, are interpolated with
        PchipInterpolator, and the values are written into the curve array in place over
        the columns [start, end) of ``params_for_ctrl_point_changed_signal`` only. Then
        emits sigCurveChanged(index, curve) and sigControlPointChanged(index, [start,
        end]) and clears the span. An index past the last curve does nothing; -1
        rebuilds every curve over the pending span, or over its whole length when none
        is pending. Raises TypeError when one curve is asked for and no span is pending,
        ValueError when fewer than two distinct columns hold control points."""
