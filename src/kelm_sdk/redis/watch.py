"""The consumer side of `<key>_notify`: a Watcher delivers every change
announced for the keys (or key patterns) it watches.

Each delivery is `(key, value)`, the value read when it is delivered, so a
burst of writes to one key before the consumer gets to it costs one read.
The Watcher owns its pub/sub connection: it subscribes before it returns,
notices a lost connection (even one redis-py re-established by itself),
reconnects with a bounded backoff and then delivers every watched key again,
since changes made while it was away were announced to nobody.

All server work happens on the thread that calls `get` (or iterates); no
background thread is started. `close` may be called from any thread.
"""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Iterable, Iterator
from typing import Any

import orjson
import redis
import redis.cluster
from redis.backoff import NoBackoff
from redis.retry import Retry

from kelm_sdk.logging.logger import get_logger

__all__ = ["Watcher"]

logger = get_logger("REDIS")

# Fixed once, at import, like Stashel's default host.
_DEFAULT_HOST = os.environ.get("REDIS_HOST", "localhost")

SUFFIX = "_notify"
_SUFFIX_LEN = len(SUFFIX)
# Longest a blocked get() waits before it looks at the close flag again.
_SLICE = 0.1
# Reconnect backoff: first retry after 0.1 s, doubling up to 2 s between attempts.
_BACKOFF_FIRST = 0.1
_BACKOFF_MAX = 2.0
# How long the server may take to confirm the subscriptions.
_CONFIRM_TIMEOUT = 10.0

# Errors that mean the connection (or the server behind it) is gone.
_LOST = (redis.ConnectionError, redis.TimeoutError, OSError)


def _names(value: Any, argument: str) -> tuple[str, ...]:
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{argument} must be a collection of str, not a single {type(value).__name__}")
    try:
        items = tuple(value)
    except TypeError:
        raise TypeError(f"{argument} must be a collection of str, not {type(value).__name__}") from None
    for item in items:
        if type(item) is not str:
            raise TypeError(f"{argument} must hold only str, got {type(item).__name__}")
    return tuple(dict.fromkeys(items))


def _text(name: Any) -> str:
    return name.decode("utf-8", "surrogateescape") if isinstance(name, bytes) else name


