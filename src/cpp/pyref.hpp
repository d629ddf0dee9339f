// Reference ownership and error signalling shared by every translation unit.
//
// Owned holds one strong reference and releases it exactly once; Borrowed is a
// plain view that never touches the count. A Python error travels through C++
// frames as PyErrSet ("the Python error indicator is set") and is turned back
// into a NULL return at the one boundary of each entry point.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace stashel {

// Thrown whenever a C API call failed and left the error indicator set.
struct PyErrSet {};

// Daemon threads are ended at interpreter exit by a forced unwind that starts
// while the thread does not hold the GIL. Destructors still run on that path,
// so a reference may only be released when this thread really owns the GIL;
// otherwise it is left to the dying process.
inline bool may_release_reference() {
#if PY_VERSION_HEX >= 0x030D0000
    const bool finalizing = Py_IsFinalizing();
#else
    const bool finalizing = _Py_IsFinalizing();
#endif
    return !finalizing || PyGILState_Check();
}

class Borrowed {
public:
    Borrowed() = default;
    Borrowed(PyObject* p) : ptr_(p) {}  // NOLINT: implicit by design
    PyObject* get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

class Owned {
public:
    Owned() = default;
    // Not noexcept: releasing a reference can run Python code that re-takes
    // the GIL, and a daemon thread may be unwound from inside that at exit.
    ~Owned() noexcept(false) { reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) : ptr_(other.release()) {}
    Owned& operator=(Owned&& other) {
        if (this != &other) {
            reset();
            ptr_ = other.release();
        }
        return *this;
    }

    // Takes over a new reference; a NULL means the call that produced it failed.
    static Owned steal(PyObject* p) {
        if (p == nullptr) {
            throw PyErrSet{};
        }
        Owned o;
        o.ptr_ = p;
        return o;
    }
    // Takes over a new reference that may legitimately be NULL.
    static Owned steal_or_null(PyObject* p) {
        Owned o;
        o.ptr_ = p;
        return o;
    }
    static Owned ref(Borrowed b) {
        Py_XINCREF(b.get());
        return steal_or_null(b.get());
    }

    PyObject* get() const { return ptr_; }
    Borrowed borrow() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    operator Borrowed() const { return ptr_; }  // NOLINT: implicit by design

    PyObject* release() { return std::exchange(ptr_, nullptr); }
    void reset() {
        PyObject* old = std::exchange(ptr_, nullptr);
        if (old != nullptr && may_release_reference()) {
            Py_DECREF(old);
        }
    }

private:
    PyObject* ptr_ = nullptr;
};

// Raises PyErrSet when a C API call reported failure with -1.
inline int check(int status) {
    if (status < 0) {
        throw PyErrSet{};
    }
    return status;
}

// A Python error taken out of the indicator, so that C++ code can inspect it,
// log it, call back into Python meanwhile, or put it back.
class CaughtError {
public:
    // Takes whatever error is pending.
    static CaughtError take() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        Owned t = Owned::steal_or_null(type), tb = Owned::steal_or_null(traceback);
        CaughtError e;
        e.value_ = Owned::steal_or_null(value);
        if (e.value_ && tb) {
            PyException_SetTraceback(e.value_.get(), tb.get());
        }
        return e;
    }
    // Takes the pending error if it belongs to `family`; otherwise leaves it
    // pending and throws, so it keeps travelling to the caller.
    static CaughtError take_if(PyObject* family) {
        if (!PyErr_ExceptionMatches(family)) {
            throw PyErrSet{};
        }
        return take();
    }

    Borrowed value() const { return value_; }
    bool matches(PyObject* family) const { return PyErr_GivenExceptionMatches(value_.get(), family) != 0; }

    // Puts the error back as the pending one and throws.
    [[noreturn]] void rethrow() {
        PyObject* value = value_.release();
        if (value == nullptr) {
            PyErr_SetString(PyExc_SystemError, "stashel: error lost before it could be re-raised");
            throw PyErrSet{};
        }
        PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
        throw PyErrSet{};
    }

private:
    Owned value_;
};

}  // namespace stashel
