// The class table: Stashel's docstring and each method as Python sees it
// (name, docstring, parameters with annotation and type rule, defaults), in
// class order.
#include "class_table.hpp"

#include "operations.hpp"
#include "writer_thread.hpp"

namespace stashel {

namespace {

Owned ttl_default(Borrowed) { return Owned::steal(PyTuple_Pack(1, Py_None)); }

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

Span<const MethodSpec> class_methods() { return {kMethods, sizeof(kMethods) / sizeof(kMethods[0])}; }

}  // namespace stashel
