"""`AsyncWatcher`: the core's loop over redis.asyncio."""

from __future__ import annotations

import asyncio
import time
from collections.abc import AsyncIterator, Iterable
from typing import Any

import redis
import redis.asyncio
import redis.asyncio.cluster
from redis.asyncio.retry import Retry
from redis.backoff import NoBackoff

from ._core import (
    DEFAULT_MAX_PENDING,
    DEFAULT_PING_INTERVAL,
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
from ._sync import _is_async, own_client


class AsyncWatcher:
    """`Watcher` for asyncio applications, on redis.asyncio: the same
    arguments (`client` is a redis.asyncio client) and guarantees.

    The constructor sends nothing: `async with AsyncWatcher(...) as w:` is
    ready (every subscription confirmed) on entry; a get() before that
    subscribes first. `await w.get(timeout=None)` gives `(key, value)` or
    None; `async for key, value in w:` runs until `await w.aclose()`
    (idempotent, from any task). No wait blocks the event loop.
    """

    def __init__(
        self,
        keys: Iterable[str] = (),
        patterns: Iterable[str] = (),
        *,
        host: str | None = None,
        port: int | None = None,
        client: redis.asyncio.Redis | redis.asyncio.cluster.RedisCluster | None = None,
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
            not callable(getattr(client, "pubsub", None)) or not _is_async(getattr(client, "execute_command", None))
        ):
            raise TypeError(f"client must be a redis.asyncio client, not {type(client).__name__}")
        self._core = core
        self._owns_client = client is None
        if client is None:
            client = own_client(redis.asyncio, Retry(NoBackoff(), 0), host, port, asyncio=True)
        elif hasattr(client, "get_primaries"):  # a cluster client: SCAN goes over each primary
            core.over_cluster(client.get_primaries)
        self._client: Any = client
        self._pubsub: Any = None
        self._busy = asyncio.Lock()  # held by the task doing server work
        self._torn_down = False

    # -- public ----------------------------------------------------------------

    async def get(self, timeout: float | None = None) -> tuple[str, Any] | None:
        """The next change as `(key, value)`; None at the timeout or once closed."""
        check_timeout(timeout)
        core = self._core
        deadline = None if timeout is None else time.monotonic() + timeout
        while self._busy.locked():  # another task is in get()
            if core.closed or (deadline is not None and time.monotonic() >= deadline):
                return None
            await asyncio.sleep(SLICE / 10)
        async with self._busy:
            if self._torn_down:
                return None
            try:
                return await self._run(deadline, until_live=False)
            finally:
                if core.closed:
                    await self._teardown()

    async def aclose(self) -> None:
        """Stops the Watcher and closes its connections; idempotent, from any
        task. A get() blocked in another task returns None within 0.5 s."""
        self._core.close()
        async with self._busy:
            await self._teardown()

    @property
    def closed(self) -> bool:
        return self._core.closed

    def stats(self) -> dict[str, int]:
        """The same counters as `Watcher.stats()`."""
        return self._core.stats()

    def __aiter__(self) -> AsyncIterator[tuple[str, Any]]:
        return self

    async def __anext__(self) -> tuple[str, Any]:
        item = await self.get()
        if item is None:
            raise StopAsyncIteration
        return item

    async def __aenter__(self) -> AsyncWatcher:
        async with self._busy:
            if not self._torn_down:
                try:
                    await self._run(None, until_live=True)
                except BaseException:
                    await self._teardown()
                    raise
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        core = self._core
        return f"<AsyncWatcher keys={list(core.keys)!r} patterns={list(core.patterns)!r} {core.state()}>"

    # -- the loop --------------------------------------------------------------

    async def _run(self, deadline: float | None, until_live: bool) -> tuple[str, Any] | None:
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
                await do(op)
            except Exception as exc:
                if not failed(op, exc):
                    raise
        return None

    async def _do(self, op: Action) -> None:
        """As `Watcher._do`."""
        core = self._core
        if type(op) is Read:
            await self._read(op.wait)
        elif type(op) is Get:
            core.got(await self._client.execute_command("GET", op.name, NEVER_DECODE=True))
        elif type(op) is Scan:
            options = {} if op.node is None else {"target_nodes": op.node}
            core.scanned(
                await self._client.scan(
                    cursor=op.cursor, match=op.pattern, count=op.count, NEVER_DECODE=True, **options
                )
            )
        elif type(op) is Ping:
            await self._pubsub.ping()
            core.pinged(time.monotonic())
        elif type(op) is Connect:
            await self._subscribe(op)
            core.subscribed(time.monotonic())
        elif type(op) is Drop:
            await self._drop_pubsub()
            if op.pool and self._owns_client:
                await self._client.connection_pool.disconnect()
            error = core.dropped(time.monotonic())
            if error is not None:
                raise error
        else:  # Wait: slices of at most SLICE, so close() is seen
            await asyncio.sleep(op.seconds)

    async def _read(self, timeout: float) -> None:
        pubsub = self._pubsub
        get_message, take = pubsub.get_message, self._core.take
        count = 0
        message = await get_message(timeout=timeout)
        while message is not None:
            take(message)
            count += 1
            if count == READ_BUDGET:
                break
            message = await get_message(timeout=0)
            if message is None:
                # timeout=0 finds only what the transport has buffered: one
                # turn of the event loop lets it read the socket again.
                await asyncio.sleep(0)
                message = await get_message(timeout=0)
        self._core.read_done(count, count == READ_BUDGET, time.monotonic())

    # -- connection ------------------------------------------------------------

    async def _subscribe(self, op: Connect) -> None:
        await self._drop_pubsub()  # one left by a cancelled attempt
        pubsub: Any = self._client.pubsub()
        self._pubsub = pubsub
        if op.channels:
            await pubsub.subscribe(*op.channels)
        if op.patterns:
            await pubsub.psubscribe(*op.patterns)
        pubsub.connection.register_connect_callback(self._on_connect)

    def _on_connect(self, connection: Any) -> None:
        # As Watcher._on_connect: redis-py reconnected the subscription by itself.
        pubsub = self._pubsub
        if pubsub is not None and connection is pubsub.connection:
            self._core.client_reconnected()

    async def _drop_pubsub(self) -> None:
        pubsub, self._pubsub = self._pubsub, None
        if pubsub is None:
            return
        connection = pubsub.connection
        if connection is not None:
            connection.deregister_connect_callback(self._on_connect)
        try:
            await pubsub.aclose()
        except LOST:
            pass

    async def _teardown(self) -> None:
        if self._torn_down:
            return
        self._torn_down = True
        self._core.release()
        try:
            await self._drop_pubsub()
        finally:
            if self._owns_client:
                await self._client.aclose()
