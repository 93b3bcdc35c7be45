// Shared pieces of the pointer handlers.
#pragma once

#include <initializer_list>
#include <utility>

#include "binding/py.hpp"

namespace cep::pointer_editing {

// An interned name, made once per use site: the hover runs on every pointer
// movement, and making the same str again for each attribute access shows.
#define CEP_NAME(text) \
    ([]() -> nb::handle { \
        static PyObject *const interned = PyUnicode_InternFromString(text); \
        return interned; \
    }())

// A module global by interned name, looked up when used like G().
inline nb::object global(nb::handle name) {
    PyObject *v = PyDict_GetItemWithError(g_module_dict, name.ptr());
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(v);
}
// `value == text` for an interned text; plain strs are compared without a call.
inline bool equals(nb::handle value, nb::handle text) {
    if (value.ptr() == text.ptr()) return true;
    if (PyUnicode_CheckExact(value.ptr())) return PyUnicode_Compare(value.ptr(), text.ptr()) == 0;
    return py_eq(value, text);
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
inline bool py_ne(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0) throw nb::python_error();
    return r != 0;
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

// Only a plain ndarray is read or written through its buffer: a subclass may give
// item access a meaning of its own (masks, matrices), so it goes through NumPy.
inline bool plain_ndarray(nb::handle obj) {
    static PyObject *const ndarray = nb::object(nb::module_::import_("numpy").attr("ndarray")).release().ptr();
    return Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject *>(ndarray);
}

// A Python float as a double (np.float64 included); false for anything else.
inline bool exact_double(nb::handle obj, double &out) {
    if (!PyFloat_Check(obj.ptr())) return false;
    out = PyFloat_AS_DOUBLE(obj.ptr());
    return true;
}

// int(np.round(v)): halves go to the even neighbour; NaN and infinities raise as int() does.
nb::object round_to_int(nb::handle v);

// The smallest and the largest of `values` as sorted() orders them (stable, Python comparison).
std::pair<nb::object, nb::object> sorted_ends(std::initializer_list<nb::handle> values);

// The pointer in data coordinates: mouse_point.x() and mouse_point.y(), read once.
struct Pointer {
    nb::object x, y;
};

// The drag steps of an open stroke. liner_step returns false when the segment is
// empty and the hover must end at once.
bool liner_step(nb::handle self, const Pointer &pointer);
void livewire_step(nb::handle self, const Pointer &pointer);

}  // namespace cep::pointer_editing
