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

// Registers the hooks that keep queued frames safe across processes: one
// (os.register_at_fork) gives every running threaded instance a writer again
// in a forked child, the other (threading._register_atexit) stores what is
// pending when a multiprocessing child ends. Throws PyErrSet.
void install_process_hooks(Borrowed module);

}  // namespace stashel
