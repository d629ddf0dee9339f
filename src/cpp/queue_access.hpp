// How this module reaches into a threaded instance's queue.Queue: which
// queues' internals it may touch, its lock taken and given back whatever
// happens, and how code that interrupts one of these operations on the same
// thread (a signal handler, a finalizer) can tell that it did.
#pragma once

#include <algorithm>
#include <chrono>

#include "method.hpp"
#include "names.hpp"
#include "pycall.hpp"

namespace stashel {

using Clock = std::chrono::steady_clock;

// While it lives, this thread is inside one of this module's queue
// operations and may hold the queue's lock; `active()` tells code that
// interrupts it on the same thread.
class InQueueOperation {
public:
    InQueueOperation();
    ~InQueueOperation();
    InQueueOperation(const InQueueOperation&) = delete;
    InQueueOperation& operator=(const InQueueOperation&) = delete;
    static bool active();
};

// Runs `body` while holding `lock` (a threading lock or condition), and
// releases it whatever happens.
template <class Body>
auto with_lock(Borrowed lock, Body body) {
    InQueueOperation inside;
    call_method(names.acquire, lock);
    try {
        auto result = body();
        call_method(names.release, lock);
        return result;
    } catch (PyErrSet&) {
        CaughtError error = CaughtError::take();
        call_method(names.release, lock);
        error.rethrow();
    }
}

// How this module can use a `_queue`: a plain FIFO queue.Queue, whose deque
// and counts it may change under the queue's lock, with no Python code of
// the queue's own running meanwhile (Fifo); a queue.Queue with storage of its
// own (its _get, _put, _qsize), taken from under its lock (Own); anything
// else, used through its public methods only (Other).
enum class Storage : unsigned char { Fifo, Own, Other };
Storage storage_of(Borrowed queue);

// Whether `e` is the queue module's exception `name` (Full, Empty), as the
// module namespace's `queue` names it now.
bool is_queue_error(const CaughtError& e, const Call& c, PyObject* name);

// The (data, key, ttl) tuple the writer takes.
Owned frame_item(Borrowed data, Borrowed key, Borrowed ttl);
bool same_key(Borrowed a, Borrowed b);
Py_ssize_t length(Borrowed sequence);
// unfinished_tasks += delta; call under the queue's lock.
void add_unfinished(Borrowed queue, long delta);
bool has_room(Borrowed queue, Borrowed deque);

// Wakes a writer waiting on `queue`, so that it looks at its stop event now.
void wake_writer(Borrowed queue);

// One pause of a bounded wait: the GIL is released meanwhile, and a signal
// handler that raises ends the wait with its error, as in any blocking call.
void pause_for(Clock::duration pause);

// Waits until `done()` holds, at most `limit`, in pauses of 0.05 ms doubling
// up to 5 ms (pause_for): true when it held in time.
template <class Done>
bool wait_until(Clock::duration limit, Done done) {
    const auto deadline = Clock::now() + limit;
    Clock::duration pause = std::chrono::microseconds(50);
    while (!done()) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        pause_for(std::min(pause, deadline - now));
        pause = std::min<Clock::duration>(pause * 2, std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace stashel
