// Shared pieces of the pointer handlers.
#pragma once

#include <initializer_list>
#include <utility>

#include "binding/py.hpp"

namespace cep::pointer_editing {

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

// Only a plain ndarray is read or written through its buffer: a subclass may give
// item access a meaning of its own (masks, matrices), so it goes through NumPy.
inline bool plain_ndarray(nb::handle obj) { return obj.type().is(G("np").attr("ndarray")); }

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

// The drag steps of an open stroke; `mouse_point` is the pointer in data coordinates.
// liner_step returns false when the segment is empty and the hover must end at once.
bool liner_step(nb::handle self, nb::handle mouse_point);
void livewire_step(nb::handle self, nb::handle mouse_point);

}  // namespace cep::pointer_editing
