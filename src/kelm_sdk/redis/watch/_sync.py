"""`Watcher`: the core's loop over redis-py's blocking client."""

from __future__ import annotations

import inspect
import os
import socket
import threading
import time
from collections.abc import Iterable, Iterator
from typing import Any

import redis
import redis.cluster
from redis.backoff import NoBackoff
from redis.retry import Retry

from .. import _settings
from ._core import (
    DEFAULT_MAX_PENDING,
    DEFAULT_PING_INTERVAL,
    IO_TIMEOUT,
    LOST,
    READ_BUDGET,
    SLICE,
    Action,
    Connect,
    Core,
    Drop,
    Get,
    Ping,
    Read,
    Return,
    Scan,
    check_options,
    check_timeout,
)

# Fixed once, at import, like Stashel's default host and settings.
_DEFAULT_HOST = os.environ.get("REDIS_HOST", "localhost")
_SETTINGS = _settings.read(os.environ, _DEFAULT_HOST)


def keepalive_options() -> dict[int, int]:
    """TCP keepalive for the Watcher's own connections: first probe after 15 s
    idle, then every 5 s, given up after 3 unanswered (where the OS has these knobs)."""
    wanted = {"TCP_KEEPIDLE": 15, "TCP_KEEPINTVL": 5, "TCP_KEEPCNT": 3}
    return {getattr(socket, name): value for name, value in wanted.items() if hasattr(socket, name)}


def socket_options(tcp: bool = True) -> dict[str, Any]:
    """Short socket timeouts (no command holds a get() past its bounds) and,
    over TCP, keepalive."""
    options: dict[str, Any] = {"socket_connect_timeout": IO_TIMEOUT, "socket_timeout": IO_TIMEOUT}
    if tcp:
        options.update(socket_keepalive=True, socket_keepalive_options=keepalive_options())
    return options


def own_client(redis_module: Any, retry: Any, host: str | None, port: int | None, *, asyncio: bool = False) -> Any:
    """The Watcher's own client from `redis_module` (redis or redis.asyncio),
    to the server the arguments or the environment name. `retry` allows no
    retries inside redis-py: a lost connection comes straight back to the
    core, where the backoff is bounded and close() is heard."""
    if not _SETTINGS.configured:
        host = _DEFAULT_HOST if host is None else host
        return redis_module.Redis(host=host, port=6379 if port is None else port, **socket_options(), retry=retry)
    options = _settings.connection_options(_SETTINGS, host, port, asyncio=asyncio)
    tcp = "path" not in options
    pool = redis_module.ConnectionPool(**options, **socket_options(tcp), retry=retry)
    return redis_module.Redis.from_pool(pool)  # closed with the client


