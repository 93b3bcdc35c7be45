// The context menu with its point commands, and the commands themselves.
#include "binding/py.hpp"
#include "curves/edits.hpp"
#include "methods.hpp"

namespace cep::menus {
namespace {

nb::object builtin(const char *name) { return nb::module_::import_("builtins").attr(name); }

// Slot of an "addPoint" action: holds the plot weakly (as the corrector actions do) and ignores
// whatever the signal passes.
void add_point_slot(Closure data, nb::tuple) {
    auto [ref, point] = unpack<2>(data);
    nb::object plot = ref();
    if (!plot.is_none()) plot.attr("on_add_cv_point")(point);
}
constexpr MethodDef kAddPointSlot = method<add_point_slot>("<lambda>", "(*args)");

void insert_point_command(nb::handle self, nb::handle action) {
    nb::object text = action.attr("text")();
    for (nb::handle existing : nb::getattr(self, "menu").attr("actions")())
        if (existing.attr("text")().equal(text)) return;
    nb::object menu = nb::getattr(self, "menu");
    menu.attr("insertAction")(item(menu.attr("actions")(), 0), action);
    menu.attr("insertSeparator")(item(menu.attr("actions")(), 1));
}

}  // namespace

void contextMenuEvent(nb::handle self, nb::handle event) {
    event.attr("ignore")();
    nb::object pos = event.attr("scenePos")();
    nb::object view_rect = nb::getattr(self, "vb").attr("viewRect")();
    nb::setattr(self, "default_view_range", nb::getattr(self, "vb").attr("childrenBounds")());
    nb::object bounds = nb::getattr(self, "default_view_range");
    if (bounds.is_none() || item(bounds, 0).is_none()) return;

    nb::object x_range = item(nb::getattr(self, "default_view_range"), 0);
    nb::object ratio = (item(x_range, 1) - item(x_range, 0)) / view_rect.attr("width")();
    // Halved and clamped: min/max as builtins, so a NaN ratio becomes 30.
    ratio = builtin("max")(0.05, builtin("min")(30, ratio / nb::int_(2)));

    nb::object editor_type = nb::getattr(self, "editorType");
    if (editor_type.equal(nb::str("anchors"))) {
        for (nb::handle action : nb::getattr(self, "menu").attr("actions")()) {
            nb::object text = action.attr("text")();
            if (text.equal(nb::str("addPoint")) || text.equal(nb::str("removePoint")) || text.equal(nb::str("resetCurve")))
                nb::getattr(self, "menu").attr("removeAction")(action);
        }
        if (truthy(self.attr("sceneBoundingRect")().attr("contains")(pos))) {
            nb::object mouse_point = nb::getattr(self, "vb").attr("mapSceneToView")(pos).attr("toPoint")();
            nb::object QAction = module_global("QtGui").attr("QAction");
            if (!nb::getattr(self, "modified_ctrl_point").is_none()) {
                nb::object act =
                    QAction("removePoint", self, "triggered"_a = nb::getattr(self, "on_remove_cv_point"));
                insert_point_command(self, act);
            } else if (!nb::getattr(self, "gCurves").is_none()) {
                nb::object nearest_distance = nb::getattr(self, "distance_t") / ratio;
                nb::object nearest_point = nb::none();
                nb::object np_abs = module_global("np").attr("abs");
                nb::object mx = mouse_point.attr("x")(), my = mouse_point.attr("y")();
                Py_ssize_t i = 0;
                for (nb::handle curve : nb::getattr(self, "gCurves")) {
                    if (nb::int_(0) < mx && mx < nb::int_(nb::len(curve))) {
                        nb::object distance = np_abs(item(curve, mx) - my);
                        if (distance < nearest_distance) {
                            nearest_distance = distance;
                            nearest_point = nb::make_tuple(nb::int_(i), mx, my);
                        }
                    }
                    ++i;
                }
                if (!nearest_point.is_none()) {
                    nb::object slot = make_function(kAddPointSlot, "CurveEditorPlot.contextMenuEvent.<locals>.<lambda>",
                                                   nb::make_tuple(nb::weakref(self), nearest_point));
                    nb::object act = QAction("addPoint", self, "triggered"_a = slot);
                    insert_point_command(self, act);
                }
            }
        }
        nb::getattr(self, "menu").attr("exec")(event.attr("screenPos")());
    } else if (editor_type.equal(nb::str("liner")) || editor_type.equal(nb::str("livewire"))) {
        // Right click abandons the stroke being drawn; the curve keeps what was written.
        nb::setattr(self, "mouse_path", nb::list());
        nb::setattr(self, "current_curve_idx", nb::int_(-1));
    }
}
constexpr MethodDef kContextMenuEvent = method<contextMenuEvent>(
    "contextMenuEvent", "(self, event: QtGui.QContextMenuEvent) -> None",
    R"doc(Qt's context-menu handler of the plot (a right click).

In "anchors" mode it shows ``menu`` with one point command on top: "removePoint"
when a control point is focused (on_remove_cv_point()), otherwise "addPoint" when
a curve passes near the pointer in its column (on_add_cv_point() at the pointer's
rounded position). In "liner" and "livewire" mode it abandons the open stroke:
what the stroke wrote stays, and nothing is announced. No other mode shows a
menu, and nothing happens while the view holds no item with bounds.)doc");

void on_add_cv_point(nb::handle self, nb::handle point) {
    self.attr("add_cv_point")(item(point, 1), item(point, 2), item(point, 0));
    edits::rebuild_and_redraw(self, item(point, 0));
}
constexpr MethodDef kOnAddCvPoint = method<on_add_cv_point>("on_add_cv_point", "(self, point: Any) -> None",
    R"doc(The "addPoint" command: add a control point and re-interpolate the curve
around it.

*point* is (curve index, x, y) in data coordinates. Calls add_cv_point(), then
build_curve(), which emits sigCurveChanged and sigControlPointChanged, then
redraws. Raises what those raise.)doc");

void on_remove_cv_point(nb::handle self) {
    nb::list positions;
    for (nb::handle p : nb::getattr(self, "modified_left_adjcent_points")) positions.append(item(p, 1));
    positions.append(item(nb::getattr(self, "modified_ctrl_point"), 1));
    for (nb::handle p : nb::getattr(self, "modified_right_adjcent_points")) positions.append(item(p, 1));
    self.attr("remove_cv_points")(positions, item(nb::getattr(self, "modified_ctrl_point"), 0));
    edits::rebuild_and_redraw(self, item(nb::getattr(self, "modified_ctrl_point"), 0));
}
constexpr MethodDef kOnRemoveCvPoint = method<on_remove_cv_point>("on_remove_cv_point", "(self) -> None",
    R"doc(The "removePoint" command: remove the focused control point and the neighbours
chosen with it, and re-interpolate the curve.

Calls remove_cv_points() with the positions of ``modified_left_adjcent_points``,
``modified_ctrl_point`` and ``modified_right_adjcent_points``, then build_curve(),
which emits sigCurveChanged and sigControlPointChanged, then redraws. Raises
TypeError when no control point is focused, and what remove_cv_points() raises.)doc");

}  // namespace cep::menus
