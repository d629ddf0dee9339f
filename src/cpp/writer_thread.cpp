// The background writer's life: started at construction (and again in a
// forked child), its loop, which takes each pending frame and writes it
// through `_write_`, and the shutdown that stops it and switches the instance
// to writing on the caller's thread.
#include "writer_thread.hpp"

#include <chrono>
#include <optional>
#include <thread>

#include "log_line.hpp"
#include "operations.hpp"
#include "records.hpp"

namespace stashel {

namespace {

const Names& n = names;

// The shutdown's last steps: the instance writes frames on the caller's
// thread from now on, and its exit hook, which kept it alive, is gone.
void switch_to_direct_mode(const Call& c) {
    Borrowed self = c.self();
    if (RecordRef record = find_record(self)) {
        record->pending.discard();
    }
    setattr(self, n._queue, Py_None);
    setattr(self, n._executor, Py_None);
    setattr(self, n._use_thread, Py_False);
    call_method(n.unregister, c.global(n.atexit), getattr(self, n._shutdown_executor));
}

Owned unpack_item(Borrowed item) {
    Owned members = PyTuple_CheckExact(item.get()) ? new_ref(item.get()) : Owned::steal(PySequence_Tuple(item.get()));
    const Py_ssize_t size = PyTuple_GET_SIZE(members.get());
    if (size < 3) {
        throw PyErrSet(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", size);
    }
    if (size > 3) {
        throw PyErrSet(PyExc_ValueError, "too many values to unpack (expected 3)");
    }
    return members;
}

void mark_done(const Call& c, const WriterLoop& loop) {
    // A loop a forked child carries on in leaves the child's own queue alone;
    // the shutdown routine may have dropped the queue meanwhile.
    if (!loop.orphaned()) {
        ignoring_errors([&] { call_method(n.task_done, getattr(c.self(), n._queue)); });
    }
}

// str(obj), else repr(obj), else its type name: a description that no error
// of the Exception family can prevent.
Owned describe(Borrowed obj) {
    for (auto convert : {PyObject_Str, PyObject_Repr}) {
        if (PyObject* text = convert(obj.get())) {
            return Owned::steal(text);
        }
        CaughtError::take_if(PyExc_Exception);
    }
    return Owned::steal(PyUnicode_FromFormat("<%s object>", Py_TYPE(obj.get())->tp_name));
}

// Only the stop event ends the writer: a dead writer would leave every later
// frame write reporting success while nothing is stored. So a line logged on
// the writer costs at most that line when the logger fails; errors outside
// the Exception family (the interpreter's exit, interrupts) keep travelling.
template <class Message>
void log_on_writer(const Call& c, PyObject* level, const CaughtError& cause, Message message) {
    ignoring_errors([&] { log_handling(c, level, cause, message); });
}

// A delete of the key gave up waiting for this write: the frame may have
// landed after the DEL, so the key is deleted again.
void delete_again_if_asked(const Call& c, WriterLoop& loop, const Taken& taken, Borrowed key) {
    if (!key || !loop.pending().take_delete_after(taken.serial)) {
        return;
    }
    try {
        call_sibling(n.delete_data, nullptr, c.self(), key);
    } catch (PyErrSet&) {
        CaughtError e = CaughtError::take_if(PyExc_Exception);
        log_on_writer(c, n.error, e, [&] {
            return format("Failed to delete redis`%U` again after a write that overlapped its delete - %U", key,
                          describe(e.value()));
        });
    }
}

// Writes one taken item. An error that escapes the write step (a frame the
// encoder refuses, a failing logger, an item that is not a frame) is logged
// like a failed write.
Outcome write_item(const Call& c, WriterLoop& loop, const Taken& taken) {
    Owned key;
    Outcome outcome = Outcome::Failed;
    try {
        Owned members = unpack_item(taken.item);
        key = new_ref(PyTuple_GET_ITEM(members.get(), 1));
        take_last_write_step();  // one left by a write step this loop did not call
        Owned written = call_sibling(n._write_, nullptr, c.self(), PyTuple_GET_ITEM(members.get(), 0), key,
                                     PyTuple_GET_ITEM(members.get(), 2));
        // The class's own write step says how it ended; a replacement's reply decides.
        const std::optional<Outcome> step = take_last_write_step();
        outcome = step ? *step : truth(written) ? Outcome::Stored : Outcome::Refused;
    } catch (PyErrSet&) {
        CaughtError e = CaughtError::take_if(PyExc_Exception);
        log_on_writer(c, n.error, e, [&] {
            return format("Failed to write data to redis`%U` - %U", describe(key ? key.borrow() : taken.item.borrow()),
                          describe(e.value()));
        });
    }
    delete_again_if_asked(c, loop, taken, key);
    return outcome;
}

// Writes (or, dropped while pending, skips) one taken item, settles it and marks it
// done, whatever happens: the line of a failed write comes first, so
// whoever waits on the queue's join() finds it written.
void write_taken(const Call& c, WriterLoop& loop, const Taken& taken) {
    Outcome outcome = Outcome::Failed;
    try {
        if (!taken.dropped) {
            outcome = write_item(c, loop, taken);
        }
    } catch (PyErrSet&) {
        CaughtError passing = CaughtError::take();
        loop.settle(taken, outcome);
        mark_done(c, loop);
        loop.done();
        passing.rethrow();
    }
    loop.settle(taken, outcome);
    mark_done(c, loop);
    loop.done();
}

// One wait on the stop event; when the event itself fails, a plain sleep.
void pause(const Call& c) {
    try {
        call_method(n.wait, getattr(c.self(), n._stop_evt), n.queue_wait);
        return;
    } catch (PyErrSet&) {
        CaughtError::take_if(PyExc_Exception);
    }
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Py_END_ALLOW_THREADS
}

}  // namespace

// A queue of `bound` pending frames and a started writer thread.
void start_writer(const Call& c, Borrowed bound) {
    Borrowed self = c.self();
    setattr(self, n._queue, call_method_kw(n.Queue, n.kw_maxsize, c.global(n.queue), bound));
    Owned worker = call_method_kw(n.Thread, n.kw_thread, c.global(n.threading), getattr(self, n._worker_loop),
                                  n.worker_name, Py_True);
    setattr(self, n._worker, worker);
    writer_record(self)->pending.reopen();
    try {
        call_method(n.start, worker);
    } catch (PyErrSet&) {
        forget_writer(self);
        throw;
    }
}

Owned shutdown(const Call& c) {
    Borrowed self = c.self();
    ignoring_errors([&] {
        call_method(n.set, getattr(self, n._stop_evt));
        // An idle writer would notice the stop only when its wait ran out:
        // with many instances, their exit hooks would add up those waits.
        ignoring_errors([&] { wake_writer(getattr(self, n._queue)); });
        Owned worker = getattr(self, n._worker);
        // Reached from the writer itself (a client or logger it calls), the
        // shutdown cannot wait for it; the writer ends after this frame. The
        // writer's thread is the one running its loop, whatever `_worker` holds.
        if (worker.get() != Py_None && !is_writer_thread(self)) {
            call_method_kw(n.join, n.kw_timeout, worker, n.join_wait);
        }
        switch_to_direct_mode(c);
    });
    return none();
}

// Once its stop event is set, the writer still stores what is pending
// (the newest frames of a stream are the ones that matter) without waiting
// for more, and ends at once when the shutdown has given up on it and
// dropped the queue.
Owned worker_loop(const Call& c) {
    WriterLoop loop(c.self());
    while (!loop.orphaned()) {
        bool stopping = false;
        try {
            stopping = truth(call_method(n.is_set, getattr(c.self(), n._stop_evt)));
            Owned queue = getattr(c.self(), n._queue);
            if (stopping && queue.get() == Py_None) {
                return none();
            }
            if (Taken taken = loop.take(c, queue, !stopping); taken.item) {
                write_taken(c, loop, taken);
            } else if (stopping) {
                return none();
            }
        } catch (PyErrSet&) {
            CaughtError e = CaughtError::take_if(PyExc_Exception);
            if (stopping) {
                return none();  // nothing more can be taken
            }
            // The queue or the event failed: report it, and pause for one
            // wait so that one that keeps failing cannot make a busy loop.
            log_on_writer(c, n.error, e,
                          [&] { return format("Background writer failed to take a frame - %U", describe(e.value())); });
            pause(c);
        }
    }
    return none();
}

// In a child process the parent's writers do not exist, and the locks of
// their queues and events may have been held by threads that are not here.
// An instance that was running gets what construction gives it: a fresh
// queue of the same bound (the pending frames are the parent's), a fresh
// stop event and a new writer. A shut-down instance stays shut down.
void restart_writer(const Call& c) {
    Borrowed self = c.self();
    Owned queue = getattr(self, n._queue);
    if (queue.get() == Py_None) {
        return;
    }
    if (truth(call_method(n.is_set, getattr(self, n._stop_evt)))) {
        // Forked while a shutdown was under way in another thread, which is
        // not here to finish it: the instance carries on in direct mode.
        switch_to_direct_mode(c);
        return;
    }
    Owned bound = getattr(queue, n.maxsize);
    setattr(self, n._stop_evt, call_method(n.Event, c.global(n.threading)));
    start_writer(c, bound);
}

}  // namespace stashel
