// Dragging the focused control point through the target handle, and the wheel that
// chooses which neighbours move with it.
#include "binding/arrays.hpp"
#include "binding/py.hpp"
#include "curves/edits.hpp"
#include "methods.hpp"
#include "anchors/span_search.hpp"

#include <cmath>
#include <vector>

namespace cep::anchors {
namespace {

// container[key] += delta, with Python's semantics (NumPy scalars stay NumPy scalars and
// are cast back to the array's type on assignment).
void iadd_item(nb::handle container, nb::handle key, nb::handle delta) {
    nb::object value = item(container, key);
    nb::object sum = nb::steal(PyNumber_InPlaceAdd(value.ptr(), delta.ptr()));
    if (!sum.is_valid()) throw nb::python_error();
    container[key] = sum;
}

nb::object index_error_on_empty(long long index) {
    raise_format(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size 0", index);
}

// Moves every listed neighbour by (diffx, diffy), in its entry and in the control points.
void move_neighbours(nb::handle self, nb::handle points, nb::handle diffx, nb::handle diffy) {
    nb::object two = nb::int_(2), three = nb::int_(3);
    for (nb::handle p : points) {
        iadd_item(p, two, diffx);
        iadd_item(p, three, diffy);
        nb::object position = item(p, 1);
        iadd_item(item(item(nb::getattr(self, "ctrl_points"), item(p, 0)), 0), position, diffx);
        iadd_item(item(item(nb::getattr(self, "ctrl_points"), item(p, 0)), 1), position, diffy);
    }
}

}  // namespace

nb::object targetMoved(nb::handle self, nb::handle target) {
    if (!truthy(nb::getattr(self, "target").attr("isVisible")()) || !truthy(nb::getattr(self, "mouse_pressed")))
        return nb::none();
    nb::object pos = nb::getattr(self, "vb").attr("mapSceneToView")(target.attr("scenePos")());
    nb::object x_raw = pos.attr("x")();
    nb::object y = pos.attr("y")();
    const double x_round = std::nearbyint(nb::cast<double>(x_raw));  // ties to even, as np.round

    nb::object focused = nb::getattr(self, "modified_ctrl_point");
    if (focused.is_none()) return nb::none();
    nb::object ci = item(focused, 0), ki = item(focused, 1);
    const Py_ssize_t n = nb::len(item(nb::getattr(self, "gCurves"), ci));

    // max(0, min(n - 1, x_round)): the builtins keep their first argument on ties and
    // for NaN, which decides whether x is an int or a float64.
    nb::object np = module_global("np");
    double x = x_round;
    nb::object x_obj;
    if (x_round < static_cast<double>(n - 1)) {
        x_obj = np.attr("float64")(x_round);
    } else {
        x = static_cast<double>(n - 1);
        x_obj = nb::int_(n - 1);
    }
    if (!(x > 0)) {
        x = 0;
        x_obj = nb::int_(0);
    }

    nb::object xs = item(item(nb::getattr(self, "ctrl_points"), ci), 0);
    nb::object ki_index = nb::steal(PyNumber_Index(ki.ptr()));
    if (!ki_index.is_valid()) throw nb::python_error();
    const long long k = PyLong_AsLongLong(ki_index.ptr());
    if (k == -1 && PyErr_Occurred()) throw nb::python_error();
    const Py_ssize_t m = nb::len(xs);
    if (k < -static_cast<long long>(m) || k >= static_cast<long long>(m))
        raise_format(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %zd", k, m);
    const std::size_t skip = static_cast<std::size_t>(k < 0 ? k + m : k);

    ArrayView view;
    nb::object as_float;
    if (!view.open(xs) || view.ndim() != 1) {
        as_float = np.attr("asarray")(xs, "dtype"_a = np.attr("float64"));
        if (!view.open(as_float) || view.ndim() != 1) raise(PyExc_TypeError, "control point columns must be 1-d");
    }
    static thread_local std::vector<double> scratch;
    Neighbours found;
    dispatch(view.elem(), [&](auto tag) {
        using T = decltype(tag);
        found = find_neighbours(static_cast<std::size_t>(m), skip, x,
                                [&](std::size_t j) { return static_cast<double>(view.at<T>(j)); }, scratch);
    });
    view.release();

    nb::object val_smaller, val_larger;
    if (k == 0)
        val_smaller = nb::int_(0);
    else if (found.at_or_left < 0)
        index_error_on_empty(-1);
    else
        val_smaller = item(xs, found.at_or_left);
    if (k == static_cast<long long>(found.distinct_others))
        val_larger = nb::int_(n - 1);
    else if (found.at_or_right < 0)
        index_error_on_empty(0);
    else
        val_larger = item(xs, found.at_or_right);
    edits::record(self, ci, val_smaller, val_larger + nb::int_(1));

    nb::object diffx = x_obj - item(item(item(nb::getattr(self, "ctrl_points"), ci), 0), ki);
    nb::object diffy = y - item(item(item(nb::getattr(self, "ctrl_points"), ci), 1), ki);

    nb::object left = nb::getattr(self, "modified_left_adjcent_points");
    nb::object right = nb::getattr(self, "modified_right_adjcent_points");
    if (nb::len(left) + nb::len(right) == nb::len(item(item(nb::getattr(self, "ctrl_points"), ci), 0)) - 1)
        diffx = nb::int_(0);  // every other point is selected: the curve only moves vertically

    move_neighbours(self, nb::getattr(self, "modified_left_adjcent_points"), diffx, diffy);
    move_neighbours(self, nb::getattr(self, "modified_right_adjcent_points"), diffx, diffy);
    iadd_item(item(item(nb::getattr(self, "ctrl_points"), ci), 0), ki, diffx);
    iadd_item(item(item(nb::getattr(self, "ctrl_points"), ci), 1), ki, diffy);

    edits::rebuild_and_redraw(self, ci);
    nb::list marker;
    marker.append(ci);
    marker.append(ki);
    marker.append(item(item(item(nb::getattr(self, "ctrl_points"), ci), 0), ki));
    marker.append(item(item(item(nb::getattr(self, "ctrl_points"), ci), 1), ki));
    self.attr("plot_focus_control_point")(marker, nb::none());
    return nb::none();
}
constexpr MethodDef kTargetMoved = method<targetMoved>("targetMoved", "(self, target: Any) -> None",
    R"doc(Slot of ``target``'s sigPositionChanged: during an "anchors" drag, move the
focused control point to the target.

The point goes to the target's column (rounded, kept within the curve) and y;
the neighbours chosen with the wheel move by the same amount (only vertically
when every other point is chosen). build_curve() then re-interpolates the curve
around the point and emits sigCurveChanged and sigControlPointChanged, and the
plot redraws. Does nothing unless a drag is under way (``mouse_pressed``) and
the target is shown. Raises IndexError if the curve's end control points were
removed, with nothing moved.)doc");

nb::object targetWhellEvent(nb::handle self, nb::handle event) {
    nb::object focused = nb::getattr(self, "modified_ctrl_point");
    if (focused.is_none()) return nb::none();

    // The neighbours are addressed in the focused curve's points ordered by x without
    // repeats, exactly as NumPy orders them.
    nb::object np = module_global("np");
    nb::object ctp = np.attr("array")(item(nb::getattr(self, "ctrl_points"), item(focused, 0)));
    nb::object all = nb::steal(PySlice_New(nullptr, nullptr, nullptr));
    ctp = item(ctp, nb::make_tuple(all, item(ctp, 0).attr("argsort")()));
    nb::object unique_index = item(np.attr("unique")(item(ctp, 0), "return_index"_a = true), 1);
    ctp = item(ctp, nb::make_tuple(all, unique_index));

    auto parts = unpack<4>(focused);
    nb::object curve_idx = parts[0], point_idx = parts[1];
    const Py_ssize_t n = nb::len(item(ctp, 0));
    nb::object xs = item(ctp, 0), ys = item(ctp, 1);
    nb::object one = nb::int_(1);

    auto neighbour = [&](nb::handle idx) {
        nb::list entry;
        entry.append(curve_idx);
        entry.append(idx);
        entry.append(item(xs, idx));
        entry.append(item(ys, idx));
        return entry;
    };

    nb::object delta = event.attr("delta")();
    if (nb::int_(0) < delta) {
        nb::object left = nb::getattr(self, "modified_left_adjcent_points");
        nb::object base = nb::len(left) == 0 ? point_idx : item(item(left, -1), 1);
        nb::object idx = base - one;
        if (!(idx < nb::int_(0))) left.attr("append")(neighbour(idx));

        nb::object right = nb::getattr(self, "modified_right_adjcent_points");
        base = nb::len(right) == 0 ? point_idx : item(item(right, -1), 1);
        idx = base + one;
        if (idx < nb::int_(n)) right.attr("append")(neighbour(idx));
    } else {
        nb::object left = nb::getattr(self, "modified_left_adjcent_points");
        if (nb::len(left) > 0) left.attr("pop")();
        nb::object right = nb::getattr(self, "modified_right_adjcent_points");
        if (nb::len(right) > 0) right.attr("pop")();
    }
    self.attr("plot_focus_control_point")(nb::getattr(self, "modified_ctrl_point"), "eventPos"_a = nb::none());
    return nb::none();
}
constexpr MethodDef kTargetWhellEvent = method<targetWhellEvent>(
    "targetWhellEvent", "(self, event: QGraphicsSceneWheelEvent) -> None",
    R"doc(Wheel handler of ``target``: widen or narrow the group of control points that
move with the focused one.

A forward turn (*event*.delta() > 0) adds the next control point on each side,
where there is one; any other turn drops the outermost one on each side. The
group is kept in ``modified_left_adjcent_points`` and
``modified_right_adjcent_points`` and drawn as circles. Does nothing without a
focused control point; the view does not zoom over the target. Emits nothing.)doc");

}  // namespace cep::anchors
