#include "pending.hpp"

#include <algorithm>
#include <thread>
#include <utility>

#include "names.hpp"
#include "pycall.hpp"

namespace stashel {

namespace {

const Names& n = names;

thread_local int queue_operations = 0;

// Runs `body` while holding `lock` (a threading lock or condition), and
// releases it whatever happens.
template <class Body>
auto with_lock(Borrowed lock, Body body) {
    InQueueOperation inside;
    call_method(n.acquire, lock);
    try {
        auto result = body();
        call_method(n.release, lock);
        return result;
    } catch (PyErrSet&) {
        CaughtError error = CaughtError::take();
        call_method(n.release, lock);
        error.rethrow();
    }
}

Owned queue_module(const Call& c) { return c.global(n.queue); }

bool is_error(const CaughtError& e, const Call& c, PyObject* name) {
    return e.matches(getattr(queue_module(c), name).get());
}

// How this module can use a `_queue`: a plain FIFO queue.Queue, whose deque
// and counts it may change under the queue's lock, with no Python code of
// the queue's own running meanwhile (Fifo); a queue.Queue with storage of its
// own (its _get, _put, _qsize), taken from under its lock (Own); anything
// else, used through its public methods only (Other).
enum class Storage : unsigned char { Fifo, Own, Other };

// The class is queue.Queue itself, not the module binding's: only its
// internals are known here.
Storage storage_of(Borrowed queue) {
    PyObject* queue_type = n.queue_class;
    PyTypeObject* type = Py_TYPE(queue.get());
    if (reinterpret_cast<PyObject*>(type) == queue_type) {
        return Storage::Fifo;  // the queue construction makes
    }
    if (queue.get() == Py_None || check(PyObject_IsInstance(queue.get(), queue_type)) == 0) {
        return Storage::Other;
    }
    auto inherited = [&](PyObject* name) {
        return getattr(reinterpret_cast<PyObject*>(type), name).get() == getattr(queue_type, name).get();
    };
    if (!inherited(n.get)) {
        return Storage::Other;
    }
    const bool plain = inherited(n.get_) && inherited(n.qsize_) && inherited(n.put_) &&
                       type->tp_getattro == PyObject_GenericGetAttr && type->tp_setattro == PyObject_GenericSetAttr;
    return plain ? Storage::Fifo : Storage::Own;
}

Owned frame_item(Borrowed data, Borrowed key, Borrowed ttl) {
    return Owned::steal(PyTuple_Pack(3, data.get(), key.get(), ttl.get()));
}

bool same_key(Borrowed a, Borrowed b) { return a && b && PyUnicode_Compare(a.get(), b.get()) == 0; }

Py_ssize_t length(Borrowed sequence) { return check(PyObject_Length(sequence.get())); }

// unfinished_tasks += delta, under the queue's lock.
void add_unfinished(Borrowed queue, long delta) {
    Owned count = Owned::steal(PyLong_FromLong(delta));
    setattr(queue, n.unfinished_tasks,
            Owned::steal(PyNumber_Add(getattr(queue, n.unfinished_tasks).get(), count.get())));
}

bool has_room(Borrowed queue, Borrowed deque) {
    const Py_ssize_t bound = check(PyLong_AsSsize_t(getattr(queue, n.maxsize).get()));
    return bound <= 0 || length(deque) < bound;
}

}  // namespace

Released::~Released() noexcept(false) {  // NOLINT(bugprone-unsafe-to-allow-exceptions): see the header
    while (!refs_.empty()) {
        Owned last = std::move(refs_.back());
        refs_.pop_back();
    }
}

// ---------------------------------------------------------------- bookkeeping

// Counted as accepted from the moment it can reach the queue; taken back if
// the call does not accept it after all.
Serial Pending::track(Borrowed item, Borrowed key) {
    ++counts_.accepted;
    Frame& frame = queued_.emplace_back();
    frame.serial = ++last_serial_;
    frame.item = Owned::ref(item);
    frame.key = Owned::ref(key);
    frame.order = ++last_order_;
    frame.accepted = Clock::now();
    return frame.serial;
}

void Pending::take_back(Serial serial, Released& released) {
    if (serial != 0 && queued(serial) != queued_.end()) {
        untrack(serial, released);
        --counts_.accepted;
    }
}

void Pending::note_wait(const Frame& frame) {
    const std::chrono::duration<float> waited = Clock::now() - frame.accepted;
    if (waits_.size() < kWaits) {
        waits_.push_back(waited.count());
    } else {
        waits_[next_wait_] = waited.count();
        next_wait_ = (next_wait_ + 1) % kWaits;
    }
}

std::vector<double> Pending::waits() const {
    std::vector<double> oldest_first;
    oldest_first.reserve(waits_.size());
    for (std::size_t i = 0; i < waits_.size(); ++i) {
        oldest_first.push_back(waits_[(next_wait_ + i) % waits_.size()]);
    }
    return oldest_first;
}

std::size_t Pending::pending() const {
    auto live = [](const Frame& frame) { return !frame.dropped; };
    std::size_t count = static_cast<std::size_t>(std::count_if(queued_.begin(), queued_.end(), live)) +
                        static_cast<std::size_t>(std::count_if(writing_.begin(), writing_.end(), live));
    for (const auto& [serial, frame] : parked_) {
        count += live(frame) ? 1 : 0;
    }
    return count;
}

Pending::Frames::iterator Pending::queued(PyObject* item) {
    return std::find_if(queued_.begin(), queued_.end(), [&](const Frame& f) { return f.item.get() == item; });
}

Pending::Frames::const_iterator Pending::queued(PyObject* item) const {
    return std::find_if(queued_.begin(), queued_.end(), [&](const Frame& f) { return f.item.get() == item; });
}

Pending::Frames::iterator Pending::queued(Serial serial) {
    return std::find_if(queued_.begin(), queued_.end(), [&](const Frame& f) { return f.serial == serial; });
}

Pending::Frames::iterator Pending::writing_frame(Serial serial) {
    return std::find_if(writing_.begin(), writing_.end(), [&](const Frame& f) { return f.serial == serial; });
}

void Pending::to_parked(const Frames::iterator& frame) {
    const Serial serial = frame->serial;
    Frame& parked = parked_[serial] = std::move(*frame);
    queued_.erase(frame);
    parked_keys_[parked.key.get()] = serial;
}

void Pending::let_go(Frame& frame, Released& released) {
    released.keep(std::move(frame.item));
    released.keep(std::move(frame.key));
}

void Pending::untrack(Serial serial, Released& released) {
    if (auto found = queued(serial); found != queued_.end()) {
        let_go(*found, released);
        queued_.erase(found);
    } else if (auto parked = parked_.find(serial); parked != parked_.end()) {
        parked_keys_.erase(parked->second.key.get());
        let_go(parked->second, released);
        parked_.erase(parked);
    } else if (auto writing = writing_frame(serial); writing != writing_.end()) {
        let_go(*writing, released);
        writing_.erase(writing);
    }
}

// Whether a frame of the same key accepted after `frame` is queued or parked.
bool Pending::newer_pending(const Frame& frame) const {
    auto newer = [&](const Frame& other) { return other.order > frame.order && !other.dropped; };
    if (std::any_of(queued_.begin(), queued_.end(),
                    [&](const Frame& other) { return newer(other) && same_key(other.key, frame.key); })) {
        return true;
    }
    auto parked = parked_keys_.find(frame.key.get());
    return parked != parked_keys_.end() && newer(parked_.at(parked->second));
}

// ---------------------------------------------------------------- a producer's frame

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
// one of the same values for the second put, as the design asks.
bool Pending::offer_tracked(const Call& c, Borrowed queue, Owned& item, Borrowed key, Serial serial, bool fifo,
                            bool on_writer, bool& accepted, Released& released) {
    try {
        call_method(n.put_nowait, queue, item);
        accepted = true;
        return true;
    } catch (PyErrSet&) {
        CaughtError full = CaughtError::take();
        Handling handling(full);  // what follows runs while Full is being handled
        if (!is_error(full, c, n.Full)) {
            full.rethrow();
        }
        if (fifo && !head_may_go(queue, key)) {
            return park(queue, item, key, serial, on_writer, accepted, released);
        }
        if (fifo) {
            drop_head(queue, key, released);
        } else {
            // A queue with storage of its own: the design's drop of its oldest frame.
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
            if (fifo && is_error(failed, c, n.Full)) {
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

// The design's drop: get_nowait, then task_done for a frame that goes.
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
        return true;  // a caller's own item: the design drops it
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
    const auto deadline = Clock::now() + std::chrono::milliseconds(500);
    Clock::duration pause = std::chrono::microseconds(50);
    while (parked_.size() >= kCap) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        pause_for(std::min(pause, deadline - now));
        pause = std::min<Clock::duration>(pause * 2, std::chrono::milliseconds(5));
    }
    return true;
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
        if (!is_error(full, c, n.Full)) {
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

// ---------------------------------------------------------------- the writer

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
        if (!is_error(e, c, n.Empty)) {
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

// ---------------------------------------------------------------- deletes, shutdown, fork

std::vector<Serial> Pending::withdraw(Borrowed key) {
    Released released;
    for (Frame& frame : queued_) {
        if (!frame.dropped && same_key(frame.key, key)) {
            frame.dropped = true;
            ++counts_.withdrawn;
        }
    }
    if (auto parked = parked_keys_.find(key.get()); parked != parked_keys_.end()) {
        Frame& frame = parked_.at(parked->second);
        if (!frame.dropped) {
            frame.dropped = true;
            ++counts_.withdrawn;
            // Its place and count stay until the writer reaches it; the frame need not.
            released.keep(std::exchange(frame.item, Owned::ref(Py_None)));
        }
    }
    std::vector<Serial> being_written;
    for (const Frame& frame : writing_) {
        if (same_key(frame.key, key)) {
            being_written.push_back(frame.serial);
        }
    }
    return being_written;
}

bool Pending::writing(Serial serial) const {
    return std::any_of(writing_.begin(), writing_.end(), [&](const Frame& f) { return f.serial == serial; });
}

void Pending::delete_after(Serial serial) {
    if (auto found = writing_frame(serial); found != writing_.end()) {
        found->delete_after = true;
    }
}

bool Pending::take_delete_after(Serial serial) {
    auto found = writing_frame(serial);
    return found != writing_.end() && std::exchange(found->delete_after, false);
}

void Pending::discard() {
    closed_ = true;
    Released released;
    parked_keys_.clear();
    for (Frame& frame : queued_) {
        counts_.discarded += frame.dropped ? 0 : 1;
        let_go(frame, released);
    }
    for (auto& [serial, frame] : parked_) {
        counts_.discarded += frame.dropped ? 0 : 1;
        let_go(frame, released);
    }
    queued_.clear();
    parked_.clear();
}

void Pending::forget() {
    Released released;
    counts_.discarded += pending();  // the parent's: never written here
    parked_keys_.clear();
    for (Frames* frames : {&queued_, &writing_}) {
        for (Frame& frame : *frames) {
            let_go(frame, released);
        }
        frames->clear();
    }
    for (auto& [serial, frame] : parked_) {
        let_go(frame, released);
    }
    parked_.clear();
}

// ---------------------------------------------------------------- helpers

InQueueOperation::InQueueOperation() { ++queue_operations; }
InQueueOperation::~InQueueOperation() { --queue_operations; }
bool InQueueOperation::active() { return queue_operations > 0; }

void wake_writer(Borrowed queue) {
    if (queue.get() == Py_None || InQueueOperation::active()) {
        return;
    }
    Owned not_empty = getattr(queue, n.not_empty);
    with_lock(not_empty, [&] { return call_method(n.notify_all, not_empty); });
}

void pause_for(Clock::duration pause) {
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(pause);
    Py_END_ALLOW_THREADS
    check(PyErr_CheckSignals());
}

}  // namespace stashel
