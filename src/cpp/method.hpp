// Compiled methods: the C++ operations behind the methods of the class, with
// one table-driven argument binder. Each is reached through a plain Python
// function in the class namespace (kelm_sdk/redis/_door.py) that hands it its
// arguments unchanged.
#pragma once

#include "pyref.hpp"

namespace stashel {

// Largest parameter count of any method, the instance included.
constexpr int kMaxParams = 5;

// What a parameter accepts; "exact" means type identity, subclasses refused.
enum class Rule : unsigned char { Any, Str, Int, OptInt, Dict, OptDict, List };

struct Param {
    const char* name;
    const char* annotation;  // nullptr: not annotated
    Rule rule;
};

class Call;
using Impl = Owned (*)(const Call&);

struct MethodSpec {
    const char* name;
    const char* doc;      // nullptr: no docstring
    const char* returns;  // annotation of the result; nullptr: none declared
    int nparams;          // the instance included
    Param params[kMaxParams];
    Impl impl;
    // Builds the tuple of defaults for the trailing parameters, or returns an
    // empty Owned when the method has none. Runs once, when the class is made.
    Owned (*defaults)(Borrowed globals);
};

// The arguments of one call after binding, plus the module namespace the
// method was defined in (its globals).
class Call {
public:
    Call(Borrowed globals, PyObject* const* slots, unsigned defaulted = 0)
        : globals_(globals), slots_(slots), defaulted_(defaulted) {}
    [[nodiscard]] Borrowed self() const { return slots_[0]; }
    [[nodiscard]] Borrowed arg(int i) const { return slots_[i]; }  // 1-based, like the parameter list
    // Whether argument `i` was passed, rather than taken from the defaults.
    [[nodiscard]] bool given(int i) const { return (defaulted_ & (1U << i)) == 0; }
    // Looks a module-level name up at the moment of use, as Python code does.
    Owned global(PyObject* name) const;

private:
    Borrowed globals_;
    PyObject* const* slots_;
    unsigned defaulted_;  // bit i: parameter i took its default
};

// globals[name], as a name lookup in that module: NameError when it is missing.
Owned lookup_global(Borrowed globals, PyObject* name);

// The compiled method behind `function` when it is the class's own function
// for method `name` (interned), else nothing.
Borrowed own_compiled(PyObject* name, PyObject* function);

// Creates the type of the compiled methods for `module`. Throws PyErrSet.
Owned create_method_type(Borrowed module);

// Makes the compiled method for `spec`, defined in class `class_name` of the
// module whose namespace is `globals`, and returns the function that stands
// for it in the class: make_door(compiled, globals, qualname, parameter names,
// defaults or None, annotations, docstring or None). Throws PyErrSet.
Owned make_method(Borrowed method_type, const MethodSpec& spec, Borrowed globals, Borrowed make_door,
                  const char* class_name);

}  // namespace stashel
