#include "writer.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <new>
#include <thread>
#include <utility>

#include "names.hpp"
#include "pycall.hpp"

namespace stashel {

// Guarded by the GIL, like everything here.
struct WriterRecord {
    Owned instance;                              // a weak reference
    std::vector<std::unique_ptr<Claim>> claims;  // one per running writer loop
    std::vector<Owned> withdrawn;                // items a delete took back while pending: never written

    explicit WriterRecord(Owned weak) : instance(std::move(weak)) {}
};

namespace {

const Names& n = names;

using Clock = std::chrono::steady_clock;

// Process-wide and never destroyed, like the interned names: destroying it at
// process exit would release references after the interpreter is gone.
// Keyed by the instance's address; the weak reference tells whether the
// record still belongs to the object living there.
std::map<PyObject*, RecordRef>& records() {
    static auto* all = new std::map<PyObject*, RecordRef>();
    return *all;
}

unsigned long long last_serial = 0;

thread_local int queue_operations = 0;

// A producer that gives the GIL up to a busy writer waits at most this long
// for the writer to finish its frame...
constexpr auto kHandOver = std::chrono::microseconds(50);
// ...and does so again only after running this long itself, so that one
// writing back to back keeps most of its time and most calls cost nothing...
constexpr auto kBetweenHandOvers = std::chrono::microseconds(50);
// ...and not at all while the writer has held its frame this long: then it
// waits for the server, and nothing is gained by waiting with it.
constexpr auto kServerStall = std::chrono::milliseconds(50);

// When this thread's last hand-over ended, in steady-clock ticks.
thread_local Clock::rep last_hand_over = 0;

// Where such producers wait: a lock kept held, which a writer opens when it
// finishes a frame and a producer is waiting; the producer that gets it
// holds it again. Python's own lock, so the module needs no C library newer
// than the interpreter's. Process-wide and never destroyed; made anew in a
// forked child, where a thread that is not there may have been waiting.
struct HandOver {
    PyThread_type_lock gate = nullptr;
    std::atomic<bool> open{false};  // the gate is released: only then may a thread acquire it without waiting
    std::atomic<unsigned long long> frames{0};  // finished by any writer
    std::atomic<int> waiting{0};

