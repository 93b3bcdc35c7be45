#include "binding/funclike.hpp"

#include "binding/errors.hpp"

#include <string>
#include <typeinfo>

namespace cep {
namespace {

constexpr int kMaxParams = 32;

struct FuncObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *code;
    PyObject *defaults;     // None or tuple, read at every call like a Python function's
    PyObject *kwdefaults;
    PyObject *annotations;
    PyObject *dict;
    PyObject *closure;
    PyObject *argnames;     // tuple of the named positional parameters
    PyObject *weaklist;
    Impl impl;
    int nparams;
    bool has_varargs;
    bool has_varkw;
};

PyTypeObject *func_type = nullptr;
PyObject *module_name_obj = nullptr;

PyObject *type_error(FuncObject *f, const char *fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyObject *msg = PyUnicode_FromFormatV(fmt, va);
    va_end(va);
    if (msg) {
        PyErr_Format(PyExc_TypeError, "%U() %U", f->qualname, msg);
        Py_DECREF(msg);
    }
    return nullptr;
}

int find_param(FuncObject *f, PyObject *key) {
    for (int j = 0; j < f->nparams; ++j) {
        PyObject *name = PyTuple_GET_ITEM(f->argnames, j);
        if (name == key) return j;
    }
    for (int j = 0; j < f->nparams; ++j) {
        PyObject *name = PyTuple_GET_ITEM(f->argnames, j);
        int eq = PyUnicode_Compare(name, key);
        if (eq == 0) return j;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

PyObject *func_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *f = reinterpret_cast<FuncObject *>(callable);
    const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const int P = f->nparams;
    PyObject *slots[kMaxParams] = {};

    if (npos > P && !f->has_varargs) {
        return type_error(f, "takes %d positional argument%s but %zd were given", P, P == 1 ? "" : "s", npos);
    }
    const Py_ssize_t nfill = npos < P ? npos : P;
    for (Py_ssize_t i = 0; i < nfill; ++i) slots[i] = args[i];

    Call call;
    if (f->has_varargs) {
        Py_ssize_t extra = npos > P ? npos - P : 0;
        PyObject *t = PyTuple_New(extra);
        if (!t) return nullptr;
        for (Py_ssize_t i = 0; i < extra; ++i) {
            Py_INCREF(args[P + i]);
            PyTuple_SET_ITEM(t, i, args[P + i]);
        }
        call.varargs = nb::steal<nb::tuple>(t);
    }
    if (f->has_varkw) call.varkw = nb::dict();

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[npos + k];
        int j = find_param(f, key);
        if (j >= 0) {
            if (slots[j]) return type_error(f, "got multiple values for argument '%U'", key);
            slots[j] = value;
        } else if (f->has_varkw) {
            if (PyDict_SetItem(call.varkw.ptr(), key, value) < 0) return nullptr;
        } else {
            return type_error(f, "got an unexpected keyword argument '%U'", key);
        }
    }

    // Keep the defaults alive for the call even if __defaults__ is reassigned inside it.
    nb::object defaults = nb::borrow(f->defaults);
    const Py_ssize_t ndef = PyTuple_Check(defaults.ptr()) ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
    const Py_ssize_t first_default = P - ndef;
    for (int j = 0; j < P; ++j) {
        if (slots[j]) continue;
        if (j >= first_default) {
            slots[j] = PyTuple_GET_ITEM(defaults.ptr(), j - first_default);
        } else {
            return type_error(f, "missing 1 required positional argument: '%U'", PyTuple_GET_ITEM(f->argnames, j));
        }
    }

    call.slot = slots;
    call.closure = f->closure;
    return guarded([&]() { return f->impl(call); });
}

PyObject *func_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int func_traverse(FuncObject *f, visitproc visit, void *arg) {
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->closure);
    Py_VISIT(f->argnames);
    return 0;
}

int func_clear(FuncObject *f) {
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->argnames);
    return 0;
}

