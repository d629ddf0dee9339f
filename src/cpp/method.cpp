#include "method.hpp"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <new>
#include <string>

#include "pycall.hpp"

namespace stashel {

namespace {

// Everything a method object owns. Kept apart from the object header so it
// can be constructed and destroyed as one C++ value inside Python's memory.
struct Fields {
    Owned globals;
    Owned name;
    Owned qualname;
    Owned module;
    Owned doc;
    Owned annotations;
    Owned defaults;   // tuple, or empty when the method has none
    Owned signature;  // built on first request
    Owned code;       // built on first request
    Owned dict;       // function attributes, as on any Python function
    Owned param_names[kMaxParams];
};

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* weakrefs;  // managed by the interpreter's weak reference machinery
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
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name, bound,
                 expected, expected == 1 ? "" : "s", given);
    throw PyErrSet{};
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
void bind_general(const MethodObject& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots,
                  int required) {
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
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
                    throw PyErrSet{};
                }
                if (index < nargs) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, key);
                    throw PyErrSet{};
                }
            }
        }
    }
    for (int i = required; i < n; ++i) {
        if (slots[i] == nullptr) {
            slots[i] = PyTuple_GET_ITEM(defaults, i - required);
        }
    }
}

// Binds a vectorcall argument list to the method's parameters, then applies
// the type rules in parameter order.
void bind(const MethodObject& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const MethodSpec& spec = *m.spec;
    const int n = spec.nparams;
    PyObject* defaults = m.f.defaults.get();
    const int required = n - (defaults ? static_cast<int>(PyTuple_GET_SIZE(defaults)) : 0);
    if (nargs == n && kwnames == nullptr) {  // the common case: every argument by position
        std::copy(args, args + n, slots);
    } else {
        bind_general(m, args, nargs, kwnames, slots, required);
    }
    for (int i = 1; i < n; ++i) {
        const Param& p = spec.params[i];
        if (!accepts(p.rule, slots[i])) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                         expected_type(p.rule)->tp_name, Py_TYPE(slots[i])->tp_name);
            throw PyErrSet{};
        }
    }
}