    // Lets one waiting thread through. The gate is released only while held
    // (releasing a free lock is a fatal error on newer interpreters).
    void open_gate() {
        bool held = false;
        if (open.compare_exchange_strong(held, true)) {
            PyThread_release_lock(gate);
        }
    }
    // Waits up to `timeout_us` (0: not at all) for the gate and holds it
    // again. Call with the GIL released.
    void pass_gate(PY_TIMEOUT_T timeout_us) {
        if (PyThread_acquire_lock_timed(gate, timeout_us, 0) == PY_LOCK_ACQUIRED) {
            open = false;
        }
    }
};

HandOver* current_hand_over = nullptr;

HandOver* hand_over() {
    if (current_hand_over == nullptr) {
        auto* fresh = new HandOver();
        fresh->gate = PyThread_allocate_lock();
        if (fresh->gate == nullptr) {
            delete fresh;
            throw std::bad_alloc();
        }
        PyThread_acquire_lock(fresh->gate, WAIT_LOCK);
        current_hand_over = fresh;
    }
    return current_hand_over;
}

// A writer finished a frame: lets a producer waiting for it go.
void frame_done() {
    HandOver* handing = hand_over();
    handing->frames.fetch_add(1);
    if (handing->waiting.load() > 0) {
        handing->open_gate();
    }
}

Owned instance_of(const WriterRecord& record) {
    return Owned::steal_or_null(compat::weakref_target(record.instance.get()));
}

RecordRef find_record(Borrowed instance) {
    auto found = records().find(instance.get());
    if (found == records().end() || instance_of(*found->second).get() != instance.get()) {
        return nullptr;
    }
    return found->second;
}

void forget_the_gone() {
    // Released after the map is consistent again: releasing may run Python code.
    std::vector<RecordRef> gone;
    auto& all = records();
    for (auto it = all.begin(); it != all.end();) {
        if (!instance_of(*it->second)) {
            gone.push_back(std::move(it->second));
            it = all.erase(it);
        } else {
            ++it;
        }
    }
}

// The key of a frame item (data, key, ttl), or nothing for any other item.
Borrowed key_of(Borrowed item) {
    if (!PyTuple_CheckExact(item.get()) || PyTuple_GET_SIZE(item.get()) != 3) {
        return {};
    }
    PyObject* key = PyTuple_GET_ITEM(item.get(), 1);
    return PyUnicode_CheckExact(key) ? key : nullptr;
}

bool same_key(Borrowed a, Borrowed b) { return a && b && PyUnicode_Compare(a.get(), b.get()) == 0; }

// Claims `item` for a writer loop.
void hold(Claim& claim, Borrowed item) {
    claim.key = Owned::ref(key_of(item));
    claim.serial = ++last_serial;
    claim.taken = Clock::now();
    claim.delete_after = false;
}

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

Owned queue_class(const Call& c) { return getattr(c.global(n.queue), n.Queue); }

bool is_queue(const Call& c, Borrowed queue) {
    return queue.get() != Py_None && check(PyObject_IsInstance(queue.get(), queue_class(c).get())) != 0;
}

// How the writer can take from a queue: as Queue.get does, under the queue's
// own lock, from its deque (Fifo) or through its own _qsize/_get (Own); or
// through its own `get` (Other).
enum class Storage : unsigned char { Fifo, Own, Other };

Storage storage_of(const Call& c, Borrowed queue) {
    if (!is_queue(c, queue)) {
        return Storage::Other;
    }
    Owned queue_type = queue_class(c);
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(queue.get()));
    auto inherited = [&](PyObject* name) { return getattr(type, name).get() == getattr(queue_type, name).get(); };
    if (!inherited(n.get)) {
        return Storage::Other;
    }
    return inherited(n.get_) && inherited(n.qsize_) && inherited(n.put_) ? Storage::Fifo : Storage::Own;
}

Py_ssize_t length(Borrowed sequence) { return check(PyObject_Length(sequence.get())); }

bool is_withdrawn(const WriterRecord& record, Borrowed item) {
    return std::any_of(record.withdrawn.begin(), record.withdrawn.end(),
                       [&](const Owned& w) { return w.get() == item.get(); });
}

void forget_withdrawn(WriterRecord& record, Borrowed item) {
    auto& list = record.withdrawn;
    auto found = std::find_if(list.begin(), list.end(), [&](const Owned& w) { return w.get() == item.get(); });
    if (found != list.end()) {
        Owned kept = std::move(*found);  // released after the list is consistent
        list.erase(found);
    }
}

// The index of the oldest pending frame that may be dropped to make room
// for a frame of `incoming_key`: one a delete withdrew, or one that a newer
// frame of its key follows (in the queue, or coming in). -1 when none may.
Py_ssize_t oldest_superseded(const WriterRecord* record, Borrowed pending, Borrowed incoming_key) {
    const Py_ssize_t size = PyTuple_GET_SIZE(pending.get());
    Owned newer_keys = Owned::steal(PySet_New(nullptr));
    check(PySet_Add(newer_keys.get(), incoming_key.get()));
    Py_ssize_t oldest = -1;
    for (Py_ssize_t i = size - 1; i >= 0; --i) {
        Borrowed item = PyTuple_GET_ITEM(pending.get(), i);
        Borrowed key = key_of(item);
        if ((record && is_withdrawn(*record, item)) || (key && check(PySet_Contains(newer_keys.get(), key.get())))) {
            oldest = i;
        }
        if (key) {
            check(PySet_Add(newer_keys.get(), key.get()));
        }
    }
    return oldest;
}

void add_unfinished(Borrowed queue, long delta) {
    Owned count = Owned::steal(PyLong_FromLong(delta));
    setattr(queue, n.unfinished_tasks,
            Owned::steal(PyNumber_Add(getattr(queue, n.unfinished_tasks).get(), count.get())));
}

Claim* claim_of_key(const WriterRecord& record, Borrowed key) {
    for (const auto& claim : record.claims) {
        if (same_key(claim->key, key)) {
            return claim.get();
        }
    }
    return nullptr;
}

// The key's pending frames, and a follow-up of a write of the key in
// progress, are marked withdrawn: the writer marks them done unwritten.
// Entries no longer pending anywhere are forgotten.
void withdraw(WriterRecord& record, Borrowed queue, Borrowed key) {
    Owned pending = getattr(queue, n.queue);
    std::vector<Owned> kept;
    std::vector<Owned> of_key;
    Owned iterator = Owned::steal(PyObject_GetIter(pending.get()));
    while (Owned item = Owned::steal_or_null(PyIter_Next(iterator.get()))) {
        if (is_withdrawn(record, item)) {
            kept.push_back(std::move(item));
        } else if (same_key(key_of(item), key)) {
            of_key.push_back(std::move(item));
        }
    }
    if (PyErr_Occurred()) {
        throw PyErrSet{};
    }
    for (const auto& claim : record.claims) {
        if (claim->follow_up && (same_key(claim->key, key) || is_withdrawn(record, claim->follow_up))) {
            kept.push_back(Owned::ref(claim->follow_up));
        }
    }
    std::move(of_key.begin(), of_key.end(), std::back_inserter(kept));
    std::swap(record.withdrawn, kept);
}

// One pause of a bounded wait: the GIL is released meanwhile, and a signal
// handler that raises ends the wait with its error, as in any blocking call.
void pause_for(Clock::duration pause) {
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(pause);
    Py_END_ALLOW_THREADS
    check(PyErr_CheckSignals());
}

struct Held {
    const Claim* claim;
    unsigned long long serial;
};

// Waits until each write in `writing` has ended, at most 0.5 s; a write still
// going then deletes its key again once it is done. Never waits while the
// interpreter finalizes: a daemon writer may never run again.
void wait_for(Borrowed instance, std::vector<Held> writing) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(500);
    Clock::duration pause = std::chrono::microseconds(50);
    for (;;) {
        {
            RecordRef record = find_record(instance);
            auto still = [&](const Held& held) {
                return record && std::any_of(record->claims.begin(), record->claims.end(), [&](const auto& claim) {
                           return claim.get() == held.claim && claim->serial == held.serial;
                       });
            };
            writing.erase(std::remove_if(writing.begin(), writing.end(), [&](const Held& h) { return !still(h); }),
                          writing.end());
            if (writing.empty()) {
                return;
            }
            if (compat::is_finalizing() || Clock::now() >= deadline) {
                for (const auto& claim : record->claims) {
                    for (const Held& held : writing) {
                        if (claim.get() == held.claim) {
                            claim->delete_after = true;
                        }
                    }
                }
                return;
            }
        }
        pause_for(std::min(pause, deadline - Clock::now()));
        pause = std::min<Clock::duration>(pause * 2, std::chrono::milliseconds(5));
    }
}

