// Typed views of NumPy arrays through the buffer protocol, and dispatch on the
// element type. Anything without a native-endian numeric buffer (lists, object or
// big-endian arrays, booleans, float16) is reported as "not viewable" so that the
// caller can fall back to NumPy and keep NumPy's exact semantics.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <utility>

namespace nb = nanobind;

namespace cep {

enum class Elem { None, F64, F32, I64, I32, I16, I8, U64, U32, U16, U8 };

class ArrayView {
public:
    ArrayView() = default;
    ArrayView(const ArrayView &) = delete;
    ArrayView &operator=(const ArrayView &) = delete;
    ~ArrayView() { release(); }

    // Returns false, with no Python error left set, when `obj` has no usable buffer.
    bool open(nb::handle obj, bool writable = false) {
        release();
        int flags = PyBUF_RECORDS_RO | PyBUF_FORMAT;
        if (writable) flags |= PyBUF_WRITABLE;
        if (!PyObject_CheckBuffer(obj.ptr()) || PyObject_GetBuffer(obj.ptr(), &buf_, flags) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        elem_ = parse(buf_.format, buf_.itemsize);
        if (elem_ == Elem::None) {
            release();
            return false;
        }
        return true;
    }

    Elem elem() const { return elem_; }
    int ndim() const { return buf_.ndim; }
    Py_ssize_t shape(int d) const { return buf_.shape[d]; }
    Py_ssize_t stride(int d) const { return buf_.strides[d]; }
    Py_ssize_t size() const { return buf_.ndim == 0 ? 1 : buf_.len / buf_.itemsize; }
    char *data() const { return static_cast<char *>(buf_.buf); }

    template <typename T>
    T &at(Py_ssize_t i) const {
        return *reinterpret_cast<T *>(data() + i * buf_.strides[0]);
    }
    template <typename T>
    T &at(Py_ssize_t i, Py_ssize_t j) const {
        return *reinterpret_cast<T *>(data() + i * buf_.strides[0] + j * buf_.strides[1]);
    }

    void release() {
        if (held_) PyBuffer_Release(&buf_);
        held_ = false;
        elem_ = Elem::None;
    }

private:
    static Elem parse(const char *fmt, Py_ssize_t itemsize) {
        if (!fmt) return Elem::U8;
        char order = '@';
        if (*fmt == '@' || *fmt == '=' || *fmt == '<' || *fmt == '>' || *fmt == '!') order = *fmt++;
        const bool little = (order == '<' || ((order == '@' || order == '=') && is_little()));
        const bool big = (order == '>' || order == '!' || ((order == '@' || order == '=') && !is_little()));
        if ((little && !is_little()) || (big && is_little())) {
            if (itemsize != 1) return Elem::None;
        }
        if (fmt[0] == '\0' || fmt[1] != '\0') return Elem::None;
        switch (fmt[0]) {
            case 'd': return itemsize == 8 ? Elem::F64 : Elem::None;
            case 'f': return itemsize == 4 ? Elem::F32 : Elem::None;
            case 'b': return Elem::I8;
            case 'B': return Elem::U8;
            case 'h': case 'H': case 'i': case 'I': case 'l': case 'L': case 'q': case 'Q': {
                const bool is_signed = fmt[0] == 'h' || fmt[0] == 'i' || fmt[0] == 'l' || fmt[0] == 'q';
                switch (itemsize) {
                    case 2: return is_signed ? Elem::I16 : Elem::U16;
                    case 4: return is_signed ? Elem::I32 : Elem::U32;
                    case 8: return is_signed ? Elem::I64 : Elem::U64;
                    default: return Elem::None;
                }
            }
            default: return Elem::None;
        }
    }
    static bool is_little() {
        const uint16_t one = 1;
        unsigned char b;
        std::memcpy(&b, &one, 1);
        return b == 1;
    }

    Py_buffer buf_{};
    bool held_ = false;
    Elem elem_ = Elem::None;
};

// Calls f(T{}) with T the C++ type of `e`; returns false for Elem::None.
template <typename F>
bool dispatch(Elem e, F &&f) {
    switch (e) {
        case Elem::F64: f(double{}); return true;
        case Elem::F32: f(float{}); return true;
        case Elem::I64: f(int64_t{}); return true;
        case Elem::I32: f(int32_t{}); return true;
        case Elem::I16: f(int16_t{}); return true;
        case Elem::I8: f(int8_t{}); return true;
        case Elem::U64: f(uint64_t{}); return true;
        case Elem::U32: f(uint32_t{}); return true;
        case Elem::U16: f(uint16_t{}); return true;
        case Elem::U8: f(uint8_t{}); return true;
        default: return false;
    }
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

}  // namespace cep
