#include "method.hpp"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <new>
#include <vector>

#include "pycall.hpp"

namespace stashel {

namespace {

// Everything a compiled method owns. Kept apart from the object header so it
// can be constructed and destroyed as one C++ value inside Python's memory.
struct Fields {
    Owned globals;
    Owned defaults;  // tuple, or empty when the method has none
    Owned param_names[kMaxParams];
};

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    Fields f;
};

MethodObject* as_method(PyObject* obj) { return reinterpret_cast<MethodObject*>(obj); }

// ---------------------------------------------------------------- binding

[[noreturn]] void raise_count(const MethodSpec& spec, int required, Py_ssize_t given) {
    const bool exact = required == spec.nparams;
    Py_ssize_t expected;
    const char* bound;
    if (given < required) {
        expected = required;
        bound = "at least";
    } else {
        expected = spec.nparams;
        bound = "at most";
    }
    if (exact) {
        bound = "exactly";
    }
    throw PyErrSet(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name, bound,
                   expected, expected == 1 ? "" : "s", given);
}

bool same_name(PyObject* a, PyObject* b) { return a == b || PyUnicode_Compare(a, b) == 0; }

// Index of the keyword among `kwnames`, or -1.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == name) {
            return k;
        }
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (same_name(PyTuple_GET_ITEM(kwnames, k), name)) {
            return k;
        }
    }
    return -1;
}

PyTypeObject* expected_type(Rule rule) {
    switch (rule) {
        case Rule::Str: return &PyUnicode_Type;
        case Rule::Int:
        case Rule::OptInt: return &PyLong_Type;
        case Rule::Dict:
        case Rule::OptDict: return &PyDict_Type;
        case Rule::List: return &PyList_Type;
        case Rule::Any: break;
    }
    return nullptr;
}

bool accepts(Rule rule, PyObject* value) {
    if (rule == Rule::Any) {
        return true;
    }
    if (value == Py_None && (rule == Rule::OptInt || rule == Rule::OptDict)) {
        return true;
    }
    return Py_IS_TYPE(value, expected_type(rule));
}

// Binds arguments given by keyword, missing or in excess, filling `slots`
// with borrowed references (the caller's arguments or the defaults). Mirrors
// the rules and messages of a compiled function whose parameters are all
// positional-or-keyword.
unsigned bind_general(const MethodObject& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject** slots, int required) {
    const MethodSpec& spec = *m.spec;
    const int n = spec.nparams;
    PyObject* defaults = m.f.defaults.get();

    if (nargs > n) {
        raise_count(spec, required, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    for (int i = static_cast<int>(nargs); i < n; ++i) {
        slots[i] = nullptr;
    }

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < required) {
            raise_count(spec, required, nargs);
        }
    } else {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t unused = nkw;
        for (int i = static_cast<int>(nargs); i < n; ++i) {
            const Py_ssize_t k = find_keyword(kwnames, m.f.param_names[i].get());
            if (k >= 0) {
                slots[i] = kwvalues[k];
                --unused;
            } else if (i < required) {
                raise_count(spec, required, i);
            }
        }
        if (unused > 0) {
            // Some keyword matched no open parameter: report the first one.
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                int index = -1;
                for (int i = 0; i < n && index < 0; ++i) {
                    if (same_name(key, m.f.param_names[i].get())) {
                        index = i;
                    }
                }
                if (index < 0) {
                    throw PyErrSet(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
                }
                if (index < nargs) {
                    throw PyErrSet(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name,
                                   key);
                }
            }
        }
    }
    unsigned defaulted = 0;
    for (int i = required; i < n; ++i) {
        if (slots[i] == nullptr) {
            slots[i] = PyTuple_GET_ITEM(defaults, i - required);
            defaulted |= 1U << i;
        }
    }
    return defaulted;
}

// Binds a vectorcall argument list to the method's parameters, then applies
// the type rules in parameter order. Returns which parameters took their
// defaults (bit i for parameter i).
unsigned bind(const MethodObject& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const MethodSpec& spec = *m.spec;
    const int n = spec.nparams;
    PyObject* defaults = m.f.defaults.get();
    const int required = n - (defaults ? static_cast<int>(PyTuple_GET_SIZE(defaults)) : 0);
    unsigned defaulted = 0;
    if (nargs == n && kwnames == nullptr) {  // the common case: every argument by position
        std::copy(args, args + n, slots);
    } else {
        defaulted = bind_general(m, args, nargs, kwnames, slots, required);
    }
    for (int i = 1; i < n; ++i) {
        const Param& p = spec.params[i];
        if (!accepts(p.rule, slots[i])) {
            throw PyErrSet(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                           p.name, expected_type(p.rule)->tp_name, Py_TYPE(slots[i])->tp_name);
        }
    }
    return defaulted;
}