// Queue.get(timeout=0.2) (or get(block=False)), except that the item is
// claimed before the queue's lock is released and before any Python code
// runs: a producer or a delete finds each frame either queued or claimed. An
// idle wait ends early once the stop event is set.
Owned take_under_its_lock(const Call& c, WriterLoop& loop, Borrowed queue, bool wait, bool fifo) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(200);
    Owned not_empty = getattr(queue, n.not_empty);
    return with_lock(not_empty, [&]() -> Owned {
        auto empty = [&] { return fifo ? length(getattr(queue, n.queue)) == 0 : !truth(call_method(n.qsize_, queue)); };
        while (empty()) {
            const std::chrono::duration<double> left = deadline - Clock::now();
            if (!wait || left.count() <= 0 || truth(call_method(n.is_set, getattr(c.self(), n._stop_evt)))) {
                return {};
            }
            call_method(n.wait, not_empty, Owned::steal(PyFloat_FromDouble(left.count())));
        }
        // The deque's popleft runs no Python code, so nothing else runs
        // between it and the claim.
        Owned item = fifo ? call_method(n.popleft, getattr(queue, n.queue)) : call_method(n.get_, queue);
        hold(loop.claim(), item);
        call_method(n.notify, getattr(queue, n.not_full));
        return item;
    });
}

// Any other queue: its own get, then the claim. A delete can miss a frame
// in the moment between the two; such a queue is the caller's choice.
Owned take_with_its_get(const Call& c, WriterLoop& loop, Borrowed queue, bool wait) {
    try {
        Owned item = wait ? call_method_kw(n.get, n.kw_timeout, queue, n.queue_wait) : call_method(n.get_nowait, queue);
        hold(loop.claim(), item);
        return item;
    } catch (PyErrSet&) {
        CaughtError e = CaughtError::take();
        Handling handling(e);
        if (!e.matches(getattr(c.global(n.queue), n.Empty).get())) {
            e.rethrow();
        }
        return {};
    }
}

}  // namespace

