// What the strokes share with the hover, which drives their drag steps.
#pragma once

#include <initializer_list>
#include <utility>

#include "binding/arrays.hpp"
#include "binding/py.hpp"

namespace cep::strokes {

// `value == text`; plain strs are compared without making a str of the text.
inline bool equals(nb::handle value, const char *text) {
    if (PyUnicode_CheckExact(value.ptr())) return PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
    return value.equal(nb::str(text));
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

}  // namespace cep::strokes
