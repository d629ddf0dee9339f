// Thin, throwing wrappers over the C API calls the operations make. Each
// returns an Owned result or throws PyErrSet with the error indicator set.
#pragma once

#include <array>

#include "method.hpp"

namespace stashel {

inline Owned getattr(Borrowed obj, PyObject* name) { return Owned::steal(PyObject_GetAttr(obj.get(), name)); }

inline void setattr(Borrowed obj, PyObject* name, Borrowed value) {
    check(PyObject_SetAttr(obj.get(), name, value.get()));
}

inline bool truth(Borrowed obj) { return check(PyObject_IsTrue(obj.get())) != 0; }

inline Owned new_ref(PyObject* obj) { return Owned::ref(obj); }

inline Owned bool_result(bool value) { return new_ref(value ? Py_True : Py_False); }

// obj.name(*args, **dict(zip(kwnames, trailing args))); `kwnames` may be NULL.
template <class... Args>
Owned call_method_kw(PyObject* name, PyObject* kwnames, Borrowed obj, const Args&... args) {
    std::array<PyObject*, sizeof...(Args) + 1> stack{obj.get(), Borrowed(args).get()...};
    size_t positional = stack.size() - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return Owned::steal(PyObject_VectorcallMethod(name, stack.data(), positional, kwnames));
}

template <class... Args>
Owned call_method(PyObject* name, Borrowed obj, const Args&... args) {
    return call_method_kw(name, nullptr, obj, args...);
}

// callable(*args, **dict(zip(kwnames, trailing args))); `kwnames` may be NULL.
template <class... Args>
Owned call_kw(Borrowed callable, PyObject* kwnames, const Args&... args) {
    // One spare slot in front lets the callee prepend `self` without copying.
    std::array<PyObject*, sizeof...(Args) + 1> stack{nullptr, Borrowed(args).get()...};
    size_t positional = sizeof...(Args) - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return Owned::steal(
        PyObject_Vectorcall(callable.get(), stack.data() + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// self.name(*args, **dict(zip(kwnames, trailing args))), as Python code would
// call it, except that when the attribute is the class's own method, its
// compiled method is called without the Python function in front of it.
template <class... Args>
Owned call_sibling(PyObject* name, PyObject* kwnames, Borrowed self, const Args&... args) {
    Owned attribute = getattr(self, name);
    if (PyMethod_Check(attribute.get()) && PyMethod_GET_SELF(attribute.get()) == self.get()) {
        if (Borrowed compiled = own_compiled(name, PyMethod_GET_FUNCTION(attribute.get()))) {
            std::array<PyObject*, sizeof...(Args) + 1> stack{self.get(), Borrowed(args).get()...};
            size_t positional = stack.size() - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
            return Owned::steal(PyObject_Vectorcall(compiled.get(), stack.data(), positional, kwnames));
        }
    }
    return call_kw(attribute, kwnames, args...);
}

}  // namespace stashel
