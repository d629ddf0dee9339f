// The operations of Stashel: construction, the writes, the reads, the
// deletes and the key listing. Every server command goes through the
// `_redis_client` attribute and every module-level collaborator (redis,
// orjson, queue, threading, atexit, logger) is looked up when it is used,
// so callers and tests can replace any of them.
#include "operations.hpp"

#include <chrono>
#include <limits>
#include <utility>
#include <vector>

#include "handover.hpp"
#include "log_line.hpp"
#include "settings.hpp"
#include "writer_thread.hpp"

namespace stashel {

namespace {

const Names& n = names;

Owned error_text(const CaughtError& e) { return Owned::steal(PyObject_Format(e.value().get(), n.empty)); }

Owned redis_client(const Call& c) { return getattr(c.self(), n._redis_client); }

// How this thread's last write step ended, for the writer that called it.
thread_local std::optional<Outcome> last_step;

Owned write_result(Outcome outcome) {
    last_step = outcome;
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

}  // namespace

std::optional<Outcome> take_last_write_step() { return std::exchange(last_step, std::nullopt); }

// ---------------------------------------------------------------- construction

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
                // No writer of this module's (a caller set the attributes): the plain drop-oldest calls.
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

}  // namespace stashel
