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
    "enableEditorMenu: bool = True, **kargs) -> None");

nb::object get_inverse_color(nb::handle, nb::handle color) {
    nb::object full = nb::int_(255);
    nb::object parts[3];
    for (int i = 0; i < 3; ++i) {
        parts[i] = full - item(color, i);
    }
    return nb::make_tuple(parts[0], parts[1], parts[2]);
}
constexpr MethodDef kGetInverseColor = method<get_inverse_color>("<lambda>", "(self, color)");

}  // namespace cep::plot
