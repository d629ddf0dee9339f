// The operations of Stashel, each the compiled body of one method of the
// class table (class_table.cpp).
#pragma once

#include <optional>

#include "pending.hpp"

namespace stashel {

Owned init(const Call& c);
// __init__'s defaults, made when the class is made (REDIS_HOST and the
// connection settings are read then).
Owned init_defaults(Borrowed globals);

Owned write_step(const Call& c);  // _write_
Owned write_kelm_data(const Call& c);
Owned write_data(const Call& c);
Owned read_data(const Call& c);
Owned read_kelm_data(const Call& c);
Owned delete_data(const Call& c);
Owned delete_many(const Call& c);
Owned scan_keys(const Call& c);

// How this thread's last call of the class's own write step ended, and
// forgotten: empty when none ran since (`_write_` was replaced).
std::optional<Outcome> take_last_write_step();

}  // namespace stashel
