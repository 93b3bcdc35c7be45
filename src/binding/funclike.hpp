// Function-like method objects.
//
// Shiboken only dispatches a C++ virtual to Python when the attribute binds to a
// types.MethodType, and PySide reads a slot's arity from __code__; so every method
// of ours is an object that carries a real code object and binds like a function.
// Its body is a plain C++ function whose parameters mirror the Python signature:
// nb::handle (or nb::object) per named parameter, then nb::tuple for *args and
// nb::dict for **kwargs; a closure's body takes its data first, as `Closure`.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace nb = nanobind;

namespace cep {

// The arguments of one call, bound to the parameters of the signature.
struct Call {
    PyObject *const *slot = nullptr;  // one borrowed reference per named parameter
    nb::handle closure;               // data of a closure function, else empty
    nb::tuple varargs;                // the *args of a signature that has them
    nb::dict varkw;                   // the **kwargs of a signature that has them
};

// The data a closure function was made with (make_function with a closure).
struct Closure : nb::handle {
    using nb::handle::handle;
};

using Impl = nb::object (*)(Call &);

// What a signature asks the body for.
struct Shape {
    int named = 0;
    bool varargs = false;
    bool varkw = false;
    bool closure = false;
};

namespace detail {

constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// One parameter of a signature's text, [from, to).
constexpr void add_parameter(const char *from, const char *to, Shape &s) {
    while (from < to && is_space(*from)) ++from;
    if (from == to) throw std::logic_error("empty parameter in a signature");
    if (s.varkw) throw std::logic_error("a parameter after **kwargs");
    if (from[0] == '*' && from + 1 < to && from[1] == '*') {
        s.varkw = true;
    } else if (from[0] == '*') {
        const char *p = from + 1;
        while (p < to && is_space(*p)) ++p;
        if (p == to) throw std::logic_error("keyword-only parameters are not supported");
        s.varargs = true;
    } else if (from[0] == '/') {
        throw std::logic_error("positional-only parameters are not supported");
    } else {
        if (s.varargs) throw std::logic_error("keyword-only parameters are not supported");
        ++s.named;
    }
}

// The parameters of "(a, b: int = 0, *args, **kw) -> R", read at compile time.
constexpr Shape signature_shape(const char *text) {
    Shape s;
    if (text[0] != '(') throw std::logic_error("a signature starts with '('");
    const char *start = text + 1;
    int depth = 0;
    char quote = 0;
    for (const char *p = text + 1;; ++p) {
        const char ch = *p;
        if (!ch) throw std::logic_error("unbalanced signature");
        if (quote) {
            if (ch == '\\' && p[1]) ++p;
            else if (ch == quote) quote = 0;
        } else if (ch == '\'' || ch == '"') {
            quote = ch;
        } else if (ch == '(' || ch == '[' || ch == '{') {
            ++depth;
        } else if (depth > 0 && (ch == ')' || ch == ']' || ch == '}')) {
            --depth;
        } else if (depth == 0 && (ch == ',' || ch == ')')) {
            const char *q = start;
            while (q < p && is_space(*q)) ++q;
            if (ch == ',' || q < p || s.named || s.varargs || s.varkw) add_parameter(start, p, s);
            if (ch == ')') return s;
            start = p + 1;
        }
    }
}

// What a body's parameter receives, in the order the parameters must come.
enum Kind { kClosure, kNamed, kVarArgs, kVarKw };
template <typename T> struct kind_of { static constexpr Kind value = kNamed; };
template <> struct kind_of<Closure> { static constexpr Kind value = kClosure; };
template <> struct kind_of<nb::tuple> { static constexpr Kind value = kVarArgs; };
template <> struct kind_of<nb::dict> { static constexpr Kind value = kVarKw; };
template <typename T> constexpr Kind kind = kind_of<std::decay_t<T>>::value;

template <typename T>
constexpr bool named_ok = std::is_same_v<std::decay_t<T>, nb::handle> || std::is_same_v<std::decay_t<T>, nb::object>;

template <typename F> struct body;
template <typename R, typename... A> struct body<R (*)(A...)> {
    static constexpr int n = sizeof...(A);
    static constexpr Kind kinds[n + 1] = {kind<A>..., kVarKw};
    static constexpr bool ordered() {
        for (int i = 1; i < n; ++i)
            if (kinds[i] < kinds[i - 1] || (kinds[i] != kNamed && kinds[i] == kinds[i - 1])) return false;
        return true;
    }
    static constexpr Shape shape() {
        static_assert(((kind<A> != kNamed || named_ok<A>) && ...), "a named parameter is an nb::handle or nb::object");
        static_assert(ordered(), "parameters go: Closure, named ones, nb::tuple (*args), nb::dict (**kwargs)");
        Shape s;
        for (int i = 0; i < n; ++i) {
            s.named += kinds[i] == kNamed;
            s.varargs |= kinds[i] == kVarArgs;
            s.varkw |= kinds[i] == kVarKw;
            s.closure |= kinds[i] == kClosure;
        }
        return s;
    }
    template <typename T, size_t I> static T fetch(Call &c) {
        constexpr Kind k = kind<T>;
        if constexpr (k == kVarArgs) return c.varargs;
        else if constexpr (k == kVarKw) return c.varkw;
        else if constexpr (k == kClosure) return Closure(c.closure.ptr());
        else if constexpr (std::is_same_v<std::decay_t<T>, nb::object>) return nb::borrow(c.slot[I - shape().closure]);
        else return nb::handle(c.slot[I - shape().closure]);
    }
    template <auto F, size_t... I> static nb::object call(Call &c, std::index_sequence<I...>) {
        if constexpr (std::is_void_v<R>) {
            F(fetch<A, I>(c)...);
            return nb::none();
        } else {
            return F(fetch<A, I>(c)...);
        }
    }
};

template <auto F> nb::object trampoline(Call &c) {
    return body<decltype(F)>::template call<F>(c, std::make_index_sequence<body<decltype(F)>::n>());
}

}  // namespace detail

// One method: its Python signature (source text, e.g. "(self, x: int = 0) -> None"),
// the C++ body and the docstring (nullptr for none).
struct MethodDef {
    const char *name;
    const char *signature;
    Impl impl;
    const char *doc;
    Shape shape;
};

// The definition of a method whose body is `Body`. Used for a constexpr MethodDef, a
// body that does not take what the signature gives fails to compile.
template <auto Body>
constexpr MethodDef method(const char *name, const char *signature, const char *doc = nullptr) {
    constexpr Shape body = detail::body<decltype(Body)>::shape();
    const Shape text = detail::signature_shape(signature);
    if (text.named != body.named || text.varargs != body.varargs || text.varkw != body.varkw)
        throw std::logic_error("the body's parameters do not match the signature");
    return MethodDef{name, signature, &detail::trampoline<Body>, doc, body};
}

// Makes a function object for `def` whose qualified name is `qualname`; a closure
// function carries `closure` to a body that takes it.
nb::object make_function(const MethodDef &def, const char *qualname, nb::handle closure = nb::handle());

// Makes a class the way a class statement does: the base's metaclass called with a
// namespace of __module__, __qualname__, __doc__, then `attrs` in their order, then
// the methods in theirs.
nb::object make_class(nb::handle base, const char *name, const char *doc, nb::handle attrs,
                      const MethodDef *const *methods, size_t count);
template <size_t N>
nb::object make_class(nb::handle base, const char *name, const char *doc, nb::handle attrs,
                      const MethodDef *const (&methods)[N]) {
    return make_class(base, name, doc, attrs, methods, N);
}

// Registers the function type; call once at module initialisation.
void init_function_type(nb::handle module_name);

}  // namespace cep
