// Turning C++ failures into Python exceptions at the boundary, and raising them.
#pragma once

#include <nanobind/nanobind.h>

#include <new>
#include <stdexcept>
#include <typeinfo>

namespace nb = nanobind;

namespace cep {

// Sets a Python exception of `type` and unwinds to the nearest boundary.
[[noreturn]] inline void raise(PyObject *type, const char *msg) {
    PyErr_SetString(type, msg);
    throw nb::python_error();
}

[[noreturn]] inline void raise_format(PyObject *type, const char *fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyErr_FormatV(type, fmt, va);
    va_end(va);
    throw nb::python_error();
}

// Runs `body` and converts whatever it throws into a pending Python exception.
// Returns a new reference, or nullptr with the exception set.
template <typename F>
PyObject *guarded(F &&body) noexcept {
    try {
        nb::object result = body();
        if (!result.is_valid()) return Py_NewRef(Py_None);
        return result.release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::bad_cast &) {
        PyErr_SetString(PyExc_TypeError, "value of an unexpected type");
    } catch (const std::exception &e) {
        // Any other C++ exception reaching the boundary is a fault of ours, not of the input.
        PyErr_Format(PyExc_SystemError, "curveEditorPlot internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

}  // namespace cep
