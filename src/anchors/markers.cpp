// Transient markers drawn on top of the curves: the indicator line, the focus marker
// and the neighbour previews. They go through the base class's plot so that the
// plot's own redraw of the curves is not triggered.
#include "binding/py.hpp"
#include "methods.hpp"

namespace cep::anchors {
namespace {

void remove_if_set(nb::handle self, const char *attribute) {
    nb::object previous = nb::getattr(self, attribute);
    if (!previous.is_none()) self.attr("removeItem")(previous);
}

// Redraws the neighbour preview of one side (left or right).
void draw_neighbours(nb::handle self, const char *plot_attr, const char *points_attr) {
    remove_if_set(self, plot_attr);
    if (!nb::getattr(self, "editorType").equal(nb::str("anchors"))) return;
    nb::object points = nb::getattr(self, points_attr);
    if (!truthy(points)) return;
    nb::list cptx, cpty;
    for (nb::handle p : points) {
        cptx.append(item(p, 2));
        cpty.append(item(p, 3));
    }
    nb::object props = item(nb::getattr(self, "curve_props"), item(item(points, 0), 0));
    nb::object brush = self.attr("get_inverse_color")(item(props, nb::str("color")));
    nb::setattr(self, plot_attr,
            plot_super(self).attr("plot")(cptx, cpty, "pen"_a = nb::none(), "symbol"_a = "o", "symbolBrush"_a = brush,
                                          "symbolPen"_a = "w"));
}

}  // namespace

void plot_indicator(nb::handle self, nb::handle pos, nb::handle direction) {
    if (pos.is_none()) {
        remove_if_set(self, "indicator_plot");
        return;
    }
    remove_if_set(self, "indicator_plot");
    nb::object added = nb::getattr(self, "added_items");
    if (added.is_none() || nb::len(added) == 0 || nb::getattr(item(added, 0), "image").is_none()) return;
    auto [h, w] = unpack2(nb::getattr(nb::getattr(item(nb::getattr(self, "added_items"), 0), "image"), "shape"));

    nb::object pen = module_global("pg").attr("mkPen")(nb::make_tuple(200, 200, 0), "width"_a = 2,
                                           "style"_a = module_global("QtCore").attr("Qt").attr("PenStyle").attr("DotLine"));
    nb::list xs, ys;
    if (direction.equal(nb::str("vertical"))) {
        nb::object x = item(pos, 0);
        xs.append(x);
        xs.append(x);
        ys.append(0);
        ys.append(h);
    } else {
        nb::object y = item(pos, 1);
        xs.append(0);
        xs.append(w);
        ys.append(y);
        ys.append(y);
    }
    nb::setattr(self, "indicator_plot", plot_super(self).attr("plot")(xs, ys, "pen"_a = pen));
}
constexpr MethodDef kPlotIndicator = method<plot_indicator>(
    "plot_indicator", "(self, pos: Any, direction: str = 'vertical') -> None",
    R"doc(Draw the indicator line, a dotted yellow line across the frame, or remove it.

*pos* is (x, y) in data coordinates: with *direction* "vertical" the line runs
down at x, with any other value across at y. None removes the line. Nothing is
drawn without a frame image (``added_items[0].image``). The line replaces the
previous one; plot() clears it.)doc");

void plot_focus_control_point(nb::handle self, nb::handle point, nb::handle event_pos) {
    remove_if_set(self, "focus_control_point_plot");
    if (!point.is_none()) {
        nb::list xs, ys;
        xs.append(item(point, 2));
        ys.append(item(point, 3));
        nb::object props = item(nb::getattr(self, "curve_props"), item(point, 0));
        nb::object brush = self.attr("get_inverse_color")(item(props, nb::str("color")));
        nb::setattr(self, "focus_control_point_plot",
                plot_super(self).attr("plot")(xs, ys, "pen"_a = nb::none(), "symbol"_a = "s",
                                              "symbolBrush"_a = brush, "symbolPen"_a = "w"));
        if (!event_pos.is_none()) {
            nb::getattr(self, "target").attr("setPos")(event_pos);
            nb::getattr(self, "target").attr("show")();
        }
    }
    draw_neighbours(self, "modified_left_adjcent_plot", "modified_left_adjcent_points");
    draw_neighbours(self, "modified_right_adjcent_plot", "modified_right_adjcent_points");
}
constexpr MethodDef kPlotFocusControlPoint = method<plot_focus_control_point>(
    "plot_focus_control_point", "(self, control_point: Any, eventPos: QtCore.QPointF = None) -> None",
    R"doc(Mark the focused control point, and the neighbours that move with it.

*control_point* is (curve index, point index, x, y), or None for no marker. With
*eventPos*, a position in the plot item's coordinates, ``target`` moves there
and is shown. In "anchors" mode ``modified_left_adjcent_points`` and
``modified_right_adjcent_points`` are marked with circles; in other modes their
marks are removed. Each mark is filled with get_inverse_color() of its curve's
colour.)doc");

}  // namespace cep::anchors
