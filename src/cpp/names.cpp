#include "names.hpp"

namespace stashel {

Names names;

namespace {

PyObject* intern(const char* text) { return Owned::steal(PyUnicode_InternFromString(text)).release(); }

template <class... Text>
PyObject* keyword_tuple(Text... text) {
    return Owned::steal(PyTuple_Pack(sizeof...(text), intern(text)...)).release();
}

}  // namespace

void intern_names() {
    if (names.ten != nullptr) {
        return;
    }
    Names fresh;
#define STASHEL_FILL(member, text) fresh.member = intern(text);
    STASHEL_INTERNED(STASHEL_FILL)
#undef STASHEL_FILL
    fresh.kw_ex = keyword_tuple("ex");
    fresh.kw_match = keyword_tuple("match");
    fresh.kw_timeout = keyword_tuple("timeout");
    fresh.kw_redis_key = keyword_tuple("redis_key");
    fresh.kw_pool = keyword_tuple("host", "port", "max_connections", "decode_responses");
    fresh.kw_connection_pool = keyword_tuple("connection_pool");
    fresh.kw_maxsize = keyword_tuple("maxsize");
    fresh.kw_thread = keyword_tuple("target", "name", "daemon");
    fresh.kw_after_in_child = keyword_tuple("after_in_child");
    fresh.queue_wait = Owned::steal(PyFloat_FromDouble(0.2)).release();
    fresh.join_wait = Owned::steal(PyFloat_FromDouble(0.5)).release();
    fresh.zero = Owned::steal(PyLong_FromLong(0)).release();
    fresh.one = Owned::steal(PyLong_FromLong(1)).release();
    fresh.five = Owned::steal(PyLong_FromLong(5)).release();
    fresh.ten = Owned::steal(PyLong_FromLong(10)).release();
    Owned queue_module = Owned::steal(PyImport_ImportModule("queue"));
    fresh.queue_class = Owned::steal(PyObject_GetAttrString(queue_module.get(), "Queue")).release();
    names = fresh;
}

}  // namespace stashel