class Watcher:
    """Delivers `(key, value)` for every change announced on `<key>_notify`.

    keys          names of keys to watch (SUBSCRIBE `<key>_notify`)
    patterns      glob patterns over key names (PSUBSCRIBE `<pattern>_notify`)
    host/port     the server, when no `client` is given (by default the one
                  REDIS_URL names, else REDIS_HOST or localhost, and 6379;
                  logged in as the environment says: docs/security.md)
    client        an existing redis-py client to use instead (a Sentinel
                  master, a cluster client, or a Stashel's `_redis_client`);
                  it is not closed by `close()`, and its own socket timeouts
                  bound each command sent through it
    decode        True: values as `Stashel.read_kelm_data` gives them (the
                  decoded frame, or None with a warning line when it does not
                  decode); False: the stored bytes
    initial       deliver each watched key that exists at the start first
    max_pending   most keys kept pending; past it the Watcher drops them and
                  delivers every watched key again (a resync)
    ping_interval seconds without traffic on the subscription after which
                  the Watcher checks it with PING; no reply within as long
                  again is a lost connection (None: never)
    """

    def __init__(
        self,
        keys: Iterable[str] = (),
        patterns: Iterable[str] = (),
        *,
        host: str | None = None,
        port: int | None = None,
        client: redis.Redis | redis.cluster.RedisCluster | None = None,
        decode: bool = True,
        initial: bool = True,
        max_pending: int = DEFAULT_MAX_PENDING,
        ping_interval: float | None = DEFAULT_PING_INTERVAL,
    ) -> None:
        core = Core(
            keys, patterns, decode=decode, initial=initial, max_pending=max_pending, ping_interval=ping_interval
        )
        check_options(host, port, decode, initial, max_pending, ping_interval)
        if client is not None and (
            not callable(getattr(client, "pubsub", None)) or _is_async(getattr(client, "execute_command", None))
        ):
            raise TypeError(f"client must be a redis-py client, not {type(client).__name__}")

        self._core = core
        self._owns_client = client is None
        if client is None:
            client = own_client(redis, Retry(NoBackoff(), 0), host, port)
        elif hasattr(client, "get_primaries"):  # a cluster client: SCAN goes over each primary
            core.over_cluster(client.get_primaries)
        self._client: Any = client
        self._pubsub: Any = None
        self._busy = threading.Lock()  # held by the thread doing server work
        self._closed = threading.Event()
        self._torn_down = False
        try:
            self._run(None, until_live=True)  # ready on return: every subscription confirmed
        except BaseException:
            self._teardown()
            raise

    # -- public ----------------------------------------------------------------

    def get(self, timeout: float | None = None) -> tuple[str, Any] | None:
        """The next change as `(key, value)`; None at the timeout or once closed."""
        check_timeout(timeout)
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._busy.acquire(timeout=SLICE):
            if self._core.closed or (deadline is not None and time.monotonic() >= deadline):
                return None
        try:
            return self._run(deadline)
        finally:
            self._busy.release()
            if self._core.closed:
                self._try_teardown()

    def close(self) -> None:
        """Stops the Watcher; idempotent and safe from any thread. A blocked
        get() returns None within 0.5 s."""
        self._core.close()
        self._closed.set()
        self._try_teardown()

    @property
    def closed(self) -> bool:
        return self._core.closed

    def stats(self) -> dict[str, int]:
        """Counters since construction: notifications received, deliveries
        made, notifications coalesced into a pending one, keys skipped
        (gone at delivery, or a name that is not UTF-8), reconnects,
        resyncs after the pending keys overflowed, keys pending now."""
        return self._core.stats()

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
        core = self._core
        return f"<Watcher keys={list(core.keys)!r} patterns={list(core.patterns)!r} {core.state()}>"

    # -- the loop --------------------------------------------------------------

    def _run(self, deadline: float | None, until_live: bool = False) -> tuple[str, Any] | None:
        core = self._core
        core.begin(deadline)
        step, do, failed, now = core.step, self._do, core.failed, time.monotonic
        while not (until_live and core.live):
            op = step(now())
            if type(op) is Return:
                if until_live:
                    raise redis.ConnectionError("closed while subscribing")
                return op.delivery
            try:
                do(op)
            except Exception as exc:
                if not failed(op, exc):
                    raise
        return None

    def _do(self, op: Action) -> None:
        """Carries out one operation and reports its outcome."""
        core = self._core
        if type(op) is Read:
            self._read(op.wait)
        elif type(op) is Get:
            core.got(self._client.execute_command("GET", op.name, NEVER_DECODE=True))
        elif type(op) is Scan:
            options = {} if op.node is None else {"target_nodes": op.node}
            core.scanned(
                self._client.scan(cursor=op.cursor, match=op.pattern, count=op.count, NEVER_DECODE=True, **options)
            )
        elif type(op) is Ping:
            self._pubsub.ping()
            core.pinged(time.monotonic())
        elif type(op) is Connect:
            self._subscribe(op)
            core.subscribed(time.monotonic())
        elif type(op) is Drop:
            self._drop_pubsub()
            if op.pool and self._owns_client:
                self._client.connection_pool.disconnect()
            error = core.dropped(time.monotonic())
            if error is not None:
                raise error
        else:  # Wait
            self._closed.wait(op.seconds)

    def _read(self, timeout: float) -> None:
        pubsub = self._pubsub
        count = 0
        # A look at the parser's buffer and the socket costs half an empty
        # get_message, which is what most calls would find.
        if timeout or pubsub.connection.can_read(timeout=0):
            get_message, take = pubsub.get_message, self._core.take
            message = get_message(timeout=timeout)
            while message is not None:
                take(message)
                count += 1
                if count == READ_BUDGET:
                    break
                message = get_message(timeout=0)
        self._core.read_done(count, count == READ_BUDGET, time.monotonic())

    # -- connection ------------------------------------------------------------

    def _subscribe(self, op: Connect) -> None:
        self._drop_pubsub()  # one left by an interrupted attempt
        pubsub: Any = self._client.pubsub()
        self._pubsub = pubsub
        if op.channels:
            pubsub.subscribe(*op.channels)
        if op.patterns:
            pubsub.psubscribe(*op.patterns)
        pubsub.connection.register_connect_callback(self._on_connect)

    def _on_connect(self, connection: Any) -> None:
        # redis-py calls this when it connects the pub/sub connection again
        # (and resubscribes by itself): the changes made meanwhile were not
        # announced to us, so it counts as a loss.
        pubsub = self._pubsub
        if pubsub is not None and connection is pubsub.connection:
            self._core.client_reconnected()

    def _drop_pubsub(self) -> None:
        pubsub, self._pubsub = self._pubsub, None
        if pubsub is None:
            return
        connection = pubsub.connection
        if connection is not None:
            connection.deregister_connect_callback(self._on_connect)
        try:
            pubsub.close()
        except LOST:
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
        self._core.close()
        self._closed.set()
        self._drop_pubsub()
        self._core.release()
        if self._owns_client:
            self._client.close()


def _is_async(method: Any) -> bool:
    return inspect.iscoroutinefunction(method)
