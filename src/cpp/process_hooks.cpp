// The hooks that keep pending frames safe across processes: a writer again
// for every running threaded instance in a forked child, and the pending
// frames stored when a multiprocessing child ends.
#include "process_hooks.hpp"

#include <new>

#include "names.hpp"
#include "pycall.hpp"
#include "records.hpp"
#include "writer_thread.hpp"

namespace stashel {

namespace {

const Names& n = names;

// ---------------------------------------------------------------- fork

PyObject* after_fork_in_child(PyObject* module, PyObject*) {
    try {
        Borrowed globals = PyModule_GetDict(module);
        for (const Owned& instance : writers_after_fork()) {
            PyObject* slots[] = {instance.get()};
            try {
                restart_writer(Call(globals, slots));
            } catch (PyErrSet&) {
                // One instance's trouble must not keep the others from writing.
                PyErr_WriteUnraisable(instance.get());
            }
        }
        Py_RETURN_NONE;
    } catch (PyErrSet&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef after_fork_def = {"restart_writers_after_fork", after_fork_in_child, METH_NOARGS, nullptr};

// ---------------------------------------------------------------- the end of a multiprocessing child

// multiprocessing ends its child processes with os._exit, so their exit
// hooks never run (the fork start method even clears them). What it does
// run there, with every start method, is threading._shutdown(), and with it
// the functions registered through threading._register_atexit.
bool in_multiprocessing_child() {
    Owned name = Owned::steal(PyUnicode_FromString("multiprocessing.process"));
    PyObject* process = nullptr;
    if (check(compat::dict_get_ref(PyImport_GetModuleDict(), name.get(), &process)) == 0) {
        return false;
    }
    Owned module = Owned::steal(process);
    return call_method(n.parent_process, module).get() != Py_None;
}

// In a multiprocessing child, stores what each running instance has queued,
// as its exit hook does at a normal exit. Never raises: an error would end
// the child's exit path.
PyObject* store_pending_frames_at_child_exit(PyObject*, PyObject*) {
    try {
        if (!in_multiprocessing_child()) {
            Py_RETURN_NONE;
        }
        for (const Owned& instance : recorded_instances()) {
            try {
                call_method(n._shutdown_executor, instance);
            } catch (PyErrSet&) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                    throw;
                }
                PyErr_WriteUnraisable(instance.get());
            }
        }
        Py_RETURN_NONE;
    } catch (PyErrSet&) {
        if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_WriteUnraisable(nullptr);
            Py_RETURN_NONE;
        }
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef child_exit_def = {"store_pending_frames_at_child_exit", store_pending_frames_at_child_exit, METH_NOARGS,
                              nullptr};

}  // namespace

void install_process_hooks(Borrowed module) {
    Borrowed globals = PyModule_GetDict(module.get());
    Owned after_fork = Owned::steal(PyCFunction_New(&after_fork_def, module.get()));
    Owned os = lookup_global(globals, Owned::steal(PyUnicode_FromString("os")).get());
    call_method_kw(n.register_at_fork, n.kw_after_in_child, os, after_fork);
    // An interpreter without it, or one already shutting down, goes without.
    ignoring_errors([&] {
        Owned child_exit = Owned::steal(PyCFunction_New(&child_exit_def, module.get()));
        call_method(n.register_atexit_, lookup_global(globals, n.threading), child_exit);
    });
}

}  // namespace stashel
