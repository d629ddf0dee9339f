// Log lines written as an `except` block would write them, and the texts
// they are made of.
#pragma once

#include "names.hpp"
#include "pycall.hpp"

namespace stashel {

inline Owned none() { return new_ref(Py_None); }

template <class... Args>
Owned format(const char* pattern, const Args&... args) {
    return Owned::steal(PyUnicode_FromFormat(pattern, Borrowed(args).get()...));
}

// Writes the line built by `message` while `cause` is the exception being
// handled, as an `except` block would: an error raised by the logger gets
// `cause` as its __context__ and sees it in sys.exc_info().
template <class Message>
void log_handling(const Call& c, PyObject* level, const CaughtError& cause, Message message) {
    Handling handling(cause);
    call_method(level, c.global(names.logger), message());
}

}  // namespace stashel
