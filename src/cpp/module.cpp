// Module load: binds the collaborators into the module namespace, creates the
// logger, and builds the Stashel class.
#include <atomic>
#include <new>

#include "class_table.hpp"
#include "counts.hpp"
#include "names.hpp"
#include "process_hooks.hpp"
#include "pycall.hpp"

namespace stashel {

namespace {

constexpr const char* kModuleName = "kelm_sdk.redis.stashel";

// The namespace can only be initialised once per process. Claimed before the
// load runs (its imports may let another thread start a second load) and
// given back if the load fails.
std::atomic<bool> g_initialised{false};

struct ModuleState {
    Owned method_type;
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

void bind(Borrowed globals, const char* name, Borrowed value) {
    check(PyDict_SetItemString(globals.get(), name, value.get()));
}

Owned import(const char* name) { return Owned::steal(PyImport_ImportModule(name)); }

Owned attribute(Borrowed obj, const char* name) { return Owned::steal(PyObject_GetAttrString(obj.get(), name)); }

Owned build_class(Borrowed method_type, Borrowed globals) {
    Owned ns = Owned::steal(PyDict_New());
    bind(ns, "__module__", Owned::steal(PyUnicode_FromString(kModuleName)));
    bind(ns, "__qualname__", Owned::steal(PyUnicode_FromString("Stashel")));
    bind(ns, "__doc__", Owned::steal(PyUnicode_FromString(kClassDoc)));
    Owned make_door = attribute(import("kelm_sdk.redis._door"), "make");
    for (const MethodSpec& spec : class_methods()) {
        bind(ns, spec.name, make_method(method_type, spec, globals, make_door, "Stashel"));
    }
    return Owned::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "Stashel", ns.get()));
}

void load(PyObject* module) {
    intern_names();
    Borrowed globals = PyModule_GetDict(module);
    for (const char* name : {"orjson", "os", "threading", "atexit", "queue"}) {
        bind(globals, name, import(name));
    }
    Owned typing = import("typing");
    for (const char* name : {"Any", "Optional", "Union"}) {
        bind(globals, name, attribute(typing, name));
    }
    bind(globals, "redis", import("redis"));
    bind(globals, "ThreadPoolExecutor", attribute(import("concurrent.futures"), "ThreadPoolExecutor"));
    Owned get_logger = attribute(import("kelm_sdk.logging.logger"), "get_logger");
    bind(globals, "get_logger", get_logger);
    bind(globals, "logger", call_kw(get_logger, nullptr, Owned::steal(PyUnicode_FromString("REDIS"))));

    ModuleState* state = state_of(module);
    new (state) ModuleState{};
    state->method_type = create_method_type(module);
    bind(globals, "Stashel", build_class(state->method_type, globals));
    install_process_hooks(module);
    hand_over_counts(module);
    // A writer's first connection resolves its host through the idna codec,
    // which the socket layer imports on first use. A fork while the writer
    // held that import's lock would leave the child a lock nobody releases,
    // so it is imported here, before any writer runs.
    import("encodings.idna");
}

int exec_module(PyObject* module) {
    // The interned names and the load-once flag are process-wide. The slot
    // below turns isolated interpreters away (3.12+); this covers the others.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError, "module %s does not support loading in subinterpreters", kModuleName);
        return -1;
    }
    if (g_initialised.exchange(true)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'stashel' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    try {
        load(module);
        return 0;
    } catch (PyErrSet&) {
        // The error indicator already says why.
        g_initialised = false;
        return -1;
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
        g_initialised = false;
        return -1;
    }
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    if (ModuleState* state = state_of(module)) {
        Py_VISIT(state->method_type.get());
    }
    return 0;
}

int clear_module(PyObject* module) {
    if (ModuleState* state = state_of(module)) {
        state->method_type.reset();
    }
    return 0;
}

void free_module(void* module) {
    if (ModuleState* state = state_of(static_cast<PyObject*>(module))) {
        state->~ModuleState();
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

// clang-format off: one field per line
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "Redis storage client shared by cooperating containers.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};
// clang-format on

}  // namespace

}  // namespace stashel

PyMODINIT_FUNC PyInit_stashel() { return PyModuleDef_Init(&stashel::module_def); }