void func_dealloc(FuncObject *f) {
    PyObject_GC_UnTrack(f);
    if (f->weaklist) PyObject_ClearWeakRefs(reinterpret_cast<PyObject *>(f));
    func_clear(f);
    PyTypeObject *tp = Py_TYPE(f);
    tp->tp_free(f);
    Py_DECREF(tp);
}

PyObject *func_repr(FuncObject *f) { return PyUnicode_FromFormat("<function %U at %p>", f->qualname, f); }

PyObject *get_field(PyObject *v) { return Py_NewRef(v ? v : Py_None); }

PyObject *get_name(FuncObject *f, void *) { return get_field(f->name); }
PyObject *get_qualname(FuncObject *f, void *) { return get_field(f->qualname); }
PyObject *get_doc(FuncObject *f, void *) { return get_field(f->doc); }
PyObject *get_code(FuncObject *f, void *) { return get_field(f->code); }
PyObject *get_defaults(FuncObject *f, void *) { return get_field(f->defaults); }
PyObject *get_kwdefaults(FuncObject *f, void *) { return get_field(f->kwdefaults); }
PyObject *get_annotations(FuncObject *f, void *) { return get_field(f->annotations); }
PyObject *get_module(FuncObject *f, void *) { return get_field(f->module); }

int set_str(PyObject **slot, PyObject *v, const char *what) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(v));
    return 0;
}
int set_name(FuncObject *f, PyObject *v, void *) { return set_str(&f->name, v, "__name__"); }
int set_qualname(FuncObject *f, PyObject *v, void *) { return set_str(&f->qualname, v, "__qualname__"); }
int set_module(FuncObject *f, PyObject *v, void *) {
    Py_XSETREF(f->module, Py_XNewRef(v));
    return 0;
}
int set_doc(FuncObject *f, PyObject *v, void *) {
    Py_XSETREF(f->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
int set_defaults(FuncObject *f, PyObject *v, void *) {
    if (v == nullptr) v = Py_None;
    if (v != Py_None && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(f->defaults, Py_NewRef(v));
    return 0;
}
int set_kwdefaults(FuncObject *f, PyObject *v, void *) {
    if (v == nullptr) v = Py_None;
    if (v != Py_None && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(f->kwdefaults, Py_NewRef(v));
    return 0;
}
int set_annotations(FuncObject *f, PyObject *v, void *) {
    if (v == nullptr || !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(f->annotations, Py_NewRef(v));
    return 0;
}

PyGetSetDef func_getset[] = {
    {"__name__", (getter)get_name, (setter)set_name, nullptr, nullptr},
    {"__qualname__", (getter)get_qualname, (setter)set_qualname, nullptr, nullptr},
    {"__module__", (getter)get_module, (setter)set_module, nullptr, nullptr},
    {"__doc__", (getter)get_doc, (setter)set_doc, nullptr, nullptr},
    {"__code__", (getter)get_code, nullptr, nullptr, nullptr},
    {"__defaults__", (getter)get_defaults, (setter)set_defaults, nullptr, nullptr},
    {"__kwdefaults__", (getter)get_kwdefaults, (setter)set_kwdefaults, nullptr, nullptr},
    {"__annotations__", (getter)get_annotations, (setter)set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FuncObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FuncObject, weaklist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FuncObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot func_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(func_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(func_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(func_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(func_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(func_descr_get)},
    {Py_tp_getset, func_getset},
    {Py_tp_members, func_members},
    {0, nullptr},
};

// PySide recognises a non-method slot as function-like only by this exact type name,
// and then reads its arity from __code__.
PyType_Spec func_spec = {
    "compiled_function",
    sizeof(FuncObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    func_slots,
};

// Compiles `def _f<signature>: pass` so that code object, defaults and annotation
// strings are exactly what the same signature gives a Python function.
nb::object signature_template(const char *signature) {
    std::string src = "from __future__ import annotations\ndef _f";
    src += signature;
    src += ":\n    pass\n";
    nb::dict ns;
    ns["__builtins__"] = nb::module_::import_("builtins");
    nb::object code = nb::steal(Py_CompileString(src.c_str(), "vantel/utils/curveEditorPlot", Py_file_input));
    if (!code.is_valid()) throw nb::python_error();
    nb::object res = nb::steal(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr()));
    if (!res.is_valid()) throw nb::python_error();
    return ns["_f"];
}

}  // namespace

void init_function_type(nb::handle module_name) {
    if (func_type) return;
    func_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&func_spec));
    if (!func_type) throw nb::python_error();
    if (PyObject_SetAttrString(reinterpret_cast<PyObject *>(func_type), "__module__", module_name.ptr()) < 0)
        throw nb::python_error();
    module_name_obj = Py_NewRef(module_name.ptr());
}

nb::object make_function(const MethodDef &def, const char *qualname, nb::handle closure) {
    nb::object tmpl = signature_template(def.signature);
    nb::object code = tmpl.attr("__code__");
    code = code.attr("replace")(nb::arg("co_name") = def.name, nb::arg("co_qualname") = qualname);
    const int argcount = nb::cast<int>(code.attr("co_argcount"));
    const int flags = nb::cast<int>(code.attr("co_flags"));
    // Python's own reading of the signature, against the one the body was compiled for.
    const Shape &s = def.shape;
    if (argcount != s.named || nb::cast<int>(code.attr("co_kwonlyargcount")) != 0 ||
        nb::cast<int>(code.attr("co_posonlyargcount")) != 0 || ((flags & CO_VARARGS) != 0) != s.varargs ||
        ((flags & CO_VARKEYWORDS) != 0) != s.varkw || s.closure != closure.is_valid())
        raise_format(PyExc_SystemError, "%s%s does not match the parameters of its body", def.name, def.signature);
    if (argcount > kMaxParams) throw std::runtime_error("too many parameters");
    nb::tuple varnames = nb::borrow<nb::tuple>(code.attr("co_varnames"));

    auto *f = PyObject_GC_New(FuncObject, func_type);
    if (!f) throw nb::python_error();
    f->vectorcall = func_vectorcall;
    f->name = PyUnicode_FromString(def.name);
    f->qualname = PyUnicode_FromString(qualname);
    f->module = Py_NewRef(module_name_obj);
    f->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    f->code = code.release().ptr();
    f->defaults = nb::object(tmpl.attr("__defaults__")).release().ptr();
    f->kwdefaults = nb::object(tmpl.attr("__kwdefaults__")).release().ptr();
    f->annotations = nb::object(tmpl.attr("__annotations__")).release().ptr();
    f->dict = nullptr;
    f->closure = closure.is_valid() ? Py_NewRef(closure.ptr()) : nullptr;
    f->argnames = PyTuple_GetSlice(varnames.ptr(), 0, argcount);
    f->weaklist = nullptr;
    f->impl = def.impl;
    f->nparams = argcount;
    f->has_varargs = (flags & CO_VARARGS) != 0;
    f->has_varkw = (flags & CO_VARKEYWORDS) != 0;
    PyObject_GC_Track(f);
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(f));
    if (!f->name || !f->qualname || !f->doc || !f->argnames) throw nb::python_error();
    return result;
}

nb::object make_class(nb::handle base, const char *name, const char *doc, nb::handle attrs,
                      const MethodDef *const *methods, size_t count) {
    nb::dict ns;
    ns["__module__"] = nb::handle(module_name_obj);
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    for (auto [key, value] : nb::borrow<nb::dict>(attrs)) ns[key] = value;
    for (size_t i = 0; i < count; ++i) {
        std::string qualname = std::string(name) + "." + methods[i]->name;
        ns[methods[i]->name] = make_function(*methods[i], qualname.c_str());
    }
    nb::handle meta(reinterpret_cast<PyObject *>(Py_TYPE(base.ptr())));
    return meta(name, nb::make_tuple(base), ns);
}

}  // namespace cep
