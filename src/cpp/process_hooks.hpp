// The process hooks of threaded instances.
#pragma once

#include "pyref.hpp"

namespace stashel {

// Registers the hooks that keep queued frames safe across processes: one
// (os.register_at_fork) gives every running threaded instance a writer again
// in a forked child, the other (threading._register_atexit) stores what is
// pending when a multiprocessing child ends. Throws PyErrSet.
void install_process_hooks(Borrowed module);

}  // namespace stashel
