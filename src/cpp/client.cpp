// The operations of Stashel. Every server command goes through the
// `_redis_client` attribute and every module-level collaborator (redis,
// orjson, queue, threading, atexit, logger) is looked up when it is used,
// so callers and tests can replace any of them.
#include "client.hpp"

#include <chrono>
#include <limits>
#include <thread>
#include <vector>

#include "names.hpp"
#include "pycall.hpp"
#include "settings.hpp"
#include "writer.hpp"

namespace stashel {

namespace {

const Names& n = names;

Owned none() { return new_ref(Py_None); }

Owned error_text(const CaughtError& e) { return Owned::steal(PyObject_Format(e.value().get(), n.empty)); }

template <class... Args>
Owned format(const char* pattern, const Args&... args) {
    return Owned::steal(PyUnicode_FromFormat(pattern, Borrowed(args).get()...));
}

// Writes the line built by `message` while `cause` is the exception being
// handled, as an `except` block would: an error raised by the logger gets
// `cause` as its __context__ and sees it in sys.exc_info().
template <class Message>
void log_handling(const Call& c, PyObject* level, const CaughtError& cause, Message message) {
    Handling handling(cause);
    call_method(level, c.global(n.logger), message());
}

Owned redis_client(const Call& c) { return getattr(c.self(), n._redis_client); }

// How this thread's last write step ended, for the writer that called it
// (an Outcome, or kNoOutcome when `_write_` is not the class's own).
constexpr int kNoOutcome = -1;
thread_local int last_write_outcome = kNoOutcome;

Owned write_result(Outcome outcome) {
    last_write_outcome = static_cast<int>(outcome);
    return bool_result(outcome == Outcome::Stored);
}

Owned encode(const Call& c, Borrowed data) { return call_method(n.dumps, c.global(n.orjson), data); }

// PUBLISH "1" on <key>_notify. A failed publish only costs a warning line: the
// value is already stored.
void notify(const Call& c, Borrowed key) {
    Owned channel = Owned::steal(PyUnicode_Concat(key.get(), n.notify_suffix));
    try {
        call_method(n.publish, redis_client(c), channel, n.notify_message);
    } catch (PyErrSet&) {
        CaughtError e = CaughtError::take_if(PyExc_Exception);
        count_publish_failure(c.self());
        log_handling(c, n.warning, e,
                     [&] { return format("Failed to publish notification to %U: %U", channel, error_text(e)); });
    }
}

// ---------------------------------------------------------------- construction

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

Owned init(const Call& c) {
    Borrowed self = c.self(), thread = c.arg(1), host = c.arg(2), port = c.arg(3), workers = c.arg(4);
    setattr(self, n._use_thread, thread);

    Owned five_per_worker = Owned::steal(PyNumber_Multiply(workers.get(), n.five));
    const bool above_ten = check(PyObject_RichCompareBool(five_per_worker.get(), n.ten, Py_GT));
    Owned max_connections = above_ten ? std::move(five_per_worker) : new_ref(n.ten);
    Owned redis = c.global(n.redis);
    Owned pool = make_pool(c, redis, host, port, max_connections);
    Owned client = call_method_kw(n.StrictRedis, n.kw_connection_pool, redis, pool);
    setattr(self, n._redis_client, client);
    setattr(self, n._executor, Py_None);
    setattr(self, n._queue, Py_None);
    setattr(self, n._worker, Py_None);
    setattr(self, n._stop_evt, call_method(n.Event, c.global(n.threading)));

    if (!truth(getattr(self, n._use_thread))) {
        return none();
    }
    const bool several = check(PyObject_RichCompareBool(workers.get(), n.one, Py_GT));
    start_writer(c, several ? workers : Borrowed(n.one));
    call_method(n.register_, c.global(n.atexit), getattr(self, n._shutdown_executor));
    return none();
}

Owned init_defaults(Borrowed globals) {
    // The default host, and the connection settings beside it, are fixed
    // once, when the class is made.
    Owned os = lookup_global(globals, Owned::steal(PyUnicode_FromString("os")).get());
    Owned environ = getattr(os, Owned::steal(PyUnicode_FromString("environ")).get());
    Owned host = call_method(Owned::steal(PyUnicode_FromString("get")).get(), environ,
                             Owned::steal(PyUnicode_FromString("REDIS_HOST")),
                             Owned::steal(PyUnicode_FromString("localhost")));
    read_settings(environ, host);
    Owned port = Owned::steal(PyLong_FromLong(6379));
    Owned workers = Owned::steal(PyLong_FromLong(2));
    return Owned::steal(PyTuple_Pack(4, Py_True, host.get(), port.get(), workers.get()));
}

Owned ttl_default(Borrowed) { return Owned::steal(PyTuple_Pack(1, Py_None)); }

// ---------------------------------------------------------------- background writer

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
        last_write_outcome = kNoOutcome;
        Owned written = call_sibling(n._write_, nullptr, c.self(), PyTuple_GET_ITEM(members.get(), 0), key,
                                     PyTuple_GET_ITEM(members.get(), 2));
        outcome = last_write_outcome != kNoOutcome ? static_cast<Outcome>(last_write_outcome)
                  : truth(written)                 ? Outcome::Stored
                                                   : Outcome::Refused;
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

// ---------------------------------------------------------------- fork

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

PyObject* after_fork_in_child(PyObject* module, PyObject*) {
    try {
        Borrowed globals = PyModule_GetDict(module);
        for (const Owned& instance : writers_after_fork()) {
            PyObject* slots[] = {instance.get()};
            try {
                restart_writer(Call(globals, slots));
            } catch (PyErrSet&) {
                // One instance's trouble must not keep the others from writing.
                PyErr_WriteUnraisable(instance.get());
            }
        }
        Py_RETURN_NONE;
    } catch (PyErrSet&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef after_fork_def = {"restart_writers_after_fork", after_fork_in_child, METH_NOARGS, nullptr};

// ---------------------------------------------------------------- the end of a multiprocessing child

// multiprocessing ends its child processes with os._exit, so their exit
// hooks never run (the fork start method even clears them). What it does
// run there, with every start method, is threading._shutdown(), and with it
// the functions registered through threading._register_atexit.
bool in_multiprocessing_child() {
    Owned name = Owned::steal(PyUnicode_FromString("multiprocessing.process"));
    PyObject* process = nullptr;
    if (check(compat::dict_get_ref(PyImport_GetModuleDict(), name.get(), &process)) == 0) {
        return false;
    }
    Owned module = Owned::steal(process);
    return call_method(n.parent_process, module).get() != Py_None;
}

// In a multiprocessing child, stores what each running instance has queued,
// as its exit hook does at a normal exit. Never raises: an error would end
// the child's exit path.
PyObject* store_pending_frames_at_child_exit(PyObject*, PyObject*) {
    try {
        if (!in_multiprocessing_child()) {
            Py_RETURN_NONE;
        }
        for (const Owned& instance : recorded_instances()) {
            try {
                call_method(n._shutdown_executor, instance);
            } catch (PyErrSet&) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                    throw;
                }
                PyErr_WriteUnraisable(instance.get());
            }
        }
        Py_RETURN_NONE;
    } catch (PyErrSet&) {
        if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_WriteUnraisable(nullptr);
            Py_RETURN_NONE;
        }
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef child_exit_def = {"store_pending_frames_at_child_exit", store_pending_frames_at_child_exit, METH_NOARGS,
                              nullptr};

// ---------------------------------------------------------------- writes

Owned write_step(const Call& c) {
    Borrowed data = c.arg(1), key = c.arg(2), ttl = c.arg(3);
    Owned value = encode(c, data);  // an encoder error reaches the caller
    try {
        Owned reply = call_method_kw(n.set, n.kw_ex, redis_client(c), key, value, ttl);
        if (!truth(reply)) {
            return write_result(Outcome::Refused);
        }
        notify(c, key);
        return write_result(Outcome::Stored);
    } catch (PyErrSet&) {
        CaughtError e = CaughtError::take_if(PyExc_Exception);
        log_handling(c, n.error, e,
                     [&] { return format("Failed to write data to redis`%U` - %U", key, error_text(e)); });
        return write_result(Outcome::Failed);
    }
}

// SET refuses an expiry of 0 or less, and one whose moment in milliseconds
// since the epoch does not fit a signed 64-bit integer. A queued frame would
// be reported stored and then lost, so the call refuses it before queuing.
void refuse_ttl_the_server_refuses(Borrowed ttl) {
    if (ttl.get() == Py_None) {
        return;
    }
    if (check(PyObject_RichCompareBool(ttl.get(), n.zero, Py_LE))) {
        throw PyErrSet(PyExc_ValueError, "ttl must be a positive number of seconds, got %R", ttl.get());
    }
    using namespace std::chrono;
    const long long now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const long long longest = (std::numeric_limits<long long>::max() - now) / 1000;
    int overflow = 0;
    const long long seconds = PyLong_AsLongLongAndOverflow(ttl.get(), &overflow);
    if (overflow != 0 || seconds > longest) {
        throw PyErrSet(PyExc_ValueError, "ttl must be at most %lld seconds, got %R", longest, ttl.get());
    }
}

Owned write_kelm_data(const Call& c) {
    Borrowed self = c.self(), data = c.arg(1), key = c.arg(2), ttl = c.arg(3);
    if (data.get() == Py_None) {
        // A frame of this key still queued, or being written, would land
        // after the DEL and bring the key back.
        settle_writes_of(c, key);
        return call_sibling(n.delete_data, nullptr, self, key);
    }
    // Code that interrupted one of this thread's own queue operations (a
    // signal handler, a finalizer) may find the queue's lock held by this
    // very thread: its frame is written here instead.
    if (truth(getattr(self, n._use_thread)) && !InQueueOperation::active()) {
        // Read once: a shutdown running meanwhile replaces it with None, and
        // then this frame simply takes the direct path.
        Owned queue = getattr(self, n._queue);
        if (queue.get() != Py_None) {
            refuse_ttl_the_server_refuses(ttl);
            RecordRef record = find_record(self);
            if (!record) {
                // No writer of this module's (a caller set the attributes): the design's calls.
                if (offer_untracked(c, queue, data, key, ttl)) {
                    return bool_result(true);
                }
            } else if (record->pending.offer(c, queue, data, key, ttl, is_writer_thread(*record))) {
                let_writers_run(*record);
                return bool_result(true);
            }
        }
    }
    return call_sibling(n._write_, nullptr, self, data, key, ttl);
}

Owned write_data(const Call& c) {
    Borrowed key = c.arg(1), data = c.arg(2), ttl = c.arg(3);
    Owned reply;
    if (PyDict_Check(data.get())) {
        // The client's `set` is looked up before the mapping is encoded.
        Owned set = getattr(redis_client(c), n.set);
        reply = call_kw(set, n.kw_ex, key, encode(c, data), ttl);
    } else {
        reply = call_method_kw(n.set, n.kw_ex, redis_client(c), key, data, ttl);
    }
    if (!truth(reply)) {
        return bool_result(false);
    }
    notify(c, key);
    return bool_result(true);
}

// ---------------------------------------------------------------- reads

Owned read_data(const Call& c) { return call_method(n.get, redis_client(c), c.arg(1)); }

Owned read_kelm_data(const Call& c) {
    Borrowed key = c.arg(1);
    try {
        Owned data = call_sibling(n.read_data, n.kw_redis_key, c.self(), key);
        if (PyBytes_Check(data.get())) {
            return call_method(n.loads, c.global(n.orjson), data);
        }
        return data;
    } catch (PyErrSet&) {
        CaughtError e = CaughtError::take_if(PyExc_Exception);
        log_handling(c, n.warning, e,
                     [&] { return format("Failed to get redis frame from %U - %U", key, error_text(e)); });
        return none();
    }
}

// ---------------------------------------------------------------- deletes and scan

Owned delete_data(const Call& c) { return bool_result(truth(call_method(n.del, redis_client(c), c.arg(1)))); }

Owned delete_many(const Call& c) {
    // A snapshot, so the command names the keys as they were at the call.
    Owned keys = Owned::steal(PyList_AsTuple(c.arg(1).get()));
    const Py_ssize_t count = PyTuple_GET_SIZE(keys.get());
    if (count == 0) {
        return Owned::steal(PyLong_FromLong(0));
    }
    Owned client = redis_client(c);
    std::vector<PyObject*> stack;
    stack.reserve(static_cast<size_t>(count) + 1);
    stack.push_back(client.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        stack.push_back(PyTuple_GET_ITEM(keys.get(), i));
    }
    Owned reply = Owned::steal(PyObject_VectorcallMethod(n.del, stack.data(), stack.size(), nullptr));
    if (reply.get() != Py_None && !PyLong_CheckExact(reply.get())) {
        throw PyErrSet(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(reply.get())->tp_name);
    }
    return reply;
}

Owned scan_keys(const Call& c) {
    Owned found = Owned::steal(PyList_New(0));
    Owned keys = call_method_kw(n.scan_iter, n.kw_match, redis_client(c), c.arg(1));
    Owned iterator = Owned::steal(PyObject_GetIter(keys.get()));
    while (Owned key = Owned::steal_or_null(PyIter_Next(iterator.get()))) {
        Owned text;
        if (PyBytes_CheckExact(key.get())) {
            text = Owned::steal(
                PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key.get()), PyBytes_GET_SIZE(key.get()), nullptr));
        } else if (PyBytes_Check(key.get())) {
            text = call_method(n.decode, key);
        } else {
            text = std::move(key);
        }
        check(PyList_Append(found.get(), text.get()));
    }
    if (PyErr_Occurred()) {
        throw PyErrSet{};
    }
    return found;
}

// ---------------------------------------------------------------- the class surface

constexpr Param kSelf{"self", nullptr, Rule::Any};

// clang-format off: one method per entry, its parameters packed as they read best
const MethodSpec kMethods[] = {
    {"__init__", nullptr, nullptr, 5,
     {kSelf, {"thread", "bool", Rule::Any}, {"host", "str", Rule::Str}, {"port", "int", Rule::Int},
      {"workers", "int", Rule::Int}},
     init, init_defaults},
    {"_shutdown_executor", nullptr, nullptr, 1, {kSelf}, shutdown, nullptr},
    {"_worker_loop", nullptr, nullptr, 1, {kSelf}, worker_loop, nullptr},
    {"_write_",
     "\n        Internal function that is executed in background thread\n        Args:\n            data,\n"
     "            redis_key:\n        Returns:\n\n        ",
     "bool", 4,
     {kSelf, {"data", "dict", Rule::Dict}, {"redis_key", "str", Rule::Str}, {"ttl", "Optional[int]", Rule::OptInt}},
     write_step, ttl_default},
    {"write_kelm_data",
     "\n        Write video frame to the target redis key. If data is None, deletes the key.\n        Args:\n"
     "                data: Data dict to write, or None to delete the key.\n"
     "                redis_key(str): Target redis key.\n"
     "                ttl(int): Optional time-to-live in seconds.\n        ",
     "bool", 4,
     {kSelf, {"data", "Optional[dict]", Rule::OptDict}, {"redis_key", "str", Rule::Str},
      {"ttl", "Optional[int]", Rule::OptInt}},
     write_kelm_data, ttl_default},
    {"delete_data",
     "Delete data from the target redis location\n\n        Args:\n            redis_key(str): Target redis key.\n"
     "        ",
     "bool", 2, {kSelf, {"redis_key", "str", Rule::Str}}, delete_data, nullptr},
    {"delete_many",
     "Delete multiple keys in a single Redis command.\n\n        Args:\n"
     "            redis_keys(list): List of Redis keys to delete.\n\n        Returns:\n"
     "            int: Number of keys that were deleted.\n        ",
     "int", 2, {kSelf, {"redis_keys", "list", Rule::List}}, delete_many, nullptr},
    {"scan_keys",
     "Return all existing keys matching a glob pattern using SCAN (non-blocking).\n\n        Args:\n"
     "            pattern(str): Redis glob pattern, e.g. ``'redis_<node_id>_*'``.\n\n        Returns:\n"
     "            list: List of matching key strings.\n        ",
     "list", 2, {kSelf, {"pattern", "str", Rule::Str}}, scan_keys, nullptr},
    {"write_data",
     "Write data to the target redis location\n\n        Args:\n            redis_key(str): Target redis key.\n"
     "            data(str): Data to be written.\n        ",
     "bool", 4,
     {kSelf, {"redis_key", "str", Rule::Str}, {"data", "Union[str, dict]", Rule::Any},
      {"ttl", "Optional[int]", Rule::OptInt}},
     write_data, ttl_default},
    {"read_data",
     "Read data from the target redis location\n\n        Args:\n            redis_key(str): Target redis key.\n"
     "        ",
     "Any", 2, {kSelf, {"redis_key", "str", Rule::Str}}, read_data, nullptr},
    {"read_kelm_data",
     "Read video frame from a given redis key\n\n        Args:\n            redis_key(str): Target redis key.\n"
     "        ",
     nullptr, 2, {kSelf, {"redis_key", "str", Rule::Str}}, read_kelm_data, nullptr},
};
// clang-format on

}  // namespace

const char* const kClassDoc =
    "Represents a redis client specified for the containers.\n\n    Args:\n"
    "        thread(bool): Use threading or not\n        host(str): Redis server host\n"
    "        port(int): Redis server port\n    ";

void install_process_hooks(Borrowed module) {
    Borrowed globals = PyModule_GetDict(module.get());
    Owned after_fork = Owned::steal(PyCFunction_New(&after_fork_def, module.get()));
    Owned os = lookup_global(globals, Owned::steal(PyUnicode_FromString("os")).get());
    call_method_kw(n.register_at_fork, n.kw_after_in_child, os, after_fork);
    // An interpreter without it, or one already shutting down, goes without.
    ignoring_errors([&] {
        Owned child_exit = Owned::steal(PyCFunction_New(&child_exit_def, module.get()));
        call_method(n.register_atexit_, lookup_global(globals, n.threading), child_exit);
    });
}

Span<const MethodSpec> client_methods() { return {kMethods, sizeof(kMethods) / sizeof(kMethods[0])}; }

}  // namespace stashel
