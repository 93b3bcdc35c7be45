// Rebuilding a stretch of a curve from its control points with the monotone cubic
// interpolator, in place in the host's array.
#include "binding/arrays.hpp"
#include "binding/first_per_key.hpp"
#include "binding/py.hpp"
#include "curves/edits.hpp"
#include "methods.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <type_traits>
#include <vector>

namespace cep::curves {
namespace {

// Sorts the columns of the 2 x m array by x and keeps the first column of each x, in
// place; returns the number kept, or -1 when the NumPy steps must decide (x not finite).
template <typename T>
Py_ssize_t sort_unique_columns(ArrayView &arr) {
    const Py_ssize_t m = arr.shape(1);
    std::vector<T> x(m), y(m);
    for (Py_ssize_t j = 0; j < m; ++j) {
        x[j] = arr.at<T>(0, j);
        y[j] = arr.at<T>(1, j);
        if constexpr (std::is_floating_point_v<T>)
            if (!std::isfinite(x[j])) return -1;
    }
    std::vector<Py_ssize_t> order(m);
    std::iota(order.begin(), order.end(), Py_ssize_t(0));
    // Stable, so that of several points at one x the one stored first survives.
    std::stable_sort(order.begin(), order.end(), [&](Py_ssize_t a, Py_ssize_t b) { return x[a] < x[b]; });
    Py_ssize_t k = 0;
    for (Py_ssize_t j = 0; j < m; ++j) {
        const Py_ssize_t src = order[j];
        if (k > 0 && !(arr.at<T>(0, k - 1) < x[src])) continue;
        arr.at<T>(0, k) = x[src];
        arr.at<T>(1, k) = y[src];
        ++k;
    }
    return k;
}

// Rows x and y of the control points sorted by x with one point per x, taken in
// NumPy's common element type of the two rows.
std::pair<nb::object, nb::object> sorted_points(nb::handle np, nb::handle entry) {
    nb::object arr = np.attr("array")(entry);
    {
        ArrayView view;
        if (view.open(arr, true) && view.ndim() == 2 && view.shape(0) == 2 && view.shape(1) > 0) {
            Py_ssize_t k = -1;
            dispatch(view.elem(), [&](auto tag) { k = sort_unique_columns<decltype(tag)>(view); });
            if (k >= 0) {
                nb::slice cols{nb::none(), nb::int_(k), nb::none()};
                return {item(arr, nb::make_tuple(0, cols)), item(arr, nb::make_tuple(1, cols))};
            }
        }
    }
    nb::slice all{nb::none(), nb::none(), nb::none()};
    arr = item(arr, nb::make_tuple(all, item(arr, 0).attr("argsort")()));
    nb::object unique_index = item(np.attr("unique")(item(arr, 0), "return_index"_a = true), 1);
    arr = item(arr, nb::make_tuple(all, unique_index));
    return {item(arr, 0), item(arr, 1)};
}

// The interpolant through all control points of one curve, at every column.
nb::object interpolate(nb::handle self, nb::handle np, nb::handle curve_index) {
    auto [xs, ys] = sorted_points(np, item(nb::getattr(self, "ctrl_points"), curve_index));
    nb::object cs = module_global("PchipInterpolator")(xs, ys);
    return cs(np.attr("arange")(nb::len(item(nb::getattr(self, "gCurves"), curve_index))));
}

void write_span(nb::handle self, nb::handle curve_index, nb::handle inter, nb::handle start, nb::handle stop) {
    nb::slice span{start, stop, nb::none()};
    nb::object values = item(inter, span);
    item(nb::getattr(self, "gCurves"), curve_index)[span] = values;
}

}  // namespace

void build_curve(nb::handle self, nb::handle curve_index) {
    nb::object np = module_global("np");
    nb::object curves = nb::getattr(self, "gCurves");

    if (curve_index.equal(nb::int_(-1))) {
        // Every curve over the pending span, or over its whole length when none is;
        // each through the instance, so that an override of build_curve is used.
        nb::object span = edits::pending(self);
        const Py_ssize_t count = nb::len(curves);
        for (Py_ssize_t i = 0; i < count; ++i) {
            nb::int_ index(i);
            if (span.is_none())
                edits::record(self, index, nb::int_(0), nb::int_(nb::len(item(nb::getattr(self, "gCurves"), index))));
            else
                edits::record(self, index, item(span, 1), item(span, 2));
            self.attr("build_curve")(index);
        }
        if (count > 0) edits::clear(self);
        return;
    }

    if (truthy(py_compare(curve_index, nb::int_(nb::len(curves)), Py_GE))) return;

    nb::object inter = interpolate(self, np, curve_index);
    nb::object span = edits::pending(self);
    write_span(self, curve_index, inter, item(span, 1), item(span, 2));
    nb::getattr(self, "sigCurveChanged").attr("emit")(curve_index, item(nb::getattr(self, "gCurves"), curve_index));
    span = edits::pending(self);
    nb::getattr(self, "sigControlPointChanged")
        .attr("emit")(item(span, 0), item(span, nb::slice(nb::int_(1), nb::none(), nb::none())));
    edits::clear(self);
}
constexpr MethodDef kBuildCurve = method<build_curve>("build_curve", "(self, curve_index: int = -1) -> None",
    R"doc(Re-interpolate curve *curve_index* from its control points over the pending
edited span.

The control points, sorted with one per column, are interpolated with
PchipInterpolator, and the values are written into the curve array in place over
the columns [start, end) of ``params_for_ctrl_point_changed_signal`` only. Then
emits sigCurveChanged(index, curve) and sigControlPointChanged(index, [start,
end]) and clears the span. An index past the last curve does nothing; -1
rebuilds every curve over the pending span, or over its whole length when none
is pending. Raises TypeError when one curve is asked for and no span is pending,
ValueError when fewer than two distinct columns hold control points.)doc");

}  // namespace cep::curves
