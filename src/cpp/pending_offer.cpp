// A producer's frame (Pending::offer): put in the queue, parked behind a
// full one, or replacing its key's parked frame; the drop of the queue's
// head when a newer frame of the head's key is pending; and the
// untracked path for a `_queue` that is not a queue.Queue.
#include <iterator>
#include <utility>

#include "pending.hpp"

namespace stashel {

namespace {
const Names& n = names;
}  // namespace

bool Pending::offer(const Call& c, Borrowed queue, Borrowed data, Borrowed key, Borrowed ttl, bool on_writer) {
    const Storage storage = storage_of(queue);
    if (storage == Storage::Other) {
        return offer_untracked(c, queue, data, key, ttl);
    }
    Released released;  // declared first: let go after everything below
    InQueueOperation inside;
    if (closed_) {
        return false;  // the shutdown is dropping the queue: the direct path
    }
    Owned item = frame_item(data, key, ttl);
    if (replace_parked(key, item, released)) {
        return true;
    }
    const bool fifo = storage == Storage::Fifo;
    bool accepted = false;
    if (fifo && !parked_.empty()) {
        return park(queue, item, key, 0, on_writer, accepted, released);
    }
    const Serial serial = track(item, key);  // before the item can reach the queue
    try {
        const bool result = offer_tracked(c, queue, item, key, serial, fifo, on_writer, accepted, released);
        if (!accepted) {
            take_back(serial, released);
        }
        return result;
    } catch (PyErrSet&) {
        if (!accepted) {
            take_back(serial, released);
        }
        throw;
    }
}

// The frame is tracked as `serial`; `item` is its tuple, replaced by a new
// one of the same values for the second put, as the plain path does.
bool Pending::offer_tracked(const Call& c, Borrowed queue, Owned& item, Borrowed key, Serial serial, bool fifo,
                            bool on_writer, bool& accepted, Released& released) {
    try {
        call_method(n.put_nowait, queue, item);
        accepted = true;
        return true;
    } catch (PyErrSet&) {
        CaughtError full = CaughtError::take();
        Handling handling(full);  // what follows runs while Full is being handled
        if (!is_queue_error(full, c, n.Full)) {
            full.rethrow();
        }
        if (fifo && !head_may_go(queue, key)) {
            return park(queue, item, key, serial, on_writer, accepted, released);
        }
        if (fifo) {
            drop_head(queue, key, released);
        } else {
            // A queue with storage of its own: the drop-oldest path.
            ignoring_errors([&] {
                Owned oldest = call_method(n.get_nowait, queue);
                if (auto dropped = queued(oldest.get()); dropped != queued_.end()) {
                    counts_.superseded += dropped->dropped ? 0 : 1;
                    untrack(dropped->serial, released);
                }
                released.keep(std::move(oldest));
                call_method(n.task_done, queue);
            });
        }
        Owned again = Owned::steal(PySequence_Tuple(item.get()));
        if (auto mine = queued(serial); mine != queued_.end()) {
            released.keep(std::exchange(mine->item, Owned::ref(again)));
        }
        item = std::move(again);
        try {
            call_method(n.put_nowait, queue, item);
            accepted = true;
            return true;
        } catch (PyErrSet&) {
            CaughtError failed = CaughtError::take_if(PyExc_Exception);
            if (fifo && is_queue_error(failed, c, n.Full)) {
                return park(queue, item, key, serial, on_writer, accepted, released);  // filled meanwhile
            }
            return false;
        }
    }
}

// A parked frame of `key` is replaced by the new one, which takes over its
// place in line and its count.
bool Pending::replace_parked(Borrowed key, Borrowed item, Released& released) {
    auto parked = parked_keys_.find(key.get());
    if (parked == parked_keys_.end()) {
        return false;
    }
    Frame& frame = parked_.at(parked->second);
    counts_.superseded += frame.dropped ? 0 : 1;
    ++counts_.accepted;
    released.keep(std::exchange(frame.item, Owned::ref(item)));
    frame.order = ++last_order_;
    frame.accepted = Clock::now();
    frame.dropped = false;
    return true;
}

// Whether the queue's head may make room: dropped, or followed by a newer
// frame of its key (pending, or the one coming in). A guess made without the
// lock: what the drop actually takes is decided on again.
bool Pending::head_may_go(Borrowed queue, Borrowed incoming_key) const {
    Owned deque = getattr(queue, n.queue);
    if (length(deque) == 0) {
        return true;  // the writer has just made room
    }
    Owned head = Owned::steal(PySequence_GetItem(deque.get(), 0));
    auto found = queued(head.get());
    if (found == queued_.end()) {
        return false;  // a caller's own item
    }
    return found->dropped || same_key(found->key, incoming_key) || newer_pending(*found);
}

// The drop-oldest path: get_nowait, then task_done for a frame that goes.
void Pending::drop_head(Borrowed queue, Borrowed incoming_key, Released& released) {
    Owned head;
    try {
        head = call_method(n.get_nowait, queue);
    } catch (PyErrSet&) {
        CaughtError::take_if(PyExc_Exception);  // empty: the writer took it
        return;
    }
    const bool dropped = settle_dropped(head, incoming_key, released);
    released.keep(std::move(head));
    if (dropped) {
        ignoring_errors([&] { call_method(n.task_done, queue); });
    }
}

// What get_nowait took out is decided on now, before any Python code runs: a
// superseded or withdrawn frame goes; any other (the writer took the head
// meanwhile, so this one was next in line) waits at the front of the parked
// frames and keeps its count. False when it stays.
bool Pending::settle_dropped(Borrowed item, Borrowed incoming_key, Released& released) {
    auto found = queued(item.get());
    if (found == queued_.end()) {
        return true;  // a caller's own item: the drop-oldest path drops it
    }
    if (found->dropped || same_key(found->key, incoming_key) || newer_pending(*found)) {
        counts_.superseded += found->dropped ? 0 : 1;
        untrack(found->serial, released);
        return true;
    }
    to_parked(found);
    return false;
}

// Past the cap, waits for the writer to take a parked frame: at most 0.5 s,
// and not at all on the writer itself or while the interpreter finalizes.
bool Pending::wait_below_cap(bool on_writer) {
    if (parked_.size() < kCap) {
        return true;
    }
    if (on_writer || compat::is_finalizing()) {
        return false;
    }
    return wait_until(std::chrono::milliseconds(500), [&] { return parked_.size() < kCap; });
}

// A newer frame of `key` is parked, or written on the caller's thread: the
// key's frames still queued are superseded by it (and would land after one
// written on the caller's thread).
void Pending::supersede_queued(Borrowed key) {
    for (Frame& frame : queued_) {
        if (!frame.dropped && same_key(frame.key, key)) {
            frame.dropped = true;
            ++counts_.superseded;
        }
    }
}

// Parks the frame behind the others, under the queue's lock, since it takes
// a count of unfinished_tasks. A frame tracked as `serial` is taken back
// first and tracked anew once parked: it is not pending while it waits for
// room.
bool Pending::park(Borrowed queue, Borrowed item, Borrowed key, Serial serial, bool on_writer, bool& accepted,
                   Released& released) {
    take_back(serial, released);
    if (!wait_below_cap(on_writer)) {
        supersede_queued(key);  // written on the caller's thread instead
        return false;
    }
    Owned mutex = getattr(queue, n.mutex);
    return with_lock(mutex, [&] {
        // Decided again: other threads ran while the lock was awaited.
        if (closed_) {
            return false;
        }
        accepted = true;
        if (replace_parked(key, item, released)) {
            return true;
        }
        Owned deque = getattr(queue, n.queue);
        const bool writer_may_wait = length(deque) == 0;
        add_unfinished(queue, 1);
        track(item, key);
        to_parked(std::prev(queued_.end()));
        supersede_queued(key);
        if (writer_may_wait) {
            // The frame is accepted; at worst the writer finds it when its wait runs out.
            ignoring_errors([&] { call_method(n.notify, getattr(queue, n.not_empty)); });
        }
        return true;
    });
}

bool offer_untracked(const Call& c, Borrowed queue, Borrowed data, Borrowed key, Borrowed ttl) {
    InQueueOperation inside;
    try {
        call_method(n.put_nowait, queue, frame_item(data, key, ttl));
        return true;
    } catch (PyErrSet&) {
        CaughtError full = CaughtError::take();
        Handling handling(full);
        if (!is_queue_error(full, c, n.Full)) {
            full.rethrow();
        }
        ignoring_errors([&] {
            call_method(n.get_nowait, queue);
            call_method(n.task_done, queue);
        });
        try {
            call_method(n.put_nowait, queue, frame_item(data, key, ttl));
            return true;
        } catch (PyErrSet&) {
            CaughtError::take_if(PyExc_Exception);
            return false;
        }
    }
}

}  // namespace stashel