// The one boundary between Python callers and the operations.
PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    MethodObject* m = as_method(callable);
    try {
        if (!m->f.globals) {  // cleared by the garbage collector: a finalizer reached it
            PyErr_Format(PyExc_RuntimeError, "%s() called after the garbage collector cleared it", m->spec->name);
            throw PyErrSet{};
        }
        PyObject* slots[kMaxParams];
        bind(*m, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
        return m->spec->impl(Call(m->f.globals, slots)).release();
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

// ---------------------------------------------------------------- signature

Owned build_signature(const MethodObject& m) {
    const MethodSpec& spec = *m.spec;
    Owned inspect = Owned::steal(PyImport_ImportModule("inspect"));
    Owned parameter_type = getattr(inspect, Owned::steal(PyUnicode_FromString("Parameter")).get());
    Owned kind = getattr(parameter_type, Owned::steal(PyUnicode_FromString("POSITIONAL_OR_KEYWORD")).get());
    Owned params = Owned::steal(PyList_New(0));
    PyObject* defaults = m.f.defaults.get();
    const int required = spec.nparams - (defaults ? static_cast<int>(PyTuple_GET_SIZE(defaults)) : 0);
    for (int i = 0; i < spec.nparams; ++i) {
        Owned args = Owned::steal(PyTuple_Pack(2, m.f.param_names[i].get(), kind.get()));
        Owned kwargs = Owned::steal(PyDict_New());
        if (i >= required) {
            check(PyDict_SetItemString(kwargs.get(), "default", PyTuple_GET_ITEM(defaults, i - required)));
        }
        if (spec.params[i].annotation) {
            Owned text = Owned::steal(PyUnicode_FromString(spec.params[i].annotation));
            check(PyDict_SetItemString(kwargs.get(), "annotation", text.get()));
        }
        Owned param = Owned::steal(PyObject_Call(parameter_type.get(), args.get(), kwargs.get()));
        check(PyList_Append(params.get(), param.get()));
    }
    Owned signature_type = getattr(inspect, Owned::steal(PyUnicode_FromString("Signature")).get());
    Owned args = Owned::steal(PyTuple_Pack(1, params.get()));
    Owned kwargs = Owned::steal(PyDict_New());
    if (spec.returns) {
        Owned text = Owned::steal(PyUnicode_FromString(spec.returns));
        check(PyDict_SetItemString(kwargs.get(), "return_annotation", text.get()));
    }
    return Owned::steal(PyObject_Call(signature_type.get(), args.get(), kwargs.get()));
}

// A code object with the method's parameter names and counts, for the tools
// that read `__code__` off anything that claims to be a function (the
// coroutine checks of inspect, pydoc, mock). Its body only says where the
// real one is, should anything build a function out of it.
Owned build_code(const MethodObject& m) {
    const MethodSpec& spec = *m.spec;
    const std::string qualname = PyUnicode_AsUTF8(m.f.qualname.get());
    const std::string class_name = qualname.substr(0, qualname.rfind('.'));
    std::string params;
    for (int i = 0; i < spec.nparams; ++i) {
        params += (i ? ", " : "") + std::string(spec.params[i].name);
    }
    const std::string source = "class " + class_name + ":\n    def " + spec.name + "(" + params +
                               "):\n        raise NotImplementedError('compiled method: call " + qualname + "')\n";
    Owned filename;
    if (m.f.globals) {
        PyObject* found = nullptr;
        Owned file_key = Owned::steal(PyUnicode_FromString("__file__"));
        check(compat::dict_get_ref(m.f.globals.get(), file_key.get(), &found));
        filename = Owned::steal_or_null(found);
    }
    const char* file = filename && PyUnicode_Check(filename.get()) ? PyUnicode_AsUTF8(filename.get()) : nullptr;
    if (file == nullptr) {
        PyErr_Clear();
        file = "<compiled>";
    }
    Owned module_code = Owned::steal(Py_CompileString(source.c_str(), file, Py_file_input));
    Owned ns = Owned::steal(PyDict_New());
    check(PyDict_SetItemString(ns.get(), "__name__", m.f.module ? m.f.module.get() : Py_None));
    Owned::steal(PyEval_EvalCode(module_code.get(), ns.get(), ns.get()));
    Owned cls = Owned::steal(PyObject_GetItem(ns.get(), Owned::steal(PyUnicode_FromString(class_name.c_str())).get()));
    Owned function = getattr(cls, m.f.name.get());
    return getattr(function, Owned::steal(PyUnicode_FromString("__code__")).get());
}

// ---------------------------------------------------------------- type slots

// After the collector has cleared a method, its fields may be empty: every
// getter copes with that.
PyObject* none_if_empty(const Owned& value) { return Py_NewRef(value ? value.get() : Py_None); }

PyObject* get_name(PyObject* self, void*) { return none_if_empty(as_method(self)->f.name); }
PyObject* get_qualname(PyObject* self, void*) { return none_if_empty(as_method(self)->f.qualname); }
PyObject* get_module(PyObject* self, void*) { return none_if_empty(as_method(self)->f.module); }
PyObject* get_doc(PyObject* self, void*) { return none_if_empty(as_method(self)->f.doc); }
PyObject* get_globals(PyObject* self, void*) { return none_if_empty(as_method(self)->f.globals); }
PyObject* get_annotations(PyObject* self, void*) { return none_if_empty(as_method(self)->f.annotations); }
PyObject* get_defaults(PyObject* self, void*) { return none_if_empty(as_method(self)->f.defaults); }
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// isinstance(method, types.FunctionType) holds, as it does for mock objects
// that stand in for functions: tools such as mock's autospec only check
// signatures and bind `self` for what they recognise as functions.
PyObject* get_class(PyObject*, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(&PyFunction_Type)); }

// Built on first request. Building calls Python code, which may let another
// thread build the same value meanwhile: the first one stored is kept, so
// every caller sees one object.
template <Owned Fields::* field, Owned (*build)(const MethodObject&)>
PyObject* get_lazily(PyObject* self, void*) {
    MethodObject* m = as_method(self);
    try {
        if (!(m->f.*field)) {
            Owned built = build(*m);
            if (!(m->f.*field)) {
                m->f.*field = std::move(built);
            }
        }
        return Py_NewRef((m->f.*field).get());
    } catch (PyErrSet&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// Pickles, copies and deep-copies by reference, as functions do: the
// qualified name is looked up in the module again.
PyObject* method_reduce(PyObject* self, PyObject*) { return none_if_empty(as_method(self)->f.qualname); }

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* method_repr(PyObject* self) {
    const MethodObject* m = as_method(self);
    return PyUnicode_FromFormat("<function %s at %p>",
                                m->f.qualname ? PyUnicode_AsUTF8(m->f.qualname.get()) : m->spec->name, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    Fields& f = as_method(self)->f;
    for (Owned* field : {&f.globals, &f.name, &f.qualname, &f.module, &f.doc, &f.annotations, &f.defaults, &f.signature,
                         &f.code, &f.dict}) {
        Py_VISIT(field->get());
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int method_clear(PyObject* self) {
    Fields& f = as_method(self)->f;
    f.globals.reset();
    f.annotations.reset();
    f.defaults.reset();
    f.signature.reset();
    f.code.reset();
    f.dict.reset();
    return 0;
}

void method_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Owned type = Owned::steal_or_null(reinterpret_cast<PyObject*>(Py_TYPE(self)));  // heap types own a count
    if (as_method(self)->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    as_method(self)->f.~Fields();
    Py_TYPE(self)->tp_free(self);
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_lazily<&Fields::signature, build_signature>, nullptr, nullptr, nullptr},
    {"__code__", get_lazily<&Fields::code, build_code>, nullptr, nullptr, nullptr},
    {"__class__", get_class, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(MethodObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(MethodObject, weakrefs), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(MethodObject, f) + offsetof(Fields, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_getset, method_getset},
    {Py_tp_methods, method_methods},
    {Py_tp_members, method_members},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "kelm_sdk.redis.stashel.method",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_slots,
};

Owned text_or_empty(const char* text) { return text ? Owned::steal(PyUnicode_FromString(text)) : Owned(); }

}  // namespace

Owned lookup_global(Borrowed globals, PyObject* name) {
    PyObject* value = nullptr;
    if (check(compat::dict_get_ref(globals.get(), name, &value)) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw PyErrSet{};
    }
    return Owned::steal(value);
}

Owned Call::global(PyObject* name) const { return lookup_global(globals_, name); }

Owned create_method_type(Borrowed module) {
    return Owned::steal(PyType_FromModuleAndSpec(module.get(), &method_spec, nullptr));
}

Owned make_method(Borrowed method_type, const MethodSpec& spec, Borrowed globals, const char* class_name) {
    auto* type = reinterpret_cast<PyTypeObject*>(method_type.get());
    Owned obj = Owned::steal(type->tp_alloc(type, 0));
    MethodObject* m = as_method(obj.get());
    m->vectorcall = method_vectorcall;
    m->weakrefs = nullptr;
    m->spec = &spec;
    new (&m->f) Fields{};
    Fields& f = m->f;
    f.globals = new_ref(globals.get());
    f.name = Owned::steal(PyUnicode_InternFromString(spec.name));
    f.qualname = Owned::steal(PyUnicode_FromFormat("%s.%s", class_name, spec.name));
    PyObject* module_name = nullptr;
    check(compat::dict_get_ref(globals.get(), Owned::steal(PyUnicode_FromString("__name__")).get(), &module_name));
    f.module = Owned::steal_or_null(module_name);
    f.doc = text_or_empty(spec.doc);
    f.annotations = Owned::steal(PyDict_New());
    for (int i = 0; i < spec.nparams; ++i) {
        const Param& p = spec.params[i];
        f.param_names[i] = Owned::steal(PyUnicode_InternFromString(p.name));
        if (p.annotation) {
            Owned text = Owned::steal(PyUnicode_FromString(p.annotation));
            check(PyDict_SetItem(f.annotations.get(), f.param_names[i].get(), text.get()));
        }
    }
    if (spec.returns) {
        Owned text = Owned::steal(PyUnicode_FromString(spec.returns));
        check(PyDict_SetItemString(f.annotations.get(), "return", text.get()));
    }
    if (spec.defaults) {
        f.defaults = spec.defaults(globals);
    }
    return obj;
}

}  // namespace stashel
