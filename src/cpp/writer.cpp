#include "writer.hpp"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

#include "names.hpp"
#include "pycall.hpp"

namespace stashel {

// Guarded by the GIL, like everything here.
struct WriterRecord {
    Owned instance;   // a weak reference
    Owned in_flight;  // the key of the frame the writer holds, while it holds one
    unsigned long writer_thread = 0;
    // Held by the writer from taking an item until it is done with it.
    PyThread_type_lock writing = nullptr;

    explicit WriterRecord(Owned weak) : instance(std::move(weak)), writing(PyThread_allocate_lock()) {
        if (writing == nullptr) {
            throw std::bad_alloc();
        }
    }
    // Not noexcept: the members release references (see Owned).
    ~WriterRecord() noexcept(false) { PyThread_free_lock(writing); }  // NOLINT(bugprone-unsafe-to-allow-exceptions)
    WriterRecord(const WriterRecord&) = delete;
    WriterRecord& operator=(const WriterRecord&) = delete;
};

namespace {

const Names& n = names;

// Process-wide and never destroyed, like the interned names: destroying it at
// process exit would release references after the interpreter is gone.
std::vector<RecordRef>& records() {
    static auto* all = new std::vector<RecordRef>();
    return *all;
}

Owned instance_of(const WriterRecord& record) {
    return Owned::steal_or_null(compat::weakref_target(record.instance.get()));
}

void forget_the_gone() {
    auto& all = records();
    all.erase(std::remove_if(all.begin(), all.end(), [](const auto& record) { return !instance_of(*record); }),
              all.end());
}

RecordRef find_record(Borrowed instance) {
    for (const auto& record : records()) {
        if (instance_of(*record).get() == instance.get()) {
            return record;
        }
    }
    return nullptr;
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

// Takes a lock, with the GIL released while it is contended.
void acquire(PyThread_type_lock lock) {
    if (PyThread_acquire_lock(lock, NOWAIT_LOCK) == 0) {
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(lock, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
}

// Runs `body` while holding `lock` (a threading lock or condition), and
// releases it whatever happens.
template <class Body>
auto with_lock(Borrowed lock, Body body) {
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

// A queue.Queue whose `get` is Queue.get: the writer can take from it the way
// that `get` does, under the queue's own lock.
bool takes_under_its_lock(const Call& c, Borrowed queue) {
    Owned queue_type = queue_class(c);
    if (!PyType_Check(queue_type.get()) ||
        !PyObject_TypeCheck(queue.get(), reinterpret_cast<PyTypeObject*>(queue_type.get()))) {
        return false;
    }
    return getattr(reinterpret_cast<PyObject*>(Py_TYPE(queue.get())), n.get).get() == getattr(queue_type, n.get).get();
}

// Queue.get(timeout=0.2) (or get(block=False)), except that the item is
// claimed before the queue's lock is released: a delete holding that lock
// finds the frame either still queued or claimed by the writer. An idle wait
// ends early once the stop event is set.
TakenItem take_under_its_lock(const Call& c, const RecordRef& record, Borrowed queue, bool wait) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(200);
    Owned not_empty = getattr(queue, n.not_empty);
    return with_lock(not_empty, [&]() -> TakenItem {
        while (!truth(call_method(n.qsize_, queue))) {
            const std::chrono::duration<double> left = deadline - Clock::now();
            if (!wait || left.count() <= 0 || truth(call_method(n.is_set, getattr(c.self(), n._stop_evt)))) {
                return {};
            }
            call_method(n.wait, not_empty, Owned::steal(PyFloat_FromDouble(left.count())));
        }
        Owned item = call_method(n.get_, queue);
        call_method(n.notify, getattr(queue, n.not_full));
        return {std::move(item), record};
    });
}

// Any other queue: its own get, then the claim. A delete can miss a frame
// in the moment between the two; such a queue is the caller's choice.
TakenItem take_with_its_get(const Call& c, const RecordRef& record, Borrowed queue, bool wait) {
    try {
        Owned item = wait ? call_method_kw(n.get, n.kw_timeout, queue, n.queue_wait) : call_method(n.get_nowait, queue);
        return {std::move(item), record};
    } catch (PyErrSet&) {
        CaughtError e = CaughtError::take();
        Handling handling(e);
        if (!e.matches(getattr(c.global(n.queue), n.Empty).get())) {
            e.rethrow();
        }
        return {};
    }
}

// Removes the pending frames of `key` from a queue.Queue whose lock the
// caller holds, counting them done as if they had been taken and written.
void withdraw(Borrowed queue, Borrowed key) {
    Owned pending = getattr(queue, n.queue);
    Py_ssize_t removed = 0;
    for (Py_ssize_t i = check(PySequence_Size(pending.get())) - 1; i >= 0; --i) {
        Owned item = Owned::steal(PySequence_GetItem(pending.get(), i));
        if (same_key(key_of(item), key)) {
            check(PySequence_DelItem(pending.get(), i));
            ++removed;
        }
    }
    if (removed == 0) {
        return;
    }
    Owned count = Owned::steal(PyLong_FromSsize_t(removed));
    Owned unfinished = Owned::steal(PyNumber_Subtract(getattr(queue, n.unfinished_tasks).get(), count.get()));
    setattr(queue, n.unfinished_tasks, unfinished);
    if (check(PyObject_RichCompareBool(unfinished.get(), n.zero, Py_LE))) {
        call_method(n.notify_all, getattr(queue, n.all_tasks_done));
    }
    call_method(n.notify, getattr(queue, n.not_full), count);
}

bool writing_key(const RecordRef& record, Borrowed key) { return record && same_key(record->in_flight, key); }

}  // namespace

RecordRef writer_record(Borrowed instance) {
    if (RecordRef record = find_record(instance)) {
        return record;
    }
    forget_the_gone();
    Owned weak = Owned::steal(PyWeakref_NewRef(instance.get(), nullptr));
#if defined(__GLIBCXX__)
    return records().emplace_back(std::__make_shared<WriterRecord, __gnu_cxx::_S_single>(std::move(weak)));
#else
    return records().emplace_back(std::make_shared<WriterRecord>(std::move(weak)));
#endif
}

void forget_writer(Borrowed instance) {
    auto& all = records();
    all.erase(std::remove(all.begin(), all.end(), find_record(instance)), all.end());
}

TakenItem::TakenItem(Owned item, RecordRef record) : item_(std::move(item)) {
    acquire(record->writing);
    record->in_flight = Owned::ref(key_of(item_));
    record->writer_thread = PyThread_get_thread_ident();
    record_ = std::move(record);
}

TakenItem::~TakenItem() noexcept(false) {  // NOLINT(bugprone-unsafe-to-allow-exceptions): see the header
    if (record_) {
        record_->in_flight.reset();
        PyThread_release_lock(record_->writing);
    }
}

TakenItem take_item(const Call& c, const RecordRef& record, Borrowed queue, bool wait) {
    if (takes_under_its_lock(c, queue)) {
        return take_under_its_lock(c, record, queue, wait);
    }
    return take_with_its_get(c, record, queue, wait);
}

void wake_writer(Borrowed queue) {
    if (queue.get() == Py_None) {
        return;
    }
    Owned not_empty = getattr(queue, n.not_empty);
    with_lock(not_empty, [&] { return call_method(n.notify_all, not_empty); });
}

void settle_writes_of(const Call& c, Borrowed key) {
    RecordRef record = find_record(c.self());
    Owned queue = getattr(c.self(), n._queue);
    bool in_progress = false;
    if (queue.get() != Py_None && check(PyObject_IsInstance(queue.get(), queue_class(c).get()))) {
        in_progress = with_lock(getattr(queue, n.mutex), [&] {
            withdraw(queue, key);
            return writing_key(record, key);
        });
    } else {
        in_progress = writing_key(record, key);
    }
    // The writer itself may delete (from a client or logger it calls): it
    // must not wait for its own write.
    if (in_progress && record->writer_thread != PyThread_get_thread_ident()) {
        PyThread_type_lock writing = record->writing;
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(writing, WAIT_LOCK);
        PyThread_release_lock(writing);
        Py_END_ALLOW_THREADS
    }
}

std::vector<Owned> writers_after_fork() {
    forget_the_gone();
    std::vector<Owned> instances;
    for (const auto& record : records()) {
        // The parent's writer may have held this lock at the fork; it does
        // not exist here. No thread waits on the old lock, so it can go.
        PyThread_type_lock fresh = PyThread_allocate_lock();
        if (fresh == nullptr) {
            throw std::bad_alloc();
        }
        PyThread_free_lock(std::exchange(record->writing, fresh));
        record->in_flight.reset();
        record->writer_thread = 0;
        if (Owned instance = instance_of(*record)) {
            instances.push_back(std::move(instance));
        }
    }
    return instances;
}

}  // namespace stashel