// The one boundary between Python callers and the operations.
PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    MethodObject* m = as_method(callable);
    try {
        if (!m->f.globals) {  // cleared by the garbage collector: a finalizer reached it
            throw PyErrSet(PyExc_RuntimeError, "%s() called after the garbage collector cleared it", m->spec->name);
        }
        PyObject* slots[kMaxParams];
        const unsigned defaulted = bind(*m, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
        return m->spec->impl(Call(m->f.globals, slots, defaulted)).release();
    } catch (PyErrSet&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_Format(PyExc_SystemError, "stashel: unexpected C++ exception: %s", e.what());
        return nullptr;
    }
    // Deliberately no catch-all: a daemon thread ended at interpreter exit is
    // unwound by the runtime (abi::__forced_unwind), and that unwind must pass
    // through untouched. There is no exception object behind it to bind to.
}

// ---------------------------------------------------------------- type slots

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<compiled method %s at %p>", as_method(self)->spec->name, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    Fields& f = as_method(self)->f;
    Py_VISIT(f.globals.get());
    Py_VISIT(f.defaults.get());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int method_clear(PyObject* self) {
    Fields& f = as_method(self)->f;
    f.globals.reset();
    f.defaults.reset();
    return 0;
}

void method_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Owned type = Owned::steal_or_null(reinterpret_cast<PyObject*>(Py_TYPE(self)));  // heap types own a count
    as_method(self)->f.~Fields();
    Py_TYPE(self)->tp_free(self);
}

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(MethodObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_members, method_members},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "kelm_sdk.redis.stashel.compiled_method",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_slots,
};

// The class's own function for each method and its compiled method, by
// method name. Process-wide and never destroyed, like the interned names.
struct OwnMethod {
    PyObject* name;
    PyObject* function;
    PyObject* compiled;
};

std::vector<OwnMethod>& own_methods() {
    static auto* all = new std::vector<OwnMethod>();
    return *all;
}

void remember_own(Owned name, Borrowed function, Borrowed compiled) {
    auto& all = own_methods();
    auto same = std::find_if(all.begin(), all.end(), [&](const OwnMethod& m) { return m.name == name.get(); });
    OwnMethod fresh{name.release(), new_ref(function.get()).release(), new_ref(compiled.get()).release()};
    if (same == all.end()) {
        all.push_back(fresh);
    } else {
        *same = fresh;  // a load that failed made the earlier one: its references are left to the process
    }
}

Owned text_or_none(const char* text) { return text ? Owned::steal(PyUnicode_FromString(text)) : new_ref(Py_None); }

}  // namespace

Owned lookup_global(Borrowed globals, PyObject* name) {
    PyObject* value = nullptr;
    if (check(compat::dict_get_ref(globals.get(), name, &value)) == 0) {
        throw PyErrSet(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Owned::steal(value);
}

Owned Call::global(PyObject* name) const { return lookup_global(globals_, name); }

Borrowed own_compiled(PyObject* name, PyObject* function) {
    for (const OwnMethod& m : own_methods()) {
        if (m.name == name) {
            return m.function == function ? m.compiled : nullptr;
        }
    }
    return {};
}

Owned create_method_type(Borrowed module) {
    return Owned::steal(PyType_FromModuleAndSpec(module.get(), &method_spec, nullptr));
}

Owned make_method(Borrowed method_type, const MethodSpec& spec, Borrowed globals, Borrowed make_door,
                  const char* class_name) {
    auto* type = reinterpret_cast<PyTypeObject*>(method_type.get());
    Owned obj = Owned::steal(type->tp_alloc(type, 0));
    MethodObject* m = as_method(obj.get());
    m->vectorcall = method_vectorcall;
    m->spec = &spec;
    new (&m->f) Fields{};
    Fields& f = m->f;
    f.globals = new_ref(globals.get());
    Owned params = Owned::steal(PyTuple_New(spec.nparams));
    Owned annotations = Owned::steal(PyDict_New());
    for (int i = 0; i < spec.nparams; ++i) {
        const Param& p = spec.params[i];
        f.param_names[i] = Owned::steal(PyUnicode_InternFromString(p.name));
        PyTuple_SET_ITEM(params.get(), i, new_ref(f.param_names[i].get()).release());
        if (p.annotation) {
            Owned text = Owned::steal(PyUnicode_FromString(p.annotation));
            check(PyDict_SetItem(annotations.get(), f.param_names[i].get(), text.get()));
        }
    }
    if (spec.returns) {
        Owned text = Owned::steal(PyUnicode_FromString(spec.returns));
        check(PyDict_SetItemString(annotations.get(), "return", text.get()));
    }
    if (spec.defaults) {
        f.defaults = spec.defaults(globals);
    }
    Owned qualname = Owned::steal(PyUnicode_FromFormat("%s.%s", class_name, spec.name));
    Owned defaults = f.defaults ? new_ref(f.defaults.get()) : new_ref(Py_None);
    Owned function = Owned::steal(
        PyObject_CallFunctionObjArgs(make_door.get(), obj.get(), globals.get(), qualname.get(), params.get(),
                                     defaults.get(), annotations.get(), text_or_none(spec.doc).get(), nullptr));
    remember_own(Owned::steal(PyUnicode_InternFromString(spec.name)), function, obj);
    return function;
}

}  // namespace stashel
