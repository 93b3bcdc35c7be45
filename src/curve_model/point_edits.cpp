// Inserting and removing control points. Each records the span that the following
// build_curve must re-interpolate; NumPy does the array work, so the element types
// and the IndexErrors are NumPy's own.
#include "binding/py.hpp"
#include "methods.hpp"

namespace cep::curve_model {
namespace {

const char *const kSpan = "params_for_ctrl_point_changed_signal";

nb::object compare(nb::handle a, nb::handle b, int op) {
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object plus(nb::handle a, long b) {
    PyObject *r = PyNumber_Add(a.ptr(), nb::int_(b).ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// The largest distinct x strictly below `x`, and the smallest strictly above it.
nb::object below(nb::handle np, nb::handle sorted_x, nb::handle x) {
    return item(sorted_x, item(item(np.attr("where")(compare(sorted_x, x, Py_LT)), 0), -1));
}
nb::object above(nb::handle np, nb::handle sorted_x, nb::handle x) {
    return item(sorted_x, item(item(np.attr("where")(compare(sorted_x, x, Py_GT)), 0), 0));
}

void record_span(nb::handle self, nb::handle curve_index, nb::handle start, nb::handle last) {
    nb::list span;
    span.append(curve_index);
    span.append(start);
    span.append(plus(last, 1));
    setattr(self, kSpan, span);
}

}  // namespace

nb::object add_cv_point(Call &c) {
    nb::handle self = c[0], x_value = c[1], y_value = c[2], curve_index = c[3];
    nb::object np = G("np");
    nb::object entry = item(getattr(self, "ctrl_points"), curve_index);

    nb::object idx = np.attr("searchsorted")(np.attr("sort")(item(entry, 0)), x_value);
    set_item(entry, nb::int_(0), np.attr("insert")(item(entry, 0), idx, x_value));
    set_item(entry, nb::int_(1), np.attr("insert")(item(entry, 1), idx, y_value));
    nb::object sorted_x = np.attr("unique")(item(entry, 0));

    nb::object start = truthy(compare(x_value, nb::int_(0), Py_EQ)) ? nb::object(nb::int_(0))
                                                                    : below(np, sorted_x, x_value);
    const Py_ssize_t n = py_len(item(getattr(self, "gCurves"), curve_index));
    nb::object last = truthy(compare(x_value, nb::int_(n - 1), Py_GE)) ? nb::object(nb::int_(n - 1))
                                                                       : above(np, sorted_x, x_value);
    record_span(self, curve_index, start, last);
    return nb::none();
}

nb::object remove_cv_points(Call &c) {
    nb::handle self = c[0], x_indexes = c[1], curve_index = c[2];
    nb::object np = G("np");
    nb::object entry = item(getattr(self, "ctrl_points"), curve_index);

    // The first and the last control point are fixed.
    nb::object positions = np.attr("sort")(x_indexes);
    if (truthy(compare(item(positions, 0), nb::int_(0), Py_EQ))) positions = np.attr("delete")(positions, 0);
    nb::int_ last_position(py_len(item(entry, 0)) - 1);
    if (truthy(compare(item(positions, -1), last_position, Py_EQ))) positions = np.attr("delete")(positions, -1);

    nb::object x_val = item(item(entry, 0), item(positions, 0));
    nb::object sorted_x = np.attr("unique")(np.attr("sort")(item(entry, 0)));
    nb::object start = truthy(compare(item(positions, 0), nb::int_(1), Py_LT)) ? nb::object(nb::int_(1))
                                                                              : below(np, sorted_x, x_val);
    nb::object last;
    if (truthy(compare(item(positions, -1), nb::int_(py_len(item(entry, 0)) - 1), Py_EQ)))
        last = nb::int_(py_len(item(getattr(self, "gCurves"), curve_index)) - 2);
    else
        last = above(np, sorted_x, x_val);
    record_span(self, curve_index, start, last);

    set_item(entry, nb::int_(0), np.attr("delete")(item(entry, 0), positions));
    set_item(entry, nb::int_(1), np.attr("delete")(item(entry, 1), positions));
    return nb::none();
}

}  // namespace cep::curve_model