RecordRef writer_record(Borrowed instance) {
    if (RecordRef record = find_record(instance)) {
        return record;
    }
    forget_the_gone();
    Owned weak = Owned::steal(PyWeakref_NewRef(instance.get(), nullptr));
#if defined(__GLIBCXX__)
    RecordRef record = std::__make_shared<WriterRecord, __gnu_cxx::_S_single>(std::move(weak));
#else
    RecordRef record = std::make_shared<WriterRecord>(std::move(weak));
#endif
    // Replaces the record of a collected instance that lived at this address.
    RecordRef previous = std::exchange(records()[instance.get()], record);
    return record;
}

void forget_writer(Borrowed instance) {
    if (find_record(instance)) {
        RecordRef record = std::move(records()[instance.get()]);
        records().erase(instance.get());
    }
}

WriterLoop::WriterLoop(Borrowed instance) : record_(writer_record(instance)) {
    record_->claims.push_back(std::make_unique<Claim>());
    claim_ = record_->claims.back().get();
    claim_->thread = PyThread_get_thread_ident();
}

WriterLoop::~WriterLoop() noexcept(false) {  // NOLINT(bugprone-unsafe-to-allow-exceptions): see the header
    if (!may_touch_python()) {
        // Unwound at exit without the GIL: the claim and the record stay as
        // they are, for the dying process.
        static_cast<void>(new RecordRef(std::move(record_)));
        return;
    }
    auto& claims = record_->claims;
    auto mine = std::find_if(claims.begin(), claims.end(), [&](const auto& claim) { return claim.get() == claim_; });
    if (mine != claims.end()) {  // a fork may have cleared the list
        std::unique_ptr<Claim> gone = std::move(*mine);
        claims.erase(mine);
    }
}

bool WriterLoop::withdrawn(Borrowed item) {
    if (!is_withdrawn(*record_, item)) {
        return false;
    }
    forget_withdrawn(*record_, item);
    return true;
}

Owned WriterLoop::next(bool keep_follow_up) {
    frame_done();
    Owned follow_up = std::move(claim_->follow_up);
    if (follow_up && keep_follow_up) {
        hold(*claim_, follow_up);
        return follow_up;
    }
    release();
    return {};
}

void WriterLoop::release() {
    Owned key = std::move(claim_->key);
    Owned follow_up = std::move(claim_->follow_up);
    claim_->delete_after = false;
}

Owned take_item(const Call& c, WriterLoop& loop, Borrowed queue, bool wait) {
    switch (storage_of(c, queue)) {
        case Storage::Fifo: return take_under_its_lock(c, loop, queue, wait, true);
        case Storage::Own: return take_under_its_lock(c, loop, queue, wait, false);
        case Storage::Other: break;
    }
    return take_with_its_get(c, loop, queue, wait);
}

Overflow make_room(const Call& c, Borrowed queue, Borrowed item, Borrowed key) {
    if (storage_of(c, queue) != Storage::Fifo) {
        return Overflow::DropOldest;
    }
    RecordRef record = find_record(c.self());
    return with_lock(getattr(queue, n.mutex), [&] {
        Owned deque = getattr(queue, n.queue);
        Owned pending = Owned::steal(PySequence_Tuple(deque.get()));
        const Py_ssize_t size = PyTuple_GET_SIZE(pending.get());
        bool only_this_key = true;
        for (Py_ssize_t i = 0; i < size && only_this_key; ++i) {
            only_this_key = same_key(key_of(PyTuple_GET_ITEM(pending.get(), i)), key);
        }
        // One key's stream keeps its newest frames, as it always has.
        if (only_this_key) {
            return Overflow::DropOldest;
        }
        if (const Py_ssize_t i = oldest_superseded(record.get(), pending, key); i >= 0) {
            check(PySequence_DelItem(deque.get(), i));
            if (record) {
                forget_withdrawn(*record, PyTuple_GET_ITEM(pending.get(), i));
            }
            return Overflow::Removed;
        }
        if (size < check(PyLong_AsSsize_t(getattr(queue, n.maxsize).get()))) {
            return Overflow::Retry;  // the writer took a frame meanwhile
        }
        Claim* writing = record ? claim_of_key(*record, key) : nullptr;
        if (writing == nullptr) {
            return Overflow::WaitForRoom;
        }
        // Written right after the frame of this key the writer holds. An
        // earlier follow-up is superseded: its count passes to this one.
        if (!writing->follow_up) {
            add_unfinished(queue, 1);
        }
        Owned previous = std::exchange(writing->follow_up, Owned::ref(item));
        return Overflow::Queued;
    });
}