class Watcher:
    """Delivers `(key, value)` for every change announced on `<key>_notify`.

    keys      names of keys to watch (SUBSCRIBE `<key>_notify`)
    patterns  glob patterns over key names (PSUBSCRIBE `<pattern>_notify`)
    host/port the server, when no `client` is given
    client    an existing redis-py client to use instead (a Sentinel master,
              a cluster client, or a Stashel's `_redis_client`); it is not
              closed by `close()`
    decode    True: values as `Stashel.read_kelm_data` gives them (the
              decoded frame, or None with a warning line when it does not
              decode); False: the raw reply of GET
    initial   deliver each watched key that exists at the start first
    """

    def __init__(
        self,
        keys: Iterable[str] = (),
        patterns: Iterable[str] = (),
        *,
        host: str = _DEFAULT_HOST,
        port: int = 6379,
        client: redis.Redis | redis.cluster.RedisCluster | None = None,
        decode: bool = True,
        initial: bool = True,
    ) -> None:
        self._keys = _names(keys, "keys")
        self._patterns = _names(patterns, "patterns")
        if not self._keys and not self._patterns:
            raise ValueError("Watcher needs at least one key or pattern")
        if type(host) is not str:
            raise TypeError(f"host must be str, not {type(host).__name__}")
        if type(port) is not int:
            raise TypeError(f"port must be int, not {type(port).__name__}")
        if type(decode) is not bool:
            raise TypeError(f"decode must be bool, not {type(decode).__name__}")
        if type(initial) is not bool:
            raise TypeError(f"initial must be bool, not {type(initial).__name__}")
        if client is not None and not callable(getattr(client, "pubsub", None)):
            raise TypeError(f"client must be a redis-py client, not {type(client).__name__}")

        self._decode = decode
        self._owns_client = client is None
        if client is None:
            # No retries inside redis-py: a lost connection comes straight
            # back here, where the backoff is bounded and close() is heard.
            client = redis.Redis(
                host=host, port=port, socket_connect_timeout=2, socket_timeout=5, retry=Retry(NoBackoff(), 0)
            )
        self._client = client
        self._channels = [key + SUFFIX for key in self._keys]
        self._channel_patterns = [pattern + SUFFIX for pattern in self._patterns]

        # key text -> key as sent to GET, in the order first notified.
        self._pending: dict[str, bytes] = {}
        self._pubsub: Any = None
        self._reconnected = False  # set by the connect callback
        self._retry_at = 0.0
        self._delay = 0.0
        self._lost_at = 0.0
        self._busy = threading.Lock()  # held by the thread doing server work
        self._closed = threading.Event()
        self._torn_down = False
        self._stats = {"notifications": 0, "deliveries": 0, "coalesced": 0, "skipped": 0, "reconnects": 0}
        try:
            self._connect()
            if initial:
                self._enqueue_all()
        except BaseException:
            self._teardown()
            raise

    # -- public ----------------------------------------------------------------

    def get(self, timeout: float | None = None) -> tuple[str, Any] | None:
        """The next change as `(key, value)`; None at the timeout or once closed."""
        if timeout is not None:
            if type(timeout) not in (int, float):
                raise TypeError(f"timeout must be a number or None, not {type(timeout).__name__}")
            if not timeout >= 0:  # also refuses NaN
                raise ValueError(f"timeout must be >= 0, got {timeout!r}")
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._busy.acquire(timeout=_SLICE):
            if self._closed.is_set() or (deadline is not None and time.monotonic() >= deadline):
                return None
        try:
            return self._next(deadline)
        finally:
            self._busy.release()
            if self._closed.is_set():
                self._try_teardown()

    def close(self) -> None:
        """Stops the Watcher; idempotent and safe from any thread. A blocked
        get() returns None within 0.5 s."""
        self._closed.set()
        self._try_teardown()

    @property
    def closed(self) -> bool:
        return self._closed.is_set()

    def stats(self) -> dict[str, int]:
        """Counters since construction: notifications received, deliveries
        made, notifications coalesced into a pending one, keys skipped
        because they were gone at delivery, reconnects, keys pending now."""
        return {**self._stats, "pending": len(self._pending)}

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        return self

    def __next__(self) -> tuple[str, Any]:
        item = self.get()
        if item is None:
            raise StopIteration
        return item

    def __enter__(self) -> Watcher:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else ("reconnecting" if self._pubsub is None else "open")
        return f"<Watcher keys={list(self._keys)!r} patterns={list(self._patterns)!r} {state}>"

    # -- delivery --------------------------------------------------------------

    def _next(self, deadline: float | None) -> tuple[str, Any] | None:
        pending = self._pending
        while not self._closed.is_set():
            if self._pubsub is None and not self._reconnect(deadline):
                return None
            try:
                self._drain(0)
                if not pending:
                    wait = _SLICE if deadline is None else min(_SLICE, deadline - time.monotonic())
                    if wait <= 0:
                        return None
                    self._drain(wait)
                if self._reconnected:
                    raise redis.ConnectionError("the client reconnected by itself")
            except _LOST as exc:
                self._lost(exc)
                continue
            if not pending:
                continue
            key = next(iter(pending))
            try:
                value = self._client.get(pending[key])
            except _LOST as exc:
                self._lost(exc)
                continue
            except redis.RedisError as exc:  # the server refused the read (a key of another type, say)
                del pending[key]
                self._stats["deliveries"] += 1
                logger.warning("Failed to get redis frame from %s - %s", key, exc)
                return key, None
            del pending[key]
            if value is None:
                self._stats["skipped"] += 1
                continue
            self._stats["deliveries"] += 1
            if self._decode:
                value = self._decoded(key, value)
            return key, value
        return None

    def _decoded(self, key: str, value: Any) -> Any:
        if not isinstance(value, bytes):
            return value
        try:
            return orjson.loads(value)
        except ValueError as exc:  # orjson.JSONDecodeError
            logger.warning("Failed to get redis frame from %s - %s", key, exc)
            return None

    def _drain(self, timeout: float) -> None:
        """Reads every message available now (waiting up to `timeout` for the
        first) into the pending keys."""
        pubsub = self._pubsub
        # A look at the parser's buffer and the socket costs half an empty
        # get_message, which is what most calls would find.
        if not timeout and not pubsub.connection.can_read(timeout=0):
            return
        get_message, take = pubsub.get_message, self._take
        message = get_message(timeout=timeout)
        while message is not None:
            take(message)
            message = get_message(timeout=0)

    def _take(self, message: dict[str, Any]) -> None:
        if message["type"] not in ("message", "pmessage"):
            return
        channel = message["channel"]
        self._stats["notifications"] += 1
        name = _text(channel)[:-_SUFFIX_LEN]
        if name in self._pending:
            self._stats["coalesced"] += 1
        else:
            self._pending[name] = channel[:-_SUFFIX_LEN] if isinstance(channel, bytes) else name.encode()

    def _enqueue_all(self) -> None:
        """Every watched key again: the named ones, then SCAN matches of the
        patterns (a key that does not exist is skipped at delivery)."""
        pending = self._pending
        for key in self._keys:
            pending.setdefault(key, key.encode("utf-8", "surrogateescape"))
        for pattern in self._patterns:
            for name in self._client.scan_iter(match=pattern):
                key = _text(name)
                pending.setdefault(key, name if isinstance(name, bytes) else key.encode())

    # -- connection ------------------------------------------------------------

    def _connect(self) -> None:
        """A new pub/sub connection, returned once the server has confirmed
        every subscription. Notifications that arrive meanwhile are kept."""
        pubsub: Any = self._client.pubsub()
        self._pubsub = pubsub
        self._reconnected = False
        if self._channels:
            pubsub.subscribe(*self._channels)
        if self._channel_patterns:
            pubsub.psubscribe(*self._channel_patterns)
        pubsub.connection.register_connect_callback(self._on_connect)
        waiting = {("subscribe", c) for c in self._channels} | {("psubscribe", p) for p in self._channel_patterns}
        deadline = time.monotonic() + _CONFIRM_TIMEOUT
        while waiting:
            if self._closed.is_set():
                raise redis.ConnectionError("closed while subscribing")
            left = deadline - time.monotonic()
            if left <= 0:
                raise redis.TimeoutError("the server did not confirm the subscriptions")
            message = pubsub.get_message(timeout=min(left, _SLICE))
            if message is None:
                continue
            if message["type"] in ("subscribe", "psubscribe"):
                waiting.discard((message["type"], _text(message["channel"])))
            else:
                self._take(message)
            if self._reconnected:
                raise redis.ConnectionError("the client reconnected by itself")

    def _on_connect(self, connection: Any) -> None:
        # redis-py calls this when it connects the pub/sub connection again
        # (and resubscribes by itself): the changes made meanwhile were not
        # announced to us, so it counts as a loss.
        pubsub = self._pubsub
        if pubsub is not None and connection is pubsub.connection:
            self._reconnected = True

    def _lost(self, exc: BaseException) -> None:
        logger.warning("Watcher lost its connection to the server, reconnecting - %s", exc)
        self._drop_pubsub()
        self._lost_at = time.monotonic()
        self._retry_at = self._lost_at
        self._delay = _BACKOFF_FIRST

    def _reconnect(self, deadline: float | None) -> bool:
        """Attempts until connected (True), the deadline passes or close()."""
        while True:
            now = time.monotonic()
            if now < self._retry_at:
                until = self._retry_at if deadline is None else min(self._retry_at, deadline)
                if self._closed.wait(max(0.0, min(until - now, _SLICE))):
                    return False
                if deadline is not None and time.monotonic() >= deadline:
                    return False
                continue
            try:
                self._connect()
                self._enqueue_all()
            except _LOST:
                self._drop_pubsub()
                if self._closed.is_set():
                    return False
                self._retry_at = time.monotonic() + self._delay
                self._delay = min(self._delay * 2, _BACKOFF_MAX)
                continue
            self._stats["reconnects"] += 1
            logger.info("Watcher reconnected after %.2f s", time.monotonic() - self._lost_at)
            return True

    def _drop_pubsub(self) -> None:
        pubsub, self._pubsub = self._pubsub, None
        if pubsub is None:
            return
        connection = pubsub.connection
        if connection is not None:
            connection.deregister_connect_callback(self._on_connect)
        try:
            pubsub.close()
        except _LOST:
            pass

    def _try_teardown(self) -> None:
        # Only the thread holding _busy touches the connection; a get() in
        # progress does this itself on its way out.
        if self._busy.acquire(blocking=False):
            try:
                self._teardown()
            finally:
                self._busy.release()

    def _teardown(self) -> None:
        if self._torn_down:
            return
        self._torn_down = True
        self._closed.set()
        self._drop_pubsub()
        self._pending.clear()
        if self._owns_client:
            self._client.close()
