// The Stashel class table: its docstring and its methods, in class order.
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

Span<const MethodSpec> class_methods();

}  // namespace stashel
