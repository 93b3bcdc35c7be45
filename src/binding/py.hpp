// Small helpers for method bodies that talk to Python objects.
#pragma once

#include <nanobind/nanobind.h>

#include "binding/errors.hpp"
#include <array>
#include <initializer_list>
#include <utility>
#include "binding/funclike.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace cep {

// Set once at import.
extern PyObject *g_module_dict;
extern PyObject *g_plot_class;
extern PyObject *g_worker_class;

// An interned str, made once per use site: the hover reads the same attributes on
// every pointer movement, and making the str again for each access shows.
#define INTERNED(text) \
    ([]() -> nb::handle { \
        static PyObject *const interned = PyUnicode_InternFromString(text); \
        return interned; \
    }())

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

inline bool truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// Python's `a == b`, as a truth value.
inline bool py_eq(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r != 0;
}
inline bool py_eq(nb::handle a, const char *s) { return py_eq(a, nb::str(s)); }

// Python's `a < b` and `a != b`, as truth values.
inline bool py_lt(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (r < 0) throw nb::python_error();
    return r != 0;
}
inline bool py_ne(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// `a <op> b` as Python gives it (an array for arrays); op is Py_LT, Py_EQ ...
inline nb::object py_compare(nb::handle a, nb::handle b, int op) {
    nb::object r = nb::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

// Python's `a + b`, `a - b` and `a / b`.
inline nb::object py_add(nb::handle a, nb::handle b) {
    nb::object r = nb::steal(PyNumber_Add(a.ptr(), b.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}
inline nb::object py_sub(nb::handle a, nb::handle b) {
    nb::object r = nb::steal(PyNumber_Subtract(a.ptr(), b.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}
inline nb::object py_div(nb::handle a, nb::handle b) {
    nb::object r = nb::steal(PyNumber_TrueDivide(a.ptr(), b.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

// str(value), and the concatenation of strs.
inline nb::object py_str(nb::handle value) {
    nb::object r = nb::steal(PyObject_Str(value.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}
inline nb::object concat(std::initializer_list<nb::handle> parts) {
    nb::object r = nb::str("");
    for (nb::handle p : parts) {
        r = nb::steal(PyUnicode_Concat(r.ptr(), p.ptr()));
        if (!r.is_valid()) throw nb::python_error();
    }
    return r;
}

// [a, b, c]
inline nb::object list_of(nb::handle a, nb::handle b, nb::handle c) {
    PyObject *l = PyList_New(3);
    if (!l) throw nb::python_error();
    PyList_SET_ITEM(l, 0, Py_NewRef(a.ptr()));
    PyList_SET_ITEM(l, 1, Py_NewRef(b.ptr()));
    PyList_SET_ITEM(l, 2, Py_NewRef(c.ptr()));
    return nb::steal(l);
}

// What a weak reference points to, or None once it is gone. Slots of the plot's own
// menu actions hold the plot this way: a strong reference from a connection would keep
// a dropped plot alive for as long as its menu.
inline nb::object weak_referent(nb::handle ref) {
    PyObject *obj = PyWeakref_GetObject(ref.ptr());
    if (!obj) throw nb::python_error();
    return nb::borrow(obj);
}

inline Py_ssize_t py_len(nb::handle h) {
    Py_ssize_t n = PyObject_Length(h.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

inline bool has_attr(nb::handle h, const char *name) {
    // hasattr(): only AttributeError means "absent"; anything else propagates.
    PyObject *r = PyObject_GetAttrString(h.ptr(), name);
    if (r) {
        Py_DECREF(r);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return false;
}

// obj[i] with Python semantics (negative indices, __getitem__ of any type).
inline nb::object item(nb::handle obj, Py_ssize_t i) {
    nb::object key = nb::steal(PyLong_FromSsize_t(i));
    PyObject *r = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}
inline nb::object item(nb::handle obj, nb::handle key) {
    PyObject *r = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}
inline void set_item(nb::handle obj, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
}

inline nb::object getattr(nb::handle obj, const char *name) {
    PyObject *r = PyObject_GetAttrString(obj.ptr(), name);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}
inline void setattr(nb::handle obj, const char *name, nb::handle value) {
    if (PyObject_SetAttrString(obj.ptr(), name, value.ptr()) < 0) throw nb::python_error();
}

inline nb::object none() { return nb::none(); }

// A weak reference to `obj`, for closure data (see weak_referent).
inline nb::object weak_ref(nb::handle obj) {
    nb::object ref = nb::steal(PyWeakref_NewRef(obj.ptr(), nullptr));
    if (!ref.is_valid()) throw nb::python_error();
    return ref;
}

}  // namespace cep

namespace cep {

// `a, b, ... = seq` with Python's errors for the wrong count.
template <size_t N>
std::array<nb::object, N> unpack(nb::handle seq) {
    nb::object it = nb::steal(PyObject_GetIter(seq.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    std::array<nb::object, N> parts;
    for (size_t i = 0; i < N; ++i) {
        parts[i] = nb::steal(PyIter_Next(it.ptr()));
        if (!parts[i].is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", N, i);
        }
    }
    nb::object extra = nb::steal(PyIter_Next(it.ptr()));
    if (extra.is_valid()) raise_format(PyExc_ValueError, "too many values to unpack (expected %zu)", N);
    if (PyErr_Occurred()) throw nb::python_error();
    return parts;
}

inline std::pair<nb::object, nb::object> unpack2(nb::handle seq) {
    auto [a, b] = unpack<2>(seq);
    return {a, b};
}

}  // namespace cep
