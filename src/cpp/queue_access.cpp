#include "queue_access.hpp"

#include <thread>

namespace stashel {

namespace {
const Names& n = names;
thread_local int queue_operations = 0;
}  // namespace

InQueueOperation::InQueueOperation() { ++queue_operations; }
InQueueOperation::~InQueueOperation() { --queue_operations; }
bool InQueueOperation::active() { return queue_operations > 0; }

bool is_queue_error(const CaughtError& e, const Call& c, PyObject* name) {
    return e.matches(getattr(c.global(n.queue), name).get());
}

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

void add_unfinished(Borrowed queue, long delta) {
    Owned count = Owned::steal(PyLong_FromLong(delta));
    setattr(queue, n.unfinished_tasks,
            Owned::steal(PyNumber_Add(getattr(queue, n.unfinished_tasks).get(), count.get())));
}

bool has_room(Borrowed queue, Borrowed deque) {
    const Py_ssize_t bound = check(PyLong_AsSsize_t(getattr(queue, n.maxsize).get()));
    return bound <= 0 || length(deque) < bound;
}

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
