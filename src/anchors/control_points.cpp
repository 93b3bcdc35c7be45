// Control points derived from the curves: candidates are the columns where a curve
// changes value, thinned in passes (thinning.hpp). Plain NumPy arrays of native
// numeric types take the C++ path; anything else runs the same steps through NumPy.
#include "binding/arrays.hpp"
#include "binding/py.hpp"
#include "anchors/thinning.hpp"
#include "methods.hpp"

#include <vector>

namespace cep::anchors {
namespace {

nb::object number(double v) { return nb::steal(PyFloat_FromDouble(v)); }

// The thinning written step by step against Python objects, for element types and
// containers the C++ path does not cover; NumPy then decides every result.
nb::object columns_through_numpy(nb::handle np, nb::handle curve, nb::handle t) {
    nb::object changes = item(np.attr("where")(np.attr("sign")(np.attr("diff")(curve))), 0);
    changes = np.attr("insert")(changes, 0, 0);
    nb::list head;
    head.append(item(changes, 0));
    nb::object first = np.attr("append")(head, item(changes, nb::slice(nb::int_(1), nb::int_(-1), nb::none())));

    std::vector<nb::object> cur, next;
    const Py_ssize_t m0 = nb::len(first);
    for (Py_ssize_t i = 0; i < m0; ++i) cur.push_back(item(first, i));

    const nb::object flat = number(2.5), flat_span = number(4.5), slope = number(0.15), guard = number(0.0001);
    nb::object abs = np.attr("abs");
    for (int pass = 0; pass < 10; ++pass) {
        next.clear();
        next.push_back(cur.front());
        for (size_t i = 1; i + 1 < cur.size(); ++i) {
            nb::handle l = next.back(), p = cur[i], nx = cur[i + 1];
            if (t < p - l) {
                next.push_back(cur[i]);
                continue;
            }
            nb::object d = item(curve, nx) - item(curve, l);
            nb::object d1 = item(curve, p) - item(curve, l);
            nb::object d2 = item(curve, nx) - item(curve, p);
            if (abs(d1) < flat && abs(d2) < flat && abs(d) < flat_span) continue;
            auto run = [&](nb::handle to, nb::handle from) {
                return to - from + guard;
            };
            nb::object g = d / run(nx, l);
            nb::object g1 = d1 / run(p, l);
            nb::object g2 = d2 / run(nx, p);
            if (abs(g - g1) < slope && abs(g - g2) < slope)
                continue;
            next.push_back(cur[i]);
        }
        next.push_back(cur.back());
        const bool settled = next.size() == cur.size();
        cur.swap(next);
        if (settled) break;
    }
    nb::list kept;
    for (auto &o : cur) kept.append(o);
    return np.attr("append")(kept, static_cast<Py_ssize_t>(nb::len(curve)) - 1);
}

PyObject *exact_ndarray_type() {
    static PyObject *type = nb::object(nb::module_::import_("numpy").attr("ndarray")).release().ptr();
    return type;
}

// The threshold as a double when Python would compare it like one with an int64.
bool threshold_as_double(nb::handle t, double &out) {
    if (!PyFloat_Check(t.ptr()) && !PyLong_Check(t.ptr())) return false;
    out = PyFloat_Check(t.ptr()) ? PyFloat_AS_DOUBLE(t.ptr()) : PyLong_AsDouble(t.ptr());
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

nb::object int64_array(nb::handle np, const std::vector<int64_t> &values) {
    nb::object arr = np.attr("empty")(values.size(), "dtype"_a = np.attr("int64"));
    ArrayView view;
    if (!view.open(arr, true) || view.elem() != Elem::I64 || view.ndim() != 1)
        raise(PyExc_TypeError, "numpy.empty did not return a writable int64 array");
    for (size_t i = 0; i < values.size(); ++i) view.at<int64_t>(static_cast<Py_ssize_t>(i)) = values[i];
    return arr;
}

// xs for one curve, or an invalid object when the curve needs the NumPy steps.
nb::object columns_native(nb::handle np, nb::handle curve, bool have_t, double t) {
    if (!have_t || Py_TYPE(curve.ptr()) != reinterpret_cast<PyTypeObject *>(exact_ndarray_type())) return {};
    ArrayView view;
    if (!view.open(curve) || view.ndim() != 1) return {};
    std::vector<int64_t> xs;
    dispatch(view.elem(), [&](auto tag) {
        using T = decltype(tag);
        xs = thinning::control_columns(thinning::Strided<T>{view.data(), view.stride(0)}, view.shape(0), t);
    });
    view.release();
    return int64_array(np, xs);
}

}  // namespace

nb::object generate_control_points(nb::handle self, nb::handle t_p) {
    nb::object curves = nb::getattr(self, "gCurves");
    nb::object t = t_p * nb::int_(nb::len(item(curves, 0)));
    double t_native = 0;
    const bool have_t = threshold_as_double(t, t_native);

    nb::object np = module_global("np");
    nb::list result;
    for (nb::handle curve : curves) {
        nb::object xs = columns_native(np, curve, have_t, t_native);
        if (!xs.is_valid()) xs = columns_through_numpy(np, curve, t);
        nb::list entry(nb::make_tuple(xs, item(curve, xs)));
        result.append(entry);
    }
    return std::move(result);
}
constexpr MethodDef kGenerateControlPoints = method<generate_control_points>(
    "_generate_control_points", "(self, t_p: float = 0.2) -> list");

}  // namespace cep::anchors
