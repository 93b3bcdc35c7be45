// The context menu with its point commands, and the commands themselves.
#include "binding/py.hpp"
#include "methods.hpp"

namespace cep::target_and_menu {
namespace {

nb::object builtin(const char *name) { return nb::module_::import_("builtins").attr(name); }

// Slot of an "addPoint" action: holds the plot weakly (the action lives in the plot's
// menu) and ignores whatever the signal passes.
nb::object add_point_slot(Call &c) {
    nb::handle data = c.closure;  // (weakref to plot, point)
    PyObject *plot = PyWeakref_GetObject(PyTuple_GET_ITEM(data.ptr(), 0));
    if (!plot) throw nb::python_error();
    if (plot == Py_None) return nb::none();
    nb::borrow(plot).attr("on_add_cv_point")(nb::handle(PyTuple_GET_ITEM(data.ptr(), 1)));
    return nb::none();
}
const MethodDef kAddPointSlot = {"<lambda>", "(*args)", add_point_slot, nullptr};

void insert_point_command(nb::handle self, nb::handle action) {
    nb::object text = action.attr("text")();
    for (nb::handle existing : getattr(self, "menu").attr("actions")())
        if (py_eq(existing.attr("text")(), text)) return;
    nb::object menu = getattr(self, "menu");
    menu.attr("insertAction")(item(menu.attr("actions")(), 0), action);
    menu.attr("insertSeparator")(item(menu.attr("actions")(), 1));
}

nb::object divide(nb::handle a, nb::handle b) {
    nb::object r = nb::steal(PyNumber_TrueDivide(a.ptr(), b.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

}  // namespace

nb::object contextMenuEvent(Call &c) {
    nb::handle self = c[0], event = c[1];
    event.attr("ignore")();
    nb::object pos = event.attr("scenePos")();
    nb::object view_rect = getattr(self, "vb").attr("viewRect")();
    setattr(self, "default_view_range", getattr(self, "vb").attr("childrenBounds")());
    nb::object bounds = getattr(self, "default_view_range");
    if (bounds.is_none() || item(bounds, 0).is_none()) return nb::none();

    nb::object x_range = item(getattr(self, "default_view_range"), 0);
    nb::object extent = nb::steal(PyNumber_Subtract(item(x_range, 1).ptr(), item(x_range, 0).ptr()));
    if (!extent.is_valid()) throw nb::python_error();
    nb::object ratio = divide(extent, view_rect.attr("width")());
    // Halved and clamped: min/max as builtins, so a NaN ratio becomes 30.
    ratio = builtin("max")(0.05, builtin("min")(30, divide(ratio, nb::int_(2))));

    nb::object editor_type = getattr(self, "editorType");
    if (py_eq(editor_type, "anchors")) {
        for (nb::handle action : getattr(self, "menu").attr("actions")()) {
            nb::object text = action.attr("text")();
            if (py_eq(text, "addPoint") || py_eq(text, "removePoint") || py_eq(text, "resetCurve"))
                getattr(self, "menu").attr("removeAction")(action);
        }
        if (truthy(self.attr("sceneBoundingRect")().attr("contains")(pos))) {
            nb::object mouse_point = getattr(self, "vb").attr("mapSceneToView")(pos).attr("toPoint")();
            nb::object QAction = G("QtGui").attr("QAction");
            if (!getattr(self, "modified_ctrl_point").is_none()) {
                nb::object act =
                    QAction("removePoint", self, "triggered"_a = getattr(self, "on_remove_cv_point"));
                insert_point_command(self, act);
            } else if (!getattr(self, "gCurves").is_none()) {
                nb::object nearest_distance = divide(getattr(self, "distance_t"), ratio);
                nb::object nearest_point = nb::none();
                nb::object np_abs = G("np").attr("abs");
                nb::object mx = mouse_point.attr("x")(), my = mouse_point.attr("y")();
                Py_ssize_t i = 0;
                for (nb::handle curve : getattr(self, "gCurves")) {
                    if (py_lt(nb::int_(0), mx) && py_lt(mx, nb::int_(py_len(curve)))) {
                        nb::object diff = nb::steal(PyNumber_Subtract(item(curve, mx).ptr(), my.ptr()));
                        if (!diff.is_valid()) throw nb::python_error();
                        nb::object distance = np_abs(diff);
                        if (py_lt(distance, nearest_distance)) {
                            nearest_distance = distance;
                            nearest_point = nb::make_tuple(nb::int_(i), mx, my);
                        }
                    }
                    ++i;
                }
                if (!nearest_point.is_none()) {
                    nb::object ref = nb::steal(PyWeakref_NewRef(self.ptr(), nullptr));
                    if (!ref.is_valid()) throw nb::python_error();
                    nb::object slot = make_closure(kAddPointSlot, "CurveEditorPlot.contextMenuEvent.<locals>.<lambda>",
                                                   nb::make_tuple(ref, nearest_point));
                    nb::object act = QAction("addPoint", self, "triggered"_a = slot);
                    insert_point_command(self, act);
                }
            }
        }
        getattr(self, "menu").attr("exec")(event.attr("screenPos")());
    } else if (py_eq(editor_type, "liner") || py_eq(editor_type, "livewire")) {
        // Right click abandons the stroke being drawn; the curve keeps what was written.
        setattr(self, "mouse_path", nb::list());
        setattr(self, "current_curve_idx", nb::int_(-1));
    }
    return nb::none();
}

nb::object on_add_cv_point(Call &c) {
    nb::handle self = c[0], point = c[1];
    self.attr("add_cv_point")(item(point, 1), item(point, 2), item(point, 0));
    self.attr("build_curve")(item(point, 0));
    self.attr("plot")();
    return nb::none();
}

nb::object on_remove_cv_point(Call &c) {
    nb::handle self = c[0];
    nb::list positions;
    for (nb::handle p : getattr(self, "modified_left_adjcent_points")) positions.append(item(p, 1));
    positions.append(item(getattr(self, "modified_ctrl_point"), 1));
    for (nb::handle p : getattr(self, "modified_right_adjcent_points")) positions.append(item(p, 1));
    self.attr("remove_cv_points")(positions, item(getattr(self, "modified_ctrl_point"), 0));
    self.attr("build_curve")(item(getattr(self, "modified_ctrl_point"), 0));
    self.attr("plot")();
    return nb::none();
}

}  // namespace cep::target_and_menu
