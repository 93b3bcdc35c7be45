// Construction of the plot: target handle, live-wire finder, trimmed and themed menu.
#include "frame/frame.hpp"
#include "methods.hpp"

#include <string>

namespace cep::frame {
namespace {

const char kDarkSheet[] =
    "QMenu {background-color: rgb(37, 37, 38); color: rgb(240, 240, 240);} "
    "QMenu::item:selected {background-color: rgb(0, 120, 212);}";
const char kLightSheet[] =
    "QMenu {background-color: rgb(240, 240, 240); color: rgb(37, 37, 38);} "
    "QMenu::item:selected {background-color: rgb(0, 120, 212);}";

const char *const kSaveEntries[][2] = {
    {"Save image...", "onSaveImageAs"},
    {"Save stack image...", "onSaveStackImageAs"},
    {"Save image with curve...", "onSaveImageWithCurveAs"},
    {"Save stack image with curve...", "onSaveStackImageWithCurveAs"},
};

// The class holds shared mutable initial values; every instance gets lists of its own.
void give_fresh_lists(nb::handle self) {
    setattr(self, "ctrl_points", nb::list());
    nb::list roi;
    roi.append(0);
    roi.append(0);
    setattr(self, "roi_position", roi);
    setattr(self, "mouse_path", nb::list());
    setattr(self, "modified_left_adjcent_points", nb::list());
    setattr(self, "modified_right_adjcent_points", nb::list());
}

// pyqtgraph's TargetItem computes its shape lazily and announces the new geometry from
// inside shape(). When that happens while the scene's BSP index is inserting the item (it
// asks boundingRect(), which asks shape()), the index files the item in its tree and, in
// the same breath, as unindexed; removing the plot from the scene then misses the tree
// entry, and once the plot is deleted the next paint of the view follows a dangling
// pointer. The plot's target announces a change before it drops the old shape, while the
// index still finds the item where it filed it, and computes a new shape silently.
nb::object target_shape(Call &c) {
    nb::handle target = c.self();
    nb::object shape = getattr(target, "_shape");
    if (!shape.is_none()) return shape;
    nb::object generated = target.attr("generateShape")();
    if (generated.is_none()) return getattr(target, "_path");
    setattr(target, "_shape", generated);
    return generated;
}

nb::object target_view_transform_changed(Call &c) {
    nb::handle target = c.self();
    target.attr("prepareGeometryChange")();
    nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(target.ptr()))).attr("viewTransformChanged")(target);
    return nb::none();
}

const MethodDef kTargetShape = {"shape", "(self)", target_shape, nullptr};
const MethodDef kTargetViewChanged = {"viewTransformChanged", "(self)", target_view_transform_changed, nullptr};

// Bound to the target itself, so that Qt's virtual calls and pyqtgraph's own calls both
// reach them. The functions are made once and live as long as the module, like methods.
void bind_to_target(nb::handle target, const MethodDef &def, PyObject *&fn) {
    if (!fn) fn = make_function(def, (std::string("CurveEditorPlot.target.") + def.name).c_str()).release().ptr();
    nb::object bound = nb::steal(PyMethod_New(fn, target.ptr()));
    if (!bound.is_valid()) throw nb::python_error();
    setattr(target, def.name, bound);
}
PyObject *g_target_shape = nullptr;
PyObject *g_target_view_changed = nullptr;

}  // namespace

nb::object init(Call &c) {
    nb::handle self = c.self();
    nb::handle parentWindow = c.arg("parentWindow"), eidtorType = c.arg("eidtorType"), update_mode = c.arg("update_mode"), enableEditorMenu = c.arg("enableEditorMenu");

    plot_super(self).attr("__init__")(c.arg("parent"), c.arg("name"), c.arg("labels"), c.arg("title"),
                                    c.arg("viewBox"), c.arg("axisItems"), c.arg("enableMenu"), **c.varkw);
    give_fresh_lists(self);
    setattr(self, "parentWindow", parentWindow);
    setattr(self, "editorType", getattr(eidtorType, "lower")());

    nb::object pg = module_global("pg");
    nb::object target = pg.attr("TargetItem")(
        "symbol"_a = "s", "pen"_a = pg.attr("mkPen")(nb::make_tuple(19, 234, 201, 0)),
        "brush"_a = pg.attr("mkBrush")(nb::make_tuple(250, 0, 0, 0)), "size"_a = 1);
    bind_to_target(target, kTargetShape, g_target_shape);
    bind_to_target(target, kTargetViewChanged, g_target_view_changed);
    setattr(self, "target", target);
    setattr(getattr(self, "target"), "wheelEvent", getattr(self, "targetWhellEvent"));
    getattr(self, "target").attr("setParentItem")(self);
    getattr(self, "target").attr("sigPositionChanged").attr("connect")(getattr(self, "targetMoved"));
    getattr(self, "target").attr("sigPositionChangeFinished").attr("connect")(getattr(self, "mouse_release"));
    setattr(getattr(self, "target"), "mouseClickEvent", getattr(self, "mouseDoubleClickEvent"));
    getattr(self, "target").attr("hide")();

    setattr(self, "update_mode", update_mode);
    setattr(self, "volumeData", nb::none());
    setattr(self, "volumeGCurves", nb::none());
    setattr(self, "save_worker", nb::none());

    setattr(self, "liveWire", module_global("cv2").attr("segmentation").attr("IntelligentScissorsMB")());
    getattr(self, "liveWire").attr("setEdgeFeatureCannyParameters")(32, 100);
    getattr(self, "liveWire").attr("setGradientMagnitudeMaxLimit")(200);

    nb::object vb = getattr(self, "vb");
    vb.attr("setDefaultPadding")(0.001);
    self.attr("setAcceptHoverEvents")(true);

    setattr(self, "menu", getattr(self, "vb").attr("getMenu")(nb::none()));
    nb::object menu = getattr(self, "menu");
    const Py_ssize_t n = py_len(menu.attr("actions")());
    for (Py_ssize_t k = 0; k < n - 1; ++k) menu.attr("removeAction")(item(menu.attr("actions")(), 1));
    getattr(self, "ctrlMenu").attr("menuAction")().attr("setVisible")(false);

    const bool dark = py_eq(getattr(getattr(self, "parentWindow"), "theme"), "dark");
    getattr(self, "menu").attr("setStyleSheet")(dark ? kDarkSheet : kLightSheet);

    if (truthy(enableEditorMenu)) {
        for (const CorrectorRow &row : kCorrectors)
            getattr(self, "menu").attr("addAction")(make_corrector_action(self, row));
    }
    self.attr("setEnableEditorMenu")(enableEditorMenu);

    for (const auto &entry : kSaveEntries)
        getattr(self, "menu").attr("addAction")(entry[0], getattr(self, entry[1]));
    return nb::none();
}

nb::object get_inverse_color(Call &c) {
    nb::handle color = c.arg("color");
    nb::object full = nb::int_(255);
    nb::object parts[3];
    for (int i = 0; i < 3; ++i) {
        nb::object component = item(color, i);
        parts[i] = nb::steal(PyNumber_Subtract(full.ptr(), component.ptr()));
        if (!parts[i].is_valid()) throw nb::python_error();
    }
    return nb::make_tuple(parts[0], parts[1], parts[2]);
}

}  // namespace cep::frame
