#include "settings.hpp"

#include "names.hpp"
#include "pycall.hpp"

namespace stashel {

namespace {

// Process-wide, like the interned names: the class is made once.
PyObject* g_settings = nullptr;      // a kelm_sdk.redis._settings.Settings
PyObject* g_stashel_pool = nullptr;  // kelm_sdk.redis._settings.stashel_pool

Owned text(const char* value) { return Owned::steal(PyUnicode_FromString(value)); }

}  // namespace

void read_settings(Borrowed environ, Borrowed host) {
    Owned module = Owned::steal(PyImport_ImportModule("kelm_sdk.redis._settings"));
    Owned read = getattr(module, text("read").get());
    Owned settings = call_kw(read, nullptr, environ, host);
    Owned configured = getattr(settings, text("configured").get());
    Owned pool = getattr(module, text("stashel_pool").get());
    g_settings = truth(configured) ? settings.release() : nullptr;
    g_stashel_pool = pool.release();
}

Owned make_pool(const Call& c, Borrowed redis, Borrowed host, Borrowed port, Borrowed max_connections) {
    if (g_settings == nullptr) {
        return call_method_kw(names.ConnectionPool, names.kw_pool, redis, host, port, max_connections, Py_False);
    }
    Borrowed given_host = c.given(2) ? host : Borrowed(Py_None);
    Borrowed given_port = c.given(3) ? port : Borrowed(Py_None);
    return call_kw(g_stashel_pool, nullptr, redis, g_settings, given_host, given_port, max_connections);
}

}  // namespace stashel
