// Construction of the plot: target handle, live-wire finder, menu.
#include "menus/menus.hpp"
#include "methods.hpp"

#include <string>

namespace cep::plot {
namespace {

// The class holds shared mutable initial values; every instance gets lists of its own.
void give_fresh_lists(nb::handle self) {
    nb::setattr(self, "ctrl_points", nb::list());
    nb::list roi(nb::make_tuple(0, 0));
    nb::setattr(self, "roi_position", roi);
    nb::setattr(self, "mouse_path", nb::list());
    nb::setattr(self, "modified_left_adjcent_points", nb::list());
    nb::setattr(self, "modified_right_adjcent_points", nb::list());
}

// pyqtgraph's TargetItem computes its shape lazily and announces the new geometry from
// inside shape(). When that happens while the scene's BSP index is inserting the item (it
// asks boundingRect(), which asks shape()), the index files the item in its tree and, in
// the same breath, as unindexed; removing the plot from the scene then misses the tree
// entry, and once the plot is deleted the next paint of the view follows a dangling
// pointer. The plot's target announces a change before it drops the old shape, while the
// index still finds the item where it filed it, and computes a new shape silently.
nb::object target_shape(nb::handle target) {
    nb::object shape = nb::getattr(target, "_shape");
    if (!shape.is_none()) return shape;
    nb::object generated = target.attr("generateShape")();
    if (generated.is_none()) return nb::getattr(target, "_path");
    nb::setattr(target, "_shape", generated);
    return generated;
}

void target_view_transform_changed(nb::handle target) {
    target.attr("prepareGeometryChange")();
    nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(target.ptr()))).attr("viewTransformChanged")(target);
}

constexpr MethodDef kTargetShape = method<target_shape>("shape", "(self)");
constexpr MethodDef kTargetViewChanged =
    method<target_view_transform_changed>("viewTransformChanged", "(self)");

// Bound to the target itself, so that Qt's virtual calls and pyqtgraph's own calls both
// reach them. The functions are made once and live as long as the module, like methods.
void bind_to_target(nb::handle target, const MethodDef &def, PyObject *&fn) {
    if (!fn) fn = make_function(def, (std::string("CurveEditorPlot.target.") + def.name).c_str()).release().ptr();
    nb::object bound = nb::steal(PyMethod_New(fn, target.ptr()));
    if (!bound.is_valid()) throw nb::python_error();
    nb::setattr(target, def.name, bound);
}
PyObject *g_target_shape = nullptr;
PyObject *g_target_view_changed = nullptr;

}  // namespace

void init(nb::handle self, nb::handle parentWindow, nb::handle parent, nb::handle name, nb::handle labels,
          nb::handle title, nb::handle viewBox, nb::handle axisItems, nb::handle enableMenu, nb::handle eidtorType,
          nb::handle update_mode, nb::handle enableEditorMenu, nb::dict kargs) {
    plot_super(self).attr("__init__")(parent, name, labels, title, viewBox, axisItems, enableMenu, **kargs);
    give_fresh_lists(self);
    nb::setattr(self, "parentWindow", parentWindow);
    nb::setattr(self, "editorType", nb::getattr(eidtorType, "lower")());

    nb::object pg = module_global("pg");
    nb::object target = pg.attr("TargetItem")(
        "symbol"_a = "s", "pen"_a = pg.attr("mkPen")(nb::make_tuple(19, 234, 201, 0)),
        "brush"_a = pg.attr("mkBrush")(nb::make_tuple(250, 0, 0, 0)), "size"_a = 1);
    bind_to_target(target, kTargetShape, g_target_shape);
    bind_to_target(target, kTargetViewChanged, g_target_view_changed);
    nb::setattr(self, "target", target);
    nb::setattr(nb::getattr(self, "target"), "wheelEvent", nb::getattr(self, "targetWhellEvent"));
    nb::getattr(self, "target").attr("setParentItem")(self);
    nb::getattr(self, "target").attr("sigPositionChanged").attr("connect")(nb::getattr(self, "targetMoved"));
    nb::getattr(self, "target").attr("sigPositionChangeFinished").attr("connect")(nb::getattr(self, "mouse_release"));
    nb::setattr(nb::getattr(self, "target"), "mouseClickEvent", nb::getattr(self, "mouseDoubleClickEvent"));
    nb::getattr(self, "target").attr("hide")();

    nb::setattr(self, "update_mode", update_mode);
    nb::setattr(self, "volumeData", nb::none());
    nb::setattr(self, "volumeGCurves", nb::none());
    nb::setattr(self, "save_worker", nb::none());

    nb::setattr(self, "liveWire", module_global("cv2").attr("segmentation").attr("IntelligentScissorsMB")());
    nb::getattr(self, "liveWire").attr("setEdgeFeatureCannyParameters")(32, 100);
    nb::getattr(self, "liveWire").attr("setGradientMagnitudeMaxLimit")(200);

    nb::object vb = nb::getattr(self, "vb");
    vb.attr("setDefaultPadding")(0.001);
    self.attr("setAcceptHoverEvents")(true);

    menus::build(self, enableEditorMenu);
}
constexpr MethodDef kInit = method<init>(
    "__init__", "(self, parentWindow: QtWidgets.QWidget = None, parent: QtWidgets.QWidget = None, name: str = None, "
    "labels: dict = None, title: str = None, viewBox: pg.ViewBox = None, axisItems: dict = None, "
    "enableMenu: bool = True, eidtorType: str = 'none', update_mode: str = 'global', "
    "enableEditorMenu: bool = True, **kargs) -> None",
    R"doc(Make the curve editor: an invisible drag handle (``target``), the live-wire path
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
    Not used; always None.)doc");

nb::object get_inverse_color(nb::handle, nb::handle color) {
    nb::object full = nb::int_(255);
    nb::object parts[3];
    for (int i = 0; i < 3; ++i) {
        parts[i] = full - item(color, i);
    }
    return nb::make_tuple(parts[0], parts[1], parts[2]);
}
constexpr MethodDef kGetInverseColor = method<get_inverse_color>("<lambda>", "(self, color)",
    R"doc(Return (255 - r, 255 - g, 255 - b) for a colour whose first three entries are
r, g and b (a further entry is ignored): the fill of the focus markers. Raises
IndexError for fewer than three entries.)doc");

}  // namespace cep::plot
