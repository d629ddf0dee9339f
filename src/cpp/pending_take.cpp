// The writer's side of pending frames: its take from the queue or the parked
// frames (claimed under the queue's lock, before any Python code runs), the
// refill of the queue from the parked frames as it makes room, and the
// settling of what it wrote.
#include <utility>

#include "pending.hpp"

namespace stashel {

namespace {
const Names& n = names;
}  // namespace

Taken Pending::take(const Call& c, Borrowed queue, bool wait, Holding& holding) {
    if (closed_) {
        return {};
    }
    switch (storage_of(queue)) {
        case Storage::Fifo: return take_locked(c, queue, wait, true, holding);
        case Storage::Own: return take_locked(c, queue, wait, false, holding);
        case Storage::Other: break;
    }
    // Its own get; what it returns is claimed as soon as it is back.
    try {
        return claim(wait ? call_method_kw(n.get, n.kw_timeout, queue, n.queue_wait) : call_method(n.get_nowait, queue),
                     holding);
    } catch (PyErrSet&) {
        CaughtError e = CaughtError::take();
        Handling handling(e);
        if (!is_queue_error(e, c, n.Empty)) {
            e.rethrow();
        }
        return {};
    }
}

// Queue.get(timeout=0.2) (or get(block=False)), except that the item is
// claimed before the queue's lock is released and before any Python code
// runs, and that parked frames follow the queue's: a producer or a delete
// finds each frame queued, parked or being written. An idle wait ends early
// once the stop event is set.
Taken Pending::take_locked(const Call& c, Borrowed queue, bool wait, bool fifo, Holding& holding) {
    Released released;
    const auto deadline = Clock::now() + std::chrono::milliseconds(200);
    Owned not_empty = getattr(queue, n.not_empty);
    return with_lock(not_empty, [&]() -> Taken {
        Owned deque = fifo ? getattr(queue, n.queue) : Owned();
        for (;;) {
            if (closed_) {
                return {};
            }
            if (fifo ? length(deque) > 0 : truth(call_method(n.qsize_, queue))) {
                // The deque's popleft runs no Python code; a queue's own _get may.
                Taken taken = claim(fifo ? call_method(n.popleft, deque) : call_method(n.get_, queue), holding);
                if (!fifo || refill(queue, deque, released)) {
                    // The frame is claimed: a failing notify must not lose it.
                    ignoring_errors([&] { call_method(n.notify, getattr(queue, n.not_full)); });
                }
                return taken;
            }
            if (fifo && !parked_.empty()) {
                return claim_parked(holding);
            }
            const std::chrono::duration<double> left = deadline - Clock::now();
            if (!wait || left.count() <= 0 || truth(call_method(n.is_set, getattr(c.self(), n._stop_evt)))) {
                return {};
            }
            call_method(n.wait, not_empty, Owned::steal(PyFloat_FromDouble(left.count())));
        }
    });
}

Taken Pending::claim(Owned item, Holding& holding) {
    holding.taken = Clock::now();
    auto found = queued(item.get());
    if (found == queued_.end()) {
        holding.serial = ~Serial{0};
        return {std::move(item), 0, false};
    }
    holding.serial = found->serial;
    Taken taken{std::move(item), found->serial, found->dropped};
    if (!found->dropped) {
        note_wait(*found);
    }
    writing_.push_back(std::move(*found));
    queued_.erase(found);
    return taken;
}

Taken Pending::claim_parked(Holding& holding) {
    auto oldest = parked_.begin();
    holding = {oldest->first, Clock::now()};
    parked_keys_.erase(oldest->second.key.get());
    Taken taken{Owned::ref(oldest->second.item), oldest->first, oldest->second.dropped};
    if (!oldest->second.dropped) {
        note_wait(oldest->second);
    }
    writing_.push_back(std::move(oldest->second));
    parked_.erase(oldest);
    return taken;
}

// Under the queue's lock, after the writer took the head: the oldest parked
// frames move in behind the tail while there is room (a withdrawn one is
// settled on the way, its count given back: the frame the writer holds keeps
// the count above zero). True when room is left.
bool Pending::refill(Borrowed queue, Borrowed deque, Released& released) {
    long settled = 0;
    while (!parked_.empty() && has_room(queue, deque)) {
        auto oldest = parked_.begin();
        Frame& frame = oldest->second;
        if (!frame.dropped) {
            call_method(n.append, deque, frame.item);
        }
        parked_keys_.erase(frame.key.get());
        if (!frame.dropped) {
            queued_.push_back(std::move(frame));
        } else {
            let_go(frame, released);
            --settled;
        }
        parked_.erase(oldest);
    }
    if (settled != 0) {
        add_unfinished(queue, settled);
    }
    return has_room(queue, deque);
}

void Pending::settle(const Taken& taken, Outcome outcome) {
    auto found = taken.serial != 0 ? writing_frame(taken.serial) : writing_.end();
    if (found == writing_.end()) {
        return;  // not queued by this module, or forgotten by a fork
    }
    if (!found->dropped) {
        switch (outcome) {
            case Outcome::Stored: ++counts_.stored; break;
            case Outcome::Refused: ++counts_.refused; break;
            case Outcome::Failed: ++counts_.failed; break;
        }
    }
    Released released;
    let_go(*found, released);
    writing_.erase(found);
}

}  // namespace stashel
