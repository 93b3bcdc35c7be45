// Function-like method objects.
//
// Shiboken only dispatches a C++ virtual to Python when the attribute binds to a
// types.MethodType, and PySide reads a slot's arity from __code__; so every method
// of ours is an object that carries a real code object and binds like a function.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <stdexcept>
#include <string>

namespace nb = nanobind;

namespace cep {

// The arguments of one call, bound to the parameters of the signature.
struct Call {
    PyObject *const *slot = nullptr;  // one borrowed reference per named parameter
    PyObject *names = nullptr;        // tuple of the parameter names, in slot order
    size_t count = 0;
    nb::handle closure;               // data of a closure function, else empty
    nb::tuple varargs;                // the *args of a signature that has them
    nb::dict varkw;                   // the **kwargs of a signature that has them

    // The argument of the parameter called `name` in the signature text; a name the
    // signature lacks is a fault of ours and surfaces as SystemError.
    nb::handle arg(const char *name) const {
        for (size_t j = 0; j < count; ++j)
            if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(names, j), name) == 0) return slot[j];
        throw std::logic_error(std::string("no parameter named ") + name);
    }
    nb::handle self() const { return slot[0]; }
};

using Impl = nb::object (*)(Call &);

// One method: its Python signature (source text, e.g. "(self, x: int = 0) -> None"),
// the C++ body and the docstring (nullptr for none).
struct MethodDef {
    const char *name;
    const char *signature;
    Impl impl;
    const char *doc;
};

// Makes a function object for `def` whose qualified name is `qualname`.
nb::object make_function(const MethodDef &def, const char *qualname, nb::handle closure = nb::handle());

// Registers the function type; call once at module initialisation.
void init_function_type(nb::handle module_name);

}  // namespace cep
