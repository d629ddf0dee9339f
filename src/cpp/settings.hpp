// The connection settings from the environment (REDIS_URL, REDIS_USERNAME,
// REDIS_PASSWORD), read beside REDIS_HOST when the class is made, and the
// pool each instance builds from them. Their rules live in
// kelm_sdk/redis/_settings.py.
#pragma once

#include "method.hpp"

namespace stashel {

// Reads the settings from `environ`, with `host` the REDIS_HOST default just
// read. Once per process. Throws PyErrSet.
void read_settings(Borrowed environ, Borrowed host);

// The instance's own connection pool, from `redis` (the module's binding): redis.ConnectionPool(host=, port=,
// max_connections=, decode_responses=False) when none of the settings is set; otherwise built from them, the host and
// port arguments winning when given. Throws PyErrSet.
Owned make_pool(const Call& c, Borrowed redis, Borrowed host, Borrowed port, Borrowed max_connections);

}  // namespace stashel
