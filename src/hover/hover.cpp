// The hover handler: pointer position report, focus of the nearest control point
// (anchors), pick of the nearest curve (liner, livewire) and the drag steps of an
// open stroke.
#include <cmath>

#include "binding/arrays.hpp"
#include "curves/edits.hpp"
#include "methods.hpp"
#include "hover/nearest.hpp"
#include "strokes/strokes.hpp"

namespace cep::hover {

using strokes::equals;
using strokes::Pointer;
using strokes::round_to_int;

namespace {

// The search of one curve's points in C++; false when the arrays are of a kind it
// does not read, so that the caller falls back to NumPy.
bool nearest_in_arrays(nb::handle xs, nb::handle ys, double px, double py, double &best, Py_ssize_t &found) {
    if (!plain_ndarray(xs) || !plain_ndarray(ys)) return false;
    ArrayView vx, vy;
    if (!vx.open(xs) || !vy.open(ys) || vx.ndim() != 1 || vy.ndim() != 1) return false;
    const Py_ssize_t n = vx.shape(0) < vy.shape(0) ? vx.shape(0) : vy.shape(0);
    found = -1;
    dispatch(vx.elem(), [&](auto xtag) {
        using X = decltype(xtag);
        dispatch(vy.elem(), [&](auto ytag) {
            using Y = decltype(ytag);
            found = nearest_l1<X, Y>(vx.data(), vx.stride(0), vy.data(), vy.stride(0), n, px, py, best);
        });
    });
    return true;
}

// The same search through NumPy, for what the C++ search does not read.
void nearest_through_numpy(nb::handle xs, nb::handle ys, nb::handle pointer, Py_ssize_t curve, nb::object &nearest_distance,
                           nb::object &nearest_point) {
    nb::object np = module_global("np");
    nb::object array = np.attr("array"), norm = np.attr("linalg").attr("norm");
    Py_ssize_t j = 0;
    for (nb::handle pair : nb::module_::import_("builtins").attr("zip")(xs, ys)) {
        nb::object distance = norm(array(nb::list(pair)) - pointer, "ord"_a = 1);
        if (distance < nearest_distance) {
            nearest_distance = distance;
            nearest_point = nb::make_tuple(curve, j, item(pair, 0), item(pair, 1));
        }
        ++j;
    }
}

void anchor_focus(nb::handle self, nb::handle event, nb::handle ratio, const Pointer &pointer_at) {
    nb::object nearest_distance = nb::getattr(self, "distance_t") / ratio;
    nb::object nearest_point = nb::none();
    const nb::object &mx = pointer_at.x, &my = pointer_at.y;
    double px = 0, py = 0;
    const bool pointer_is_float = exact_double(mx, px) && exact_double(my, py);
    nb::object pointer;  // np.array([x, y]) of the pointer, made only for the NumPy search

    nb::object props = nb::getattr(self, "curve_props");
    Py_ssize_t i = -1;
    for (nb::handle entry : nb::getattr(self, "ctrl_points")) {
        ++i;
        if (!truthy(item(item(props, i), nb::str("is_visible")))) continue;
        nb::object xs = item(entry, 0), ys = item(entry, 1);
        double best;
        Py_ssize_t j = -1;
        if (pointer_is_float && exact_double(nearest_distance, best) && nearest_in_arrays(xs, ys, px, py, best, j)) {
            if (j >= 0) {
                nearest_distance = nb::float_(best);
                nearest_point = nb::make_tuple(i, j, item(xs, j), item(ys, j));
            }
            continue;
        }
        if (!pointer.is_valid()) {
            nb::list pair(nb::make_tuple(mx, my));
            pointer = module_global("np").attr("array")(pair);
        }
        nearest_through_numpy(xs, ys, pointer, i, nearest_distance, nearest_point);
    }

    if (nearest_point.not_equal(nb::getattr(self, "modified_ctrl_point"))) {
        nb::setattr(self, "modified_left_adjcent_points", nb::list());
        nb::setattr(self, "modified_right_adjcent_points", nb::list());
    }
    nb::setattr(self, "modified_ctrl_point", nearest_point);
    self.attr("plot_focus_control_point")(nearest_point, event.attr("pos")());
}

// Picks and highlights the curve nearest the pointer in its column. False when the
// column lies outside the curves: the hover then ends without the base class.
bool curve_pick(nb::handle self, nb::handle event, nb::handle ratio, const Pointer &pointer) {
    nb::object nearest_distance = nb::getattr(self, "distance_t") / ratio;
    nb::object qt = module_global("QtCore").attr("Qt");
    if (event.attr("modifiers")().equal(qt.attr("KeyboardModifier").attr("ControlModifier")))
        nb::setattr(self, "current_curve_idx",
                nb::getattr(nb::getattr(nb::getattr(self, "parentWindow"), "ui"), "comboBox_enfaceA_Slab").attr("currentIndex")());
    else
        nb::setattr(self, "current_curve_idx", nb::int_(-1));
    nb::object x_idx = round_to_int(pointer.x);
    nb::setattr(self, "curve_props", module_global("deepcopy")(nb::getattr(self, "curve_props_bk")));
    if (x_idx < nb::int_(0) || !(x_idx < nb::getattr(self, "curveLen"))) {
        edits::redraw(self);
        return false;
    }

    const nb::object &y = pointer.y;
    nb::object abs = module_global("np").attr("abs");
    Py_ssize_t i = 0;
    for (nb::handle curve : nb::getattr(self, "gCurves")) {
        nb::object distance = abs(item(curve, x_idx) - y);
        if (distance < nearest_distance) {
            nearest_distance = distance;
            nb::setattr(self, "current_curve_idx", nb::int_(i));
        }
        ++i;
    }

    nb::object picked = nb::getattr(self, "current_curve_idx");
    if (!picked.equal(nb::int_(-1))) {
        nb::object props = item(nb::getattr(self, "curve_props"), picked);
        props[nb::str("style")] = qt.attr("PenStyle").attr("SolidLine");
        props = item(nb::getattr(self, "curve_props"), nb::getattr(self, "current_curve_idx"));
        props[nb::str("width")] = nb::int_(4);
    }
    return true;
}

}  // namespace

nb::object hoverMoveEvent(nb::handle self, nb::handle event) {
    nb::object pos = nb::getattr(event, "scenePos")();
    nb::object vb = nb::getattr(self, "vb");
    nb::object view_rect = nb::getattr(vb, "viewRect")();
    nb::setattr(self, "default_view_range", nb::getattr(vb, "childrenBounds")());
    nb::object x_range = item(nb::getattr(self, "default_view_range"), 0);
    if (x_range.is_none()) return nb::none();
    nb::object ratio = (item(x_range, 1) - item(x_range, 0)) / nb::getattr(view_rect, "width")();
    if (ratio.equal(nb::int_(0))) return nb::none();

    if (truthy(nb::getattr(nb::getattr(self, "sceneBoundingRect")(), "contains")(pos))) {
        nb::object mouse_point = nb::getattr(vb, "mapSceneToView")(pos);
        const Pointer pointer{nb::getattr(mouse_point, "x")(), nb::getattr(mouse_point, "y")()};
        nb::object int32 = nb::getattr(module_global("np"), "int32");
        nb::list reported;
        reported.append(int32(pointer.x));
        reported.append(int32(pointer.y));
        nb::getattr(nb::getattr(self, "sigMousePosChanged"), "emit")(reported);

        nb::object type = nb::getattr(self, "editorType");
        if (equals(type, "anchors")) {
            anchor_focus(self, event, ratio, pointer);
        } else if (equals(type, "liner") || equals(type, "livewire")) {
            const bool liner = equals(type, "liner");
            if (nb::len(nb::getattr(self, "mouse_path")) == 0) {
                if (!curve_pick(self, event, ratio, pointer)) return nb::none();
            } else if (liner) {
                if (!strokes::liner_step(self, pointer)) return nb::none();
            } else {
                strokes::livewire_step(self, pointer);
            }
            edits::redraw(self);
        }
    }
    return nb::getattr(plot_super(self), "hoverMoveEvent")(event);
}
constexpr MethodDef kHoverMoveEvent = method<hoverMoveEvent>(
    "hoverMoveEvent", "(self, event: QGraphicsSceneHoverEvent) -> None",
    R"doc(Qt's hover handler of the plot: it follows the pointer.

Emits sigMousePosChanged with the pointer's data position, then acts by editor
type. "anchors": focuses the visible control point nearest the pointer, within
``distance_t`` (L1) scaled by the zoom, and shows ``target`` on it. "liner" and
"livewire": picks and highlights the curve nearest the pointer in its column
(with Ctrl held, the host's chosen curve unless another is in reach); while a
stroke is open, writes the segment from the last press to the pointer into the
picked curve instead, a straight line or the live-wire path, and redraws.
Nothing happens while the view holds no item with bounds; outside the plot only
pg.PlotItem sees the event.)doc");

}  // namespace cep::hover
