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
    CONNECT,
    DEFAULT_MAX_PENDING,
    DEFAULT_PING_INTERVAL,
    FAIL,
    GET,
    PING,
    READ,
    READ_BUDGET,
    RETURN,
    SCAN,
    SLICE,
    Core,
    check_options,
    check_timeout,
)
from ._sync import LOST, REFUSED, _is_async, own_client


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
        self._core.closed = True
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
        step, do, now = core.step, self._do, time.monotonic
        while not (until_live and core.live):
            what, arg = step(now())
            if what == RETURN:
                if until_live:
                    raise redis.ConnectionError("closed while subscribing")
                return arg  # type: ignore[no-any-return]
            item = await do(what, arg)
            if item is not None:
                return item
        return None

    async def _do(self, what: int, arg: Any) -> tuple[str, Any] | None:
        """Carries out one operation; a delivery when it makes one."""
        core = self._core
        try:
            if what == READ:
                await self._read(arg)
            elif what == GET:
                try:
                    value = await self._client.execute_command("GET", arg, NEVER_DECODE=True)
                except LOST:
                    raise
                except REFUSED as exc:
                    return core.refused(exc)
                return core.got(value)
            elif what == SCAN:
                try:
                    found = await self._scan(*arg)
                except LOST:
                    raise
                except REFUSED as exc:
                    core.scan_refused(exc)
                else:
                    core.scanned(*found)
            elif what == PING:
                await self._pubsub.ping()
                core.pinged(time.monotonic())
            elif what == CONNECT:
                await self._subscribe()
                core.subscribed(time.monotonic())
            elif what == FAIL:
                raise (redis.TimeoutError if isinstance(arg, TimeoutError) else redis.ConnectionError)(str(arg))
            else:  # WAIT: slices of at most SLICE, so close() is seen
                await asyncio.sleep(arg)
        except LOST as exc:
            await self._drop_pubsub()
            if self._owns_client:  # its other connections went the same way, most likely
                await self._client.connection_pool.disconnect()
            if core.lost(exc, time.monotonic()):
                raise
        except UnicodeDecodeError as exc:  # only a read of the subscription decodes
            await self._drop_pubsub()
            core.undecodable_read(exc, time.monotonic())
        return None

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

    async def _scan(self, pattern: str, state: Any) -> tuple[Any, list[Any]]:
        """As `Watcher._scan`."""
        client, count = self._client, self._core.scan_count
        if hasattr(client, "get_primaries"):
            todo = state if state is not None else [(node, 0) for node in client.get_primaries()]
            if not todo:
                return None, []
            node, cursor = todo[0]
            cursors, found = await client.scan(
                cursor=cursor, match=pattern, count=count, target_nodes=node, NEVER_DECODE=True
            )
            rest = ([(node, cursors[node.name])] if cursors[node.name] else []) + todo[1:]
            return rest or None, found
        cursor, found = await client.scan(cursor=state or 0, match=pattern, count=count, NEVER_DECODE=True)
        return cursor or None, found

    # -- connection ------------------------------------------------------------

    async def _subscribe(self) -> None:
        core = self._core
        await self._drop_pubsub()  # one left by a cancelled attempt
        pubsub: Any = self._client.pubsub()
        self._pubsub = pubsub
        if core.channels:
            await pubsub.subscribe(*core.channels)
        if core.channel_patterns:
            await pubsub.psubscribe(*core.channel_patterns)
        pubsub.connection.register_connect_callback(self._on_connect)

    def _on_connect(self, connection: Any) -> None:
        # As Watcher._on_connect: redis-py reconnected the subscription by itself.
        pubsub = self._pubsub
        if pubsub is not None and connection is pubsub.connection:
            self._core.reconnected = True

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
        self._core.closed = True
        self._core.pending.clear()
        try:
            await self._drop_pubsub()
        finally:
            if self._owns_client:
                await self._client.aclose()
