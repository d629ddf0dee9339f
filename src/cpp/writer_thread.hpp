// The background writer's life: its start, its loop, the shutdown, and its
// restart in a forked child.
#pragma once

#include "method.hpp"

namespace stashel {

// A queue of `bound` pending frames and a started writer thread.
void start_writer(const Call& c, Borrowed bound);

// `_shutdown_executor`: stops the writer (it stores what is pending first,
// within the join's wait) and switches the instance to direct mode.
Owned shutdown(const Call& c);

// `_worker_loop`: the writer thread's body.
Owned worker_loop(const Call& c);

// In a forked child: what construction gives a running instance, again.
void restart_writer(const Call& c);

}  // namespace stashel
