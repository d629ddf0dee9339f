// Reference ownership and error signalling shared by every translation unit.
//
// Owned holds one strong reference and releases it exactly once; Borrowed is a
// plain view that never touches the count. A Python error travels through C++
// frames as PyErrSet ("the Python error indicator is set") and is turned back
// into a NULL return at the one boundary of each entry point.
#pragma once

#include <utility>
#include <vector>

#include "compat.hpp"

namespace stashel {

// Thrown whenever the Python error indicator is set: by a C API call that
// failed (the default constructor), or by the thrower, who names the error
// (`throw PyErrSet(PyExc_ValueError, "got %R", value)`, PyErr_Format's rules).
struct PyErrSet {
    PyErrSet() = default;
    template <class... Args>
    PyErrSet(PyObject* type, const char* format, Args... args) {
        if constexpr (sizeof...(Args) == 0) {
            PyErr_SetString(type, format);
        } else {
            PyErr_Format(type, format, args...);
        }
    }
};

// Daemon threads are ended at interpreter exit by a forced unwind that starts
// while the thread is not attached to the interpreter. Destructors still run
// on that path, so code that releases a reference or restores interpreter
// state checks this first; what it cannot release is left to the dying
// process. Outside finalization every thread running this code is attached,
// which keeps the common path to one cheap check.
inline bool may_touch_python() {
#if PY_VERSION_HEX >= 0x030C0000
    return compat::this_thread_is_attached();
#else
    return !compat::is_finalizing() || compat::this_thread_is_attached();
#endif
}

class Borrowed {
public:
    Borrowed() = default;
    Borrowed(PyObject* p) : ptr_(p) {}  // NOLINT: implicit by design
    [[nodiscard]] PyObject* get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

class Owned {
public:
    Owned() = default;
    // Not noexcept, and neither is any destructor that may release an Owned
    // (they say "see Owned"): releasing a reference can run Python code that
    // re-takes the GIL, and at exit the interpreter ends a daemon thread by
    // unwinding it from inside that re-take. A noexcept frame on that path
    // would turn the unwind into std::terminate.
    ~Owned() noexcept(false) { reset(); }  // NOLINT(bugprone-unsafe-to-allow-exceptions): see above
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : ptr_(other.release()) {}
    // Not noexcept either: it releases the reference held before, as above.
    Owned& operator=(Owned&& other) {  // NOLINT(performance-noexcept-move-constructor)
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

    [[nodiscard]] PyObject* get() const { return ptr_; }
    [[nodiscard]] Borrowed borrow() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    operator Borrowed() const { return ptr_; }  // NOLINT: implicit by design

    PyObject* release() { return std::exchange(ptr_, nullptr); }
    void reset() {
        PyObject* old = std::exchange(ptr_, nullptr);
        if (old != nullptr && may_touch_python()) {
            Py_DECREF(old);
        }
    }

private:
    PyObject* ptr_ = nullptr;
};

// References (or records holding them) let go only once a container is
// consistent again and no lock of this module's is held: letting go of a
// caller's object can run any Python code, which may look at that container
// or wait for that lock. Declared before what it guards, so it goes last.
template <class Ref>
class ReleaseLater {
public:
    ReleaseLater() = default;
    ~ReleaseLater() noexcept(false) {  // NOLINT(bugprone-unsafe-to-allow-exceptions): see Owned
        while (!refs_.empty()) {
            Ref last = std::move(refs_.back());
            refs_.pop_back();
        }
    }
    ReleaseLater(const ReleaseLater&) = delete;
    ReleaseLater& operator=(const ReleaseLater&) = delete;
    void keep(Ref ref) { refs_.push_back(std::move(ref)); }

private:
    std::vector<Ref> refs_;
};

using Released = ReleaseLater<Owned>;

// Raises PyErrSet when a C API call reported failure with -1.
template <class Status>
Status check(Status status) {
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
        CaughtError e;
        e.value_ = Owned::steal_or_null(compat::take_raised_exception());
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

    [[nodiscard]] Borrowed value() const { return value_; }
    bool matches(PyObject* family) const { return PyErr_GivenExceptionMatches(value_.get(), family) != 0; }

    // Puts the error back as the pending one and throws.
    [[noreturn]] void rethrow() {
        PyObject* value = value_.release();
        if (value == nullptr) {
            PyErr_SetString(PyExc_SystemError, "stashel: error lost before it could be re-raised");
            throw PyErrSet{};
        }
        compat::restore_raised_exception(value);
        throw PyErrSet{};
    }

private:
    Owned value_;
};

// Ignores an error of the Exception family; anything else keeps travelling.
template <class Body>
void ignoring_errors(Body body) {
    try {
        body();
    } catch (PyErrSet&) {
        CaughtError::take_if(PyExc_Exception);
    }
}

// While it lives, `error` is the exception being handled, as inside an
// `except` block: sys.exc_info() reports it, and an error raised meanwhile
// gets it as its __context__.
class Handling {
public:
    explicit Handling(const CaughtError& error) : previous_(Owned::steal_or_null(compat::handled_exception())) {
        compat::set_handled_exception(error.value().get());
    }
    // Not noexcept: see Owned (restoring the handled exception releases a reference).
    ~Handling() noexcept(false) {  // NOLINT(bugprone-unsafe-to-allow-exceptions)
        if (may_touch_python()) {
            compat::set_handled_exception(previous_.get());
        }
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Owned previous_;
};

}  // namespace stashel
