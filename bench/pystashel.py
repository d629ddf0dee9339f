"""The client's operations written as a plain Python class, for the dispatch
comparison only: same attribute reads, type checks and client calls per
method, no queue or writer."""

from typing import ClassVar

import orjson


def _check(name, value, expected, none_ok=False):
    if type(value) is not expected and not (none_ok and value is None):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})"
        )


class PyStashel:
    def __init__(self, client):
        self._use_thread = False
        self._redis_client = client
        self._queue = None

    def _write_(self, data, redis_key, ttl=None):
        _check("data", data, dict)
        _check("redis_key", redis_key, str)
        _check("ttl", ttl, int, True)
        value = orjson.dumps(data)
        try:
            result = bool(self._redis_client.set(redis_key, value, ex=ttl))
            if not result:
                return False
            channel = redis_key + "_notify"
            try:
                self._redis_client.publish(channel, "1")
            except Exception as e:  # noqa: BLE001 - the client catches Exception here too
                print(f"Failed to publish notification to {channel}: {e}")
            return result
        except Exception as e:  # noqa: BLE001 - the client catches Exception here too
            print(f"Failed to write data to redis`{redis_key}` - {e}")
            return False

    def write_kelm_data(self, data, redis_key, ttl=None):
        _check("data", data, dict, True)
        _check("redis_key", redis_key, str)
        _check("ttl", ttl, int, True)
        if data is None:
            return self.delete_data(redis_key)
        if self._use_thread and self._queue is not None:
            raise NotImplementedError
        return self._write_(data, redis_key, ttl)

    def delete_data(self, redis_key):
        _check("redis_key", redis_key, str)
        return bool(self._redis_client.delete(redis_key))

    def delete_many(self, redis_keys):
        _check("redis_keys", redis_keys, list)
        if not redis_keys:
            return 0
        return self._redis_client.delete(*redis_keys)

    def scan_keys(self, pattern):
        _check("pattern", pattern, str)
        return [k.decode() if isinstance(k, bytes) else k for k in self._redis_client.scan_iter(match=pattern)]

    def write_data(self, redis_key, data, ttl=None):
        _check("redis_key", redis_key, str)
        _check("ttl", ttl, int, True)
        value = orjson.dumps(data) if isinstance(data, dict) else data
        if not self._redis_client.set(redis_key, value, ex=ttl):
            return False
        channel = redis_key + "_notify"
        try:
            self._redis_client.publish(channel, "1")
        except Exception as e:  # noqa: BLE001 - the client catches Exception here too
            print(f"Failed to publish notification to {channel}: {e}")
        return True

    def read_data(self, redis_key):
        _check("redis_key", redis_key, str)
        return self._redis_client.get(redis_key)

    def read_kelm_data(self, redis_key):
        _check("redis_key", redis_key, str)
        try:
            data = self.read_data(redis_key=redis_key)
            if isinstance(data, bytes):
                return orjson.loads(data)
            return data
        except Exception as e:  # noqa: BLE001 - the client catches Exception here too
            print(f"Failed to get redis frame from {redis_key} - {e}")
            return None


class NullClient:
    """A client that answers at once: no network, no parsing."""

    frame = b'{"frame":null,"result":[1,2]}'
    keys: ClassVar[list[bytes]] = [b"bench:k1", b"bench:k2", b"bench:k3"]

    def set(self, name, value, ex=None):
        return True

    def get(self, name):
        return self.frame

    def delete(self, *names):
        return 1

    def publish(self, channel, message):
        return 1

    def scan_iter(self, match=None):
        return iter(self.keys)
