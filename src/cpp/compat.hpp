// The C API calls whose best form depends on the interpreter version, in one
// place, so that the rest of the code reads the same on CPython 3.10 to 3.15.
// Each function keeps the contract of the newest form it stands for.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace stashel::compat {

// True when this thread's own thread state is the attached one, i.e. this
// thread may touch Python objects. Never trusts PyGILState_Check(), which
// answers 1 for every thread once a subinterpreter has existed or once
// finalization has deleted its thread-state key.
inline bool this_thread_is_attached() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;  // per-thread since 3.12
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    // Before 3.12 the "current" thread state is process-wide: whichever
    // thread holds the GIL. It is ours only if it is this thread's own.
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && current == PyGILState_GetThisThreadState();
#endif
}

inline bool is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Takes the pending error out of the indicator: a new reference to the
// exception instance (with its traceback), or NULL when none is pending.
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Makes `exception` (stolen, not NULL) the pending error again.
inline void restore_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

// The exception being handled (what sys.exc_info() reports), as a new
// reference; NULL or None when there is none.
inline PyObject* handled_exception() {
#if PY_VERSION_HEX >= 0x030B0000
    return PyErr_GetHandledException();
#else
    PyObject *type, *value, *traceback;
    PyErr_GetExcInfo(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Sets the exception being handled; `exception` is borrowed and may be NULL.
inline void set_handled_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(exception);
#else
    if (exception == nullptr || exception == Py_None) {
        PyErr_SetExcInfo(nullptr, nullptr, nullptr);
    } else {
        PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), Py_NewRef(exception),
                         PyException_GetTraceback(exception));
    }
#endif
}

// dict[key] as a new reference: 1 found, 0 missing (result NULL), -1 error.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject* item = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(item);
    if (item != nullptr) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// The object a weak reference points to, as a new reference; NULL (with no
// error set) when it is gone.
inline PyObject* weakref_target(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    PyWeakref_GetRef(ref, &target);
    return target;
#else
    PyObject* target = PyWeakref_GetObject(ref);
    return target == Py_None ? nullptr : Py_XNewRef(target);
#endif
}

}  // namespace stashel::compat