InQueueOperation::InQueueOperation() { ++queue_operations; }
InQueueOperation::~InQueueOperation() { --queue_operations; }
bool InQueueOperation::active() { return queue_operations > 0; }

void let_writers_run(Borrowed instance) {
#ifndef Py_GIL_DISABLED
    if (InQueueOperation::active() ||
        Clock::now() - Clock::time_point(Clock::duration(last_hand_over)) < kBetweenHandOvers) {
        return;
    }
    {
        RecordRef record = find_record(instance);
        if (!record) {
            return;
        }
        const unsigned long me = PyThread_get_thread_ident();
        const auto now = Clock::now();
        bool starved = false;
        for (const auto& claim : record->claims) {
            if (claim->thread == me) {
                return;  // the writer itself writes a frame
            }
            // A frame held this long waits for the server, not for the GIL.
            starved = starved || (claim->key && now - claim->taken < kServerStall);
        }
        if (!starved) {
            return;
        }
    }
    HandOver* handing = hand_over();
    const auto before = handing->frames.load();
    Py_BEGIN_ALLOW_THREADS
    ++handing->waiting;
    // A release meant for a producer that had stopped waiting is taken back
    // first, so that the wait below waits.
    handing->pass_gate(0);
    if (handing->frames.load() == before) {
        handing->pass_gate(kHandOver.count());
    }
    --handing->waiting;
    last_hand_over = Clock::now().time_since_epoch().count();
    Py_END_ALLOW_THREADS
#else
    static_cast<void>(instance);
#endif
}

void wake_writer(Borrowed queue) {
    if (queue.get() == Py_None || InQueueOperation::active()) {
        return;
    }
    Owned not_empty = getattr(queue, n.not_empty);
    with_lock(not_empty, [&] { return call_method(n.notify_all, not_empty); });
}

void settle_writes_of(const Call& c, Borrowed key) {
    std::vector<Held> writing;
    {
        RecordRef record = find_record(c.self());
        if (!record) {
            return;
        }
        Owned queue = getattr(c.self(), n._queue);
        if (is_queue(c, queue)) {
            withdraw(*record, queue, key);
        }
        const unsigned long me = PyThread_get_thread_ident();
        for (const auto& claim : record->claims) {
            if (!same_key(claim->key, key)) {
                continue;
            }
            if (claim->thread == me) {
                // The writer itself deletes (from a client or logger it
                // calls): it cannot wait for its own write.
                claim->delete_after = true;
            } else {
                writing.push_back({claim.get(), claim->serial});
            }
        }
    }
    if (!writing.empty()) {
        wait_for(c.self(), std::move(writing));
    }
}

bool is_writer_thread(Borrowed instance) {
    RecordRef record = find_record(instance);
    const unsigned long me = PyThread_get_thread_ident();
    return record && std::any_of(record->claims.begin(), record->claims.end(),
                                 [&](const auto& claim) { return claim->thread == me; });
}

std::vector<Owned> recorded_instances() {
    std::vector<Owned> instances;
    for (const auto& [address, record] : records()) {
        if (Owned instance = instance_of(*record)) {
            instances.push_back(std::move(instance));
        }
    }
    return instances;
}

std::vector<Owned> writers_after_fork() {
    forget_the_gone();
    // The parent's writers do not exist here; what they held, and what was
    // withdrawn from the parent's queues, is the parent's. Released once the
    // records are consistent again.
    std::vector<std::unique_ptr<Claim>> claims;
    std::vector<Owned> withdrawn;
    current_hand_over = nullptr;  // the parent's is left as it was
    for (auto& [address, record] : records()) {
        std::move(record->claims.begin(), record->claims.end(), std::back_inserter(claims));
        std::move(record->withdrawn.begin(), record->withdrawn.end(), std::back_inserter(withdrawn));
        record->claims.clear();
        record->withdrawn.clear();
    }
    return recorded_instances();
}

}  // namespace stashel
