// Inserting and removing control points. Each records the span that the following
// build_curve must re-interpolate; NumPy does the array work, so the element types
// and the IndexErrors are NumPy's own.
#include "binding/py.hpp"
#include "curves/edits.hpp"
#include "methods.hpp"

namespace cep::anchors {
namespace {

// The largest distinct x strictly below `x`, and the smallest strictly above it.
nb::object below(nb::handle np, nb::handle sorted_x, nb::handle x) {
    return item(sorted_x, item(item(np.attr("where")(py_compare(sorted_x, x, Py_LT)), 0), -1));
}
nb::object above(nb::handle np, nb::handle sorted_x, nb::handle x) {
    return item(sorted_x, item(item(np.attr("where")(py_compare(sorted_x, x, Py_GT)), 0), 0));
}


}  // namespace

void add_cv_point(nb::handle self, nb::handle x_value, nb::handle y_value, nb::handle curve_index) {
    nb::object np = module_global("np");
    nb::object entry = item(nb::getattr(self, "ctrl_points"), curve_index);

    nb::object idx = np.attr("searchsorted")(np.attr("sort")(item(entry, 0)), x_value);
    entry[nb::int_(0)] = np.attr("insert")(item(entry, 0), idx, x_value);
    entry[nb::int_(1)] = np.attr("insert")(item(entry, 1), idx, y_value);
    nb::object sorted_x = np.attr("unique")(item(entry, 0));

    nb::object start = truthy(py_compare(x_value, nb::int_(0), Py_EQ)) ? nb::object(nb::int_(0))
                                                                    : below(np, sorted_x, x_value);
    const Py_ssize_t n = nb::len(item(nb::getattr(self, "gCurves"), curve_index));
    nb::object last = truthy(py_compare(x_value, nb::int_(n - 1), Py_GE)) ? nb::object(nb::int_(n - 1))
                                                                       : above(np, sorted_x, x_value);
    edits::record(self, curve_index, start, last + nb::int_(1));
}
constexpr MethodDef kAddCvPoint = method<add_cv_point>(
    "add_cv_point", "(self, x_value: int, y_value: int, curve_index: int) -> None",
    R"doc(Insert the control point (*x_value*, *y_value*) into curve *curve_index*'s
control points, in x order (before a point at the same x; x takes the integer
type of the columns).

Records the columns from the control point left of it to the one right of it in
``params_for_ctrl_point_changed_signal``, for the build_curve() that should
follow; neither rebuilds, redraws nor emits. Raises IndexError for a negative
*x_value*, with the point inserted already.)doc");

void remove_cv_points(nb::handle self, nb::handle x_indexes, nb::handle curve_index) {
    nb::object np = module_global("np");
    nb::object entry = item(nb::getattr(self, "ctrl_points"), curve_index);

    // The first and the last control point are fixed.
    nb::object positions = np.attr("sort")(x_indexes);
    if (truthy(py_compare(item(positions, 0), nb::int_(0), Py_EQ))) positions = np.attr("delete")(positions, 0);
    nb::int_ last_position(static_cast<Py_ssize_t>(nb::len(item(entry, 0))) - 1);
    if (truthy(py_compare(item(positions, -1), last_position, Py_EQ))) positions = np.attr("delete")(positions, -1);

    nb::object x_val = item(item(entry, 0), item(positions, 0));
    nb::object sorted_x = np.attr("unique")(np.attr("sort")(item(entry, 0)));
    nb::object start = truthy(py_compare(item(positions, 0), nb::int_(1), Py_LT)) ? nb::object(nb::int_(1))
                                                                              : below(np, sorted_x, x_val);
    nb::object last;
    if (truthy(py_compare(item(positions, -1), nb::int_(static_cast<Py_ssize_t>(nb::len(item(entry, 0))) - 1), Py_EQ)))
        last = nb::int_(static_cast<Py_ssize_t>(nb::len(item(nb::getattr(self, "gCurves"), curve_index))) - 2);
    else
        last = above(np, sorted_x, x_val);
    edits::record(self, curve_index, start, last + nb::int_(1));

    entry[nb::int_(0)] = np.attr("delete")(item(entry, 0), positions);
    entry[nb::int_(1)] = np.attr("delete")(item(entry, 1), positions);
}
constexpr MethodDef kRemoveCvPoints = method<remove_cv_points>(
    "remove_cv_points", "(self, x_indexes: Any, curve_index: int) -> None",
    R"doc(Remove control points of curve *curve_index* by their positions *x_indexes* in
its control-point arrays, in any order; the first and the last point stay.

Records the columns around the lowest removed point in
``params_for_ctrl_point_changed_signal``, for the build_curve() that should
follow; neither rebuilds, redraws nor emits. Raises IndexError, with the control
points unchanged, when no removable position is given or one is out of range.)doc");

}  // namespace cep::anchors
