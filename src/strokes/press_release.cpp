// Opening and closing pointer edits: the press, the double-click and the release.
#include "curves/edits.hpp"
#include "methods.hpp"
#include "strokes/strokes.hpp"

namespace cep::strokes {
namespace {

bool is_left(nb::handle event) {
    return event.attr("button")().equal(module_global("QtCore").attr("Qt").attr("MouseButton").attr("LeftButton"));
}

// A left press in liner or livewire mode: a new segment starts at the press point
// and the edited span grows to its column.
void start_segment(nb::handle self, nb::handle event, bool live_wire) {
    nb::object pos = event.attr("scenePos")();
    if (!truthy(self.attr("sceneBoundingRect")().attr("contains")(pos))) return;
    if (nb::getattr(self, "current_curve_idx").equal(nb::int_(-1))) return;
    nb::object mouse_point = nb::getattr(self, "vb").attr("mapSceneToView")(pos);
    nb::object x = mouse_point.attr("x")(), y = mouse_point.attr("y")();
    if (live_wire) {
        // The seed truncates, unlike the columns, which round.
        nb::object seed_x = nb::steal(PyNumber_Long(x.ptr()));
        if (!seed_x.is_valid()) throw nb::python_error();
        nb::object seed_y = nb::steal(PyNumber_Long(y.ptr()));
        if (!seed_y.is_valid()) throw nb::python_error();
        nb::getattr(self, "liveWire").attr("buildMap")(nb::make_tuple(seed_x, seed_y));
    }
    nb::list path;
    path.append(nb::make_tuple(x, y));
    nb::setattr(self, "mouse_path", path);

    nb::object column = round_to_int(x);
    nb::object edited = edits::pending(self);
    if (edited.is_none()) {
        edits::record(self, nb::getattr(self, "current_curve_idx"), column, column);
    } else {
        auto [smaller, larger] = sorted_ends({item(edited, 1), item(edited, 2), column});
        edits::record(self, nb::getattr(self, "current_curve_idx"), smaller, larger);
    }
}

}  // namespace

void mousePressEvent(nb::handle self, nb::handle event) {
    if (is_left(event)) {
        nb::object type = nb::getattr(self, "editorType");
        if (type.equal(nb::str("anchors")) && !nb::getattr(self, "modified_ctrl_point").is_none())
            nb::setattr(self, "mouse_pressed", nb::bool_(true));
        if (nb::getattr(self, "editorType").equal(nb::str("liner"))) start_segment(self, event, false);
        if (nb::getattr(self, "editorType").equal(nb::str("livewire"))) start_segment(self, event, true);
    }
    plot_super(self).attr("mousePressEvent")(event);
}
constexpr MethodDef kMousePressEvent = method<mousePressEvent>(
    "mousePressEvent", "(self, event: QGraphicsSceneMouseEvent) -> None",
    R"doc(Qt's mouse-press handler of the plot.

In "anchors" mode a left press starts dragging the focused control point, if one
is focused. In "liner" and "livewire" mode a left press inside the plot, while a
curve is picked, opens a stroke at the press point or starts its next segment
there (in "livewire" mode the path finder's seed); the curve is written as the
pointer moves. Every press then goes on to pg.PlotItem. Emits nothing.)doc");

void mouseDoubleClickEvent(nb::handle self, nb::handle event) {
    if (is_left(event)) self.attr("mouse_release")();
}
constexpr MethodDef kMouseDoubleClickEvent = method<mouseDoubleClickEvent>(
    "mouseDoubleClickEvent", "(self, event: QGraphicsSceneMouseEvent) -> None",
    R"doc(Qt's double-click handler of the plot, and the click handler of ``target``: the
left button calls mouse_release(), which ends a drag or stroke; other buttons do
nothing.)doc");

void mouse_release(nb::handle self) {
    nb::object type = nb::getattr(self, "editorType");
    if (type.equal(nb::str("liner")) || type.equal(nb::str("livewire"))) {
        // Without an open stroke (nothing picked, or no span) there is nothing to
        // announce; the reset below still runs, so a stray double-click is harmless.
        nb::object index = nb::getattr(self, "current_curve_idx");
        nb::object edited = edits::pending(self);
        if (!index.equal(nb::int_(-1)) && !edited.is_none()) {
            nb::setattr(self, "ctrl_points", self.attr("_generate_control_points")());
            index = nb::getattr(self, "current_curve_idx");
            nb::getattr(self, "sigCurveChanged").attr("emit")(index, item(nb::getattr(self, "gCurves"), index));
            edited = edits::pending(self);
            nb::object rest = nb::steal(PySequence_GetSlice(edited.ptr(), 1, PY_SSIZE_T_MAX));
            if (!rest.is_valid()) throw nb::python_error();
            nb::getattr(self, "sigControlPointChanged").attr("emit")(item(edited, 0), rest);
            edits::redraw(self);
        }
    }
    nb::setattr(self, "mouse_pressed", nb::bool_(false));
    nb::setattr(self, "modified_ctrl_point", nb::none());
    nb::getattr(self, "target").attr("hide")();
    nb::setattr(self, "mouse_path", nb::list());
    nb::setattr(self, "current_curve_idx", nb::int_(-1));
    edits::clear(self);
    nb::getattr(self, "sigCurveChangeFinished").attr("emit")(nb::none(), nb::none());
}
constexpr MethodDef kMouseRelease = method<mouse_release>("mouse_release", "(self) -> None",
    R"doc(End the edit under way and reset the edit state.

At the end of a liner or live-wire stroke the control points of every curve are
derived anew, sigCurveChanged and sigControlPointChanged announce the stroked
curve and its edited columns, and the plot redraws. In every mode the drag and
stroke state is then cleared, ``target`` hidden, and sigCurveChangeFinished
(None, None) emitted last. Called on a left double-click, a click on the target
and the end of a target drag.)doc");

}  // namespace cep::strokes
