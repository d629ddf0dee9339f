// The Stashel class surface: its docstring and its methods, in class order.
#pragma once

#include <cstddef>

#include "method.hpp"

namespace stashel {

template <class T>
struct Span {
    T* first;
    std::size_t size;
    [[nodiscard]] T* begin() const { return first; }
    [[nodiscard]] T* end() const { return first + size; }
};

extern const char* const kClassDoc;

Span<const MethodSpec> client_methods();

// Registers, with os.register_at_fork, the hook that gives every running
// threaded instance a writer again in a forked child. Throws PyErrSet.
void restart_writers_after_fork(Borrowed module);

}  // namespace stashel
