// Interned names and constants used on every call. They are created once per
// process, by the first successful module load, and live until the process
// ends (the module cannot be loaded a second time).
#pragma once

#include "pyref.hpp"

namespace stashel {

// member, text
// clang-format off: rows grouped by kind
#define STASHEL_INTERNED(X)                                                                    \
    /* instance attributes and methods */                                                      \
    X(_use_thread, "_use_thread") X(_redis_client, "_redis_client") X(_executor, "_executor")  \
    X(_queue, "_queue") X(_worker, "_worker") X(_stop_evt, "_stop_evt")                        \
    X(_worker_loop, "_worker_loop") X(_shutdown_executor, "_shutdown_executor")                \
    X(_write_, "_write_") X(delete_data, "delete_data") X(read_data, "read_data")              \
    /* module-level bindings looked up at the moment of use */                                 \
    X(redis, "redis") X(orjson, "orjson") X(queue, "queue") X(threading, "threading")          \
    X(atexit, "atexit") X(logger, "logger")                                                    \
    /* attributes of those modules and objects */                                              \
    X(ConnectionPool, "ConnectionPool") X(StrictRedis, "StrictRedis") X(Queue, "Queue")        \
    X(Full, "Full") X(Empty, "Empty") X(Thread, "Thread") X(Event, "Event")                    \
    X(register_, "register") X(dumps, "dumps") X(loads, "loads") X(set, "set") X(get, "get")   \
    X(publish, "publish") X(del, "delete") X(scan_iter, "scan_iter")                           \
    X(put_nowait, "put_nowait") X(get_nowait, "get_nowait") X(task_done, "task_done")          \
    X(is_set, "is_set") X(wait, "wait") X(join, "join") X(start, "start")                      \
    X(warning, "warning") X(error, "error") X(decode, "decode") X(unregister, "unregister")    \
    X(maxsize, "maxsize") X(mutex, "mutex") X(not_empty, "not_empty") X(not_full, "not_full")  \
    X(all_tasks_done, "all_tasks_done") X(unfinished_tasks, "unfinished_tasks")               \
    X(qsize_, "_qsize") X(get_, "_get") X(acquire, "acquire") X(release, "release")            \
    X(notify, "notify") X(notify_all, "notify_all") X(register_at_fork, "register_at_fork")    \
    X(popleft, "popleft") X(append, "append") X(put_, "_put") X(register_atexit_, "_register_atexit") \
    X(parent_process, "parent_process")                                                      \
    /* texts */                                                                                \
    X(notify_suffix, "_notify") X(notify_message, "1") X(worker_name, "StashelWorker")         \
    X(empty, "")
// clang-format on

struct Names {
#define STASHEL_DECLARE(member, text) PyObject* member = nullptr;
    STASHEL_INTERNED(STASHEL_DECLARE)
#undef STASHEL_DECLARE
    // keyword-name tuples for vectorcall
    PyObject* kw_ex = nullptr;               // ("ex",)
    PyObject* kw_match = nullptr;            // ("match",)
    PyObject* kw_timeout = nullptr;          // ("timeout",)
    PyObject* kw_redis_key = nullptr;        // ("redis_key",)
    PyObject* kw_pool = nullptr;             // (host, port, max_connections, decode_responses)
    PyObject* kw_connection_pool = nullptr;  // ("connection_pool",)
    PyObject* kw_maxsize = nullptr;          // ("maxsize",)
    PyObject* kw_thread = nullptr;           // ("target", "name", "daemon")
    PyObject* kw_after_in_child = nullptr;   // ("after_in_child",)
    // numbers
    PyObject* queue_wait = nullptr;  // 0.2 seconds
    PyObject* join_wait = nullptr;   // 0.5 seconds
    PyObject* zero = nullptr;
    PyObject* one = nullptr;
    PyObject* five = nullptr;
    PyObject* ten = nullptr;
    // queue.Queue itself, never the module binding's: the one class whose
    // internals the writer relies on.
    PyObject* queue_class = nullptr;
};

extern Names names;

// Fills `names` on first use; later calls do nothing. Throws PyErrSet.
void intern_names();

}  // namespace stashel
