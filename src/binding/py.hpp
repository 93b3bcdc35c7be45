// Helpers for method bodies that talk to Python objects, where nanobind's own differ.
#pragma once

#include <nanobind/nanobind.h>

#include "binding/errors.hpp"
#include "binding/funclike.hpp"

#include <array>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace cep {

// Set once at import.
extern PyObject *g_module_dict;
extern PyObject *g_plot_class;
extern PyObject *g_worker_class;

// A module global, looked up when used, as Python code does, so that a host or a test
// that replaces one (QFileDialog, PchipInterpolator ...) has its replacement used.
inline nb::object module_global(const char *name) {
    PyObject *v = PyDict_GetItemString(g_module_dict, name);  // borrowed
    if (!v) raise_format(PyExc_NameError, "name '%s' is not defined", name);
    return nb::borrow(v);
}

// super(cls, self)
inline nb::object super_of(PyObject *cls, nb::handle self) {
    return nb::handle(reinterpret_cast<PyObject *>(&PySuper_Type))(nb::handle(cls), self);
}
inline nb::object plot_super(nb::handle self) { return super_of(g_plot_class, self); }
inline nb::object worker_super(nb::handle self) { return super_of(g_worker_class, self); }

// bool(h), without making a bool object as nb::bool_(h) does.
inline bool truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// `a <op> b` as Python gives it (an array for arrays): nanobind's comparisons answer bool.
inline nb::object py_compare(nb::handle a, nb::handle b, int op) {
    nb::object r = nb::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

// hasattr(): nb::hasattr answers False for any error, this only for AttributeError.
inline bool has_attr(nb::handle h, const char *name) {
    PyObject *r = PyObject_GetAttrString(h.ptr(), name);
    if (r) {
        Py_DECREF(r);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return false;
}

// obj[i] as Python evaluates it: nanobind's integer index takes PySequence_GetItem
// (no mappings) and, on lists and tuples, no bounds check.
inline nb::object item(nb::handle obj, Py_ssize_t i) {
    nb::object key = nb::steal(PyLong_FromSsize_t(i));
    PyObject *r = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}
inline nb::object item(nb::handle obj, nb::handle key) { return obj[key]; }

// `a, b, ... = seq` with Python's errors for the wrong count.
template <size_t N>
std::array<nb::object, N> unpack(nb::handle seq) {
    std::array<nb::object, N> parts;
    size_t i = 0;
    for (nb::handle part : seq) {
        if (i == N) raise_format(PyExc_ValueError, "too many values to unpack (expected %zu)", N);
        parts[i++] = nb::borrow(part);
    }
    if (i < N) raise_format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", N, i);
    return parts;
}
inline std::pair<nb::object, nb::object> unpack2(nb::handle seq) {
    auto [a, b] = unpack<2>(seq);
    return {a, b};
}

}  // namespace cep
