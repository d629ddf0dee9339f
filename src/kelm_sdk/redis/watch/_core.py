"""What a Watcher decides, without any I/O: the pending keys, coalescing in
first-notified order, the cap and the resynchronisation it forces, the PING
check of an idle subscription, the reconnect backoff, the stats, the
decoding of channel and key names, and which exceptions of the client are
outcomes (a lost connection, a refused command, a name that does not decode).

Both faces (`Watcher` over redis, `AsyncWatcher` over redis.asyncio) run the
same loop: `begin(deadline)`, then `step(now)` names the next operation; on
`Return` the face gives back its delivery (None at the deadline or once
closed), otherwise it carries the operation out and reports the outcome
(`take` for each message read and `read_done`, `got`, `scanned`, `pinged`,
`subscribed`, `dropped`), or hands an exception the operation raised to
`failed`. A failure the core decides itself (the client reconnected on its
own, no reply to PING in time, subscriptions not confirmed in time) moves it
to `Phase.LOST`, whose operation is `Drop`. The faces change no state here
but through these methods and `close`, `release`, `client_reconnected` (and
`over_cluster`, once, for a cluster client), so every guarantee is written
once, with the caller's deadline and `closed` in view.
"""

from __future__ import annotations

import enum
import itertools
import math
import threading
import weakref
from collections import OrderedDict
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any, TypeAlias, final

import orjson
import redis

from kelm_sdk.logging.logger import get_logger

logger = get_logger("REDIS")

SUFFIX = "_notify"
_SUFFIX_LEN = len(SUFFIX)

# Longest single wait: a blocked get() looks at close() and its deadline this often.
SLICE = 0.1
# Socket timeouts of the Watcher's own client: the longest one command can
# hold a get() past its deadline or past close().
IO_TIMEOUT = 0.4
# Reconnect backoff: first retry at once, then after 0.1 s doubling up to 2 s.
_BACKOFF_FIRST = 0.1
_BACKOFF_MAX = 2.0
# How long the server may take to confirm the subscriptions.
_CONFIRM_TIMEOUT = 10.0
# Messages taken in one read before the core looks at its deadline again.
READ_BUDGET = 1000
# The wait of the read that decides a PING's deadline.
_LAST_LOOK = 0.01
# SCAN's COUNT hint while resynchronising.
SCAN_COUNT = 1000
# After an overflow, how long the Watcher may keep reading (and dropping)
# the backlog before it starts going over every key again.
_COVER_MAX = 1.0

DEFAULT_MAX_PENDING = 10_000
DEFAULT_PING_INTERVAL = 10.0

# Errors that mean the connection (or the server behind it) is gone.
LOST = (redis.ConnectionError, redis.TimeoutError, OSError)
# Reply errors of a GET or a SCAN: delivered as None (the keys left out) with
# a warning. UnicodeError: a client with decode_responses=True that cannot
# decode an error text.
REFUSED = (redis.RedisError, UnicodeError)


# -- what step() asks the face to do ------------------------------------------------
# Never changed once made (the ones below the classes are shared). Not frozen:
# that costs twice as much to make, and each delivery makes a Get and a Return.
# Final, so that a face can tell them apart by `type(op) is`, the cheapest test.


@final
@dataclass(slots=True)
class Return:
    """get() returns `delivery`: `(key, value)`, or None (the deadline, or closed)."""

    delivery: tuple[str, Any] | None


@final
@dataclass(slots=True)
class Read:
    """Read the subscription: wait up to `wait` s for a first message, `take`
    it and whatever else has arrived, up to READ_BUDGET; then `read_done`."""

    wait: float


@final
@dataclass(slots=True)
class Get:
    """GET `name` (bytes or text, as the client gave it), then `got`."""

    name: bytes | str


@final
@dataclass(slots=True)
class Scan:
    """One SCAN page from `cursor`, on `node` (a cluster client's primary;
    None for any other client), then `scanned` with the client's reply."""

    pattern: str
    cursor: int
    count: int
    node: Any


@final
@dataclass(slots=True)
class Ping:
    """PING on the subscription, then `pinged`."""


@final
@dataclass(slots=True)
class Connect:
    """A new pub/sub connection (instead of one left by an interrupted attempt)
    with SUBSCRIBE `channels` and PSUBSCRIBE `patterns` sent, then `subscribed`."""

    channels: tuple[str, ...]
    patterns: tuple[str, ...]


@final
@dataclass(slots=True)
class Wait:
    """Sleep `seconds` (at most SLICE), unless closed."""

    seconds: float


@final
@dataclass(slots=True)
class Drop:
    """Close the subscription's connection (`reason`: what failed it) and,
    with `pool`, those of the Watcher's own client, which most likely went
    the same way; then `dropped`."""

    reason: Exception
    pool: bool


# What the face carries out, and with Return, everything step() names.
Action: TypeAlias = Read | Get | Scan | Ping | Connect | Wait | Drop
Operation: TypeAlias = Return | Action

_NOTHING = Return(None)
_READ_NOW = Read(0.0)
_READ_SLICE = Read(SLICE)
_READ_LAST_LOOK = Read(_LAST_LOOK)
_PING = Ping()


class Phase(enum.Enum):
    DOWN = "down"  # no subscription: Connect when the backoff allows
    SUBSCRIBING = "subscribing"  # sent, waiting for the server to confirm each one
    LIVE = "live"  # every subscription confirmed
    LOST = "lost"  # the connection failed: to be dropped before anything else


_DOWN, _SUBSCRIBING, _LIVE, _LOST = Phase.DOWN, Phase.SUBSCRIBING, Phase.LIVE, Phase.LOST


def names(value: Any, argument: str) -> tuple[str, ...]:
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


def check_options(
    host: object, port: object, decode: object, initial: object, max_pending: object, ping_interval: object
) -> None:
    if host is not None and type(host) is not str:
        raise TypeError(f"host must be str or None, not {type(host).__name__}")
    if port is not None and type(port) is not int:
        raise TypeError(f"port must be int or None, not {type(port).__name__}")
    if type(decode) is not bool:
        raise TypeError(f"decode must be bool, not {type(decode).__name__}")
    if type(initial) is not bool:
        raise TypeError(f"initial must be bool, not {type(initial).__name__}")
    if type(max_pending) is not int:
        raise TypeError(f"max_pending must be int, not {type(max_pending).__name__}")
    if max_pending < 1:
        raise ValueError(f"max_pending must be >= 1, got {max_pending}")
    if ping_interval is not None:
        if type(ping_interval) not in (int, float):
            raise TypeError(f"ping_interval must be a number or None, not {type(ping_interval).__name__}")
        if not 0 < ping_interval < math.inf:  # type: ignore[operator]
            raise ValueError(f"ping_interval must be > 0, got {ping_interval!r}")


def check_timeout(timeout: object) -> None:
    if timeout is not None:
        if type(timeout) not in (int, float):
            raise TypeError(f"timeout must be a number or None, not {type(timeout).__name__}")
        if not timeout >= 0:  # type: ignore[operator]  # also refuses NaN
            raise ValueError(f"timeout must be >= 0, got {timeout!r}")


def _text(name: Any) -> str:
    return name.decode("utf-8", "surrogateescape") if isinstance(name, bytes) else str(name)


# -- the process's totals, for metrics ---------------------------------------------

COUNTED = ("notifications", "deliveries", "coalesced", "skipped", "reconnects", "resyncs")
# Each live core's stats, by a number never reused. A core that is gone only
# names itself in _gone (a list append, from whatever thread collects it);
# process_totals() then moves its stats into _retired. Until then they are
# counted as its entry's, so no total ever goes down or counts one twice.
_live: dict[int, tuple[weakref.ref[Core], dict[str, int]]] = {}
_gone: list[int] = []
_retired = dict.fromkeys(COUNTED, 0)
_totalling = threading.Lock()
_numbers = itertools.count()


def _track(core: Core) -> None:
    number = next(_numbers)
    _live[number] = (weakref.ref(core, lambda _ref: _gone.append(number)), core._stats)


def process_totals() -> dict[str, int]:
    """Every Watcher's and AsyncWatcher's counters summed, those gone
    included, and the keys pending now in the live ones."""
    with _totalling:
        while _gone:
            _, stats = _live.pop(_gone.pop())
            for name in COUNTED:
                _retired[name] += stats[name]
        totals = dict(_retired)
        pending = 0
        for ref, stats in list(_live.values()):
            for name in COUNTED:
                totals[name] += stats[name]
            core = ref()
            pending += len(core._pending) if core is not None else 0
        totals["pending"] = pending
        return totals


class Core:
    """The state of one Watcher; see the module's docstring."""

    def __init__(
        self,
        keys: Iterable[str],
        patterns: Iterable[str],
        *,
        decode: bool,
        initial: bool,
        max_pending: int,
        ping_interval: float | None,
    ) -> None:
        self.keys = names(keys, "keys")
        self.patterns = names(patterns, "patterns")
        if not self.keys and not self.patterns:
            raise ValueError("Watcher needs at least one key or pattern")
        self._connect = Connect(tuple(k + SUFFIX for k in self.keys), tuple(p + SUFFIX for p in self.patterns))
        self.decode = decode
        self.max_pending = max_pending
        self.ping_interval = ping_interval
        # Resynchronisation pages: named keys and SCAN results, half the cap at a time.
        self._page = max(1, min(SCAN_COUNT, max_pending // 2))

        # key text -> name as GET takes it (bytes or text, as the client gave it), first notified first.
        self._pending: OrderedDict[str, Any] = OrderedDict()
        self._stats = dict.fromkeys(COUNTED, 0)
        self._closed = False  # set by close(), from any thread or task
        self._started = False  # subscriptions confirmed once: losses no longer raise
        self._phase = _DOWN
        self._deadline: float | None = None
        self._tried = False  # a delivery, scan or connect attempt made in this call
        self._looked = False  # the subscription read since the last delivery attempt
        self._getting: str | None = None
        self._delivery: tuple[str, Any] | None = None  # for the next Return
        # Connection
        self._drop: Drop | None = None  # the operation of Phase.LOST
        self._quiet = False  # that loss is not worth a warning of its own
        self._reconnected = False  # set when redis-py reconnects the subscription by itself
        self._recovering = False
        self._lost_at = 0.0
        self._retry_at = 0.0
        self._delay = _BACKOFF_FIRST
        self._waiting: set[tuple[str, str]] = set()
        self._confirm_by = 0.0
        self._heard_at = 0.0
        self._read_wait = 0.0  # the wait of the Read step() named last
        self._waited_at = 0.0  # when a Read that waited last ended
        self._ping_at: float | None = None
        self._backlog = False
        # Resynchronisation: every named key, then every pattern's SCAN matches.
        self._resync_due = initial
        self._resyncing = False
        self._covering = False  # after an overflow, until the resync begins: notifications are covered by it
        self._cover_since: float | None = None
        self._next_key = 0
        self._next_pattern = 0
        self._primaries: Callable[[], Iterable[Any]] | None = None
        # (node, cursor) pairs still to SCAN for the current pattern; None: not begun.
        self._scan_todo: list[tuple[Any, int]] | None = None
        # Keys delivered since the resync began (up to max_pending): it need
        # not deliver them again, since a later change is notified.
        self._resync_done: set[str] = set()
        _track(self)

    def over_cluster(self, primaries: Callable[[], Iterable[Any]]) -> None:
        """The client is a cluster client: each pattern's SCAN goes over the
        primaries `primaries()` names when it begins, one after the other."""
        self._primaries = primaries

    # -- queries -----------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def live(self) -> bool:
        return self._phase is _LIVE

    def stats(self) -> dict[str, int]:
        return {**self._stats, "pending": len(self._pending)}

    def state(self) -> str:
        return "closed" if self._closed else ("open" if self._phase is _LIVE else "reconnecting")

    # -- changes from outside the loop ------------------------------------------

    def close(self) -> None:
        """From any thread or task: every get() returns None from its next step on."""
        self._closed = True

    def release(self) -> None:
        """The face has let go of its connections (holding them, so no step
        runs): closed, and nothing pending any more."""
        self._closed = True
        self._pending.clear()
        self._delivery = None

    def client_reconnected(self) -> None:
        """redis-py connected the subscription again by itself (and resubscribed):
        the changes made meanwhile were announced to nobody, so it counts as a loss."""
        self._reconnected = True

    # -- the loop ----------------------------------------------------------------

    def begin(self, deadline: float | None) -> None:
        """A get() starts; None waits for ever (until close())."""
        self._deadline = deadline
        self._tried = False
        self._looked = False

    def step(self, now: float) -> Operation:
        """The next operation. The live phase is written out here, not in a
        method of its own: it runs once per message read and per GET."""
        delivery = self._delivery
        if delivery is not None:
            self._delivery = None
            return Return(delivery)
        phase = self._phase
        if phase is not _LIVE or self._closed or self._reconnected:
            return self._step_not_live(now)
        if not self._looked:
            self._read_wait = 0.0
            return _READ_NOW
        interval = self.ping_interval
        if interval is not None:
            ping_at = self._ping_at
            if ping_at is None:
                if now - self._heard_at >= interval:
                    return _PING
            else:
                quiet_since = max(ping_at, self._heard_at)
                # Judged by a read that waited after the deadline, not by the
                # clock alone: a consumer slow to come back (or an event loop
                # that has not read its socket yet) is not a loss.
                if self._waited_at - quiet_since >= interval:
                    return self._lose(redis.TimeoutError(f"no reply to PING within {interval:g} s"))
                if now - quiet_since >= interval:
                    self._read_wait = _LAST_LOOK
                    return _READ_LAST_LOOK
        deadline = self._deadline
        left = math.inf if deadline is None else deadline - now
        pending = self._pending
        if not pending and self._resyncing:
            op = self._step_resync(now, left)
            if op is not None:
                return op
        if pending:
            if left <= 0 and self._tried:
                return _NOTHING
            self._tried = True
            key = self._getting = next(iter(pending))
            return Get(pending[key])
        if left <= 0:
            return _NOTHING
        return self._reading(min(SLICE, left))

    def _step_not_live(self, now: float) -> Operation:
        phase = self._phase
        if phase is _LOST:  # even once closed: a loss before the subscriptions were confirmed still raises
            assert self._drop is not None
            return self._drop
        if self._closed:
            return _NOTHING
        if self._reconnected:
            return self._lose(redis.ConnectionError("the client reconnected by itself"))
        if phase is _SUBSCRIBING:
            return self._step_subscribing(now)
        return self._step_down(now)

    def _step_resync(self, now: float, left: float) -> Operation | None:
        """Nothing pending while resynchronising: read on while covering, or the
        next page of keys (None: it is pending now, or the resync is over)."""
        if self._covering:
            if self._backlog and now - (self._cover_since or now) < _COVER_MAX:
                return self._reading(0.0) if left > 0 else _NOTHING
            self._covering = False
            self._cover_since = None
        while not self._fill():
            todo = self._scan_todo
            if todo is None:
                primaries = self._primaries
                todo = self._scan_todo = [(node, 0) for node in primaries()] if primaries else [(None, 0)]
            if not todo:  # a cluster client that knows no primary
                self._pattern_done()
                continue
            if left <= 0 and self._tried:
                return _NOTHING
            self._tried = True
            node, cursor = todo[0]
            return Scan(self.patterns[self._next_pattern], cursor, self._page, node)
        return None

    def _step_subscribing(self, now: float) -> Operation:
        if now >= self._confirm_by:
            return self._lose(redis.TimeoutError("the server did not confirm the subscriptions"))
        if not self._looked:
            return self._reading(0.0)
        left = self._left(now)
        if left <= 0:
            return _NOTHING
        return self._reading(min(SLICE, left, self._confirm_by - now))

    def _step_down(self, now: float) -> Operation:
        left = self._left(now)
        if now < self._retry_at:
            if left <= 0:
                return _NOTHING
            return Wait(min(SLICE, left, self._retry_at - now))
        if left <= 0 and self._tried:
            return _NOTHING
        self._tried = True
        return self._connect

    def _left(self, now: float) -> float:
        """Seconds to the caller's deadline (step() works it out in line)."""
        deadline = self._deadline
        return math.inf if deadline is None else deadline - now

    def _reading(self, wait: float) -> Read:
        self._read_wait = wait
        if wait == 0.0:
            return _READ_NOW
        return _READ_SLICE if wait == SLICE else Read(wait)

    # -- outcomes ----------------------------------------------------------------

    def take(self, message: dict[str, Any]) -> None:
        """One message read from the subscription."""
        kind = message["type"]
        if kind == "pmessage" or kind == "message":
            self._stats["notifications"] += 1
            if self._covering:
                return
            channel = message["channel"]
            if type(channel) is bytes:
                name: Any = channel[:-_SUFFIX_LEN]
                try:
                    key = name.decode()
                except UnicodeDecodeError:
                    self._undecodable(name)
                    return
            else:
                key = name = channel[:-_SUFFIX_LEN]
            pending = self._pending
            if key in pending:
                self._stats["coalesced"] += 1
            elif len(pending) >= self.max_pending:
                self._overflow()
            else:
                pending[key] = name
        elif kind == "pong":
            self._ping_at = None
        elif kind == "subscribe" or kind == "psubscribe":
            self._waiting.discard((kind, _text(message["channel"])))

    def read_done(self, count: int, full: bool, now: float) -> None:
        """A read took `count` messages; `full`: it stopped at READ_BUDGET."""
        self._looked = True
        self._backlog = full
        if self._read_wait:
            self._waited_at = now
        if count:
            self._heard_at = now
        if self._covering and self._cover_since is None:
            self._cover_since = now
        if self._phase is _SUBSCRIBING and not self._waiting:
            self._go_live(now)

    def got(self, value: bytes | str | None) -> None:
        """GET's reply for the key step() named: the next Return delivers it,
        unless the key is gone (None)."""
        key = self._delivered()
        if value is None:
            self._stats["skipped"] += 1
            return
        self._stats["deliveries"] += 1
        decoded: Any = value
        if self.decode and isinstance(value, bytes):
            try:
                decoded = orjson.loads(value)
            except ValueError as exc:  # orjson.JSONDecodeError
                logger.warning("Failed to get redis frame from %s - %s", key, exc)
                decoded = None
        self._delivery = key, decoded

    def scanned(self, reply: tuple[Any, Iterable[Any]]) -> None:
        """SCAN's reply for the page step() named: (the next cursor, or a
        cluster client's cursors by node name; the names found)."""
        cursor, found = reply
        todo = self._scan_todo
        assert todo
        node = todo[0][0]
        if node is not None:
            cursor = cursor[node.name]
        rest = todo[1:]
        if cursor:
            rest.insert(0, (node, cursor))
        self._scan_todo = rest
        self._looked = False
        if not rest:
            self._pattern_done()
        pending, done = self._pending, self._resync_done
        for name in found:
            if type(name) is bytes:
                try:
                    key = name.decode()
                except UnicodeDecodeError:
                    self._undecodable(name)
                    continue
            else:
                key = name
            if key not in pending and key not in done:
                pending[key] = name

    def pinged(self, now: float) -> None:
        self._ping_at = now

    def subscribed(self, now: float) -> None:
        """Every SUBSCRIBE and PSUBSCRIBE was sent on a new connection."""
        self._phase = _SUBSCRIBING
        self._reconnected = False
        connect = self._connect
        self._waiting = {("subscribe", c) for c in connect.channels} | {("psubscribe", p) for p in connect.patterns}
        self._confirm_by = now + _CONFIRM_TIMEOUT

    def dropped(self, now: float) -> Exception | None:
        """The face dropped the connection Drop named. The error get() must
        raise instead of reconnecting: the subscriptions were never confirmed."""
        assert self._drop is not None
        error = self._drop.reason
        self._phase = _DOWN
        self._drop = None
        self._getting = None
        self._looked = False
        self._backlog = False
        self._ping_at = None
        self._waiting = set()
        if not self._started:
            return error
        self._resync_due = True
        self._covering = False
        self._end_resync()
        if self._recovering:  # an attempt failed: the next one after the backoff
            self._retry_at = now + self._delay
            self._delay = min(self._delay * 2, _BACKOFF_MAX)
        else:
            if not self._quiet:
                logger.warning("Watcher lost its connection to the server, reconnecting - %s", error)
            self._recovering = True
            self._lost_at = self._retry_at = now
            self._delay = _BACKOFF_FIRST
        return None

    def failed(self, op: Action, exc: Exception) -> bool:
        """`op` raised `exc`. False when that is no outcome of it: the face
        lets it propagate."""
        if isinstance(op, Drop):
            return False
        if isinstance(exc, LOST):
            self._lose(exc)
        elif isinstance(op, Get):
            if not isinstance(exc, REFUSED):
                return False
            # The server refused the GET (a key of another type, say): delivered as None.
            key = self._delivered()
            self._stats["deliveries"] += 1
            logger.warning("Failed to get redis frame from %s - %s", key, exc)
            self._delivery = key, None
        elif isinstance(op, Scan):
            if not isinstance(exc, REFUSED):
                return False
            # The rest of that pattern's keys are left out of this resync.
            logger.warning("Watcher could not list the keys of %s - %s", op.pattern, exc)
            self._looked = False
            self._pattern_done()
        elif isinstance(exc, UnicodeDecodeError):
            # Only a read of the subscription decodes: a channel name that is
            # not UTF-8 to a client with decode_responses=True. Skipped; redis-py
            # drops the connection after such an error, so a quiet reconnect follows.
            self._stats["notifications"] += 1
            self._stats["skipped"] += 1
            logger.warning("Watcher skipped a notification whose channel name does not decode - %s", exc)
            self._lose(exc, quiet=True, pool=False)
        else:
            return False
        return True

    # -- inside ------------------------------------------------------------------

    def _lose(self, error: Exception, quiet: bool = False, pool: bool = True) -> Drop:
        """The connection failed: nothing but Drop until the face has dropped it."""
        self._phase = _LOST
        self._reconnected = False
        self._quiet = quiet
        drop = self._drop = Drop(error, pool)
        return drop

    def _delivered(self) -> str:
        key = self._getting
        assert key is not None
        self._getting = None
        self._looked = False
        del self._pending[key]
        if self._resyncing and len(self._resync_done) < self.max_pending:
            self._resync_done.add(key)
        return key

    def _undecodable(self, name: bytes) -> None:
        self._stats["skipped"] += 1
        logger.warning("Watcher skipped key %r: its name is not UTF-8", name)

    def _go_live(self, now: float) -> None:
        self._phase = _LIVE
        self._heard_at = now
        self._ping_at = None
        if self._recovering:
            self._recovering = False
            self._stats["reconnects"] += 1
            logger.info("Watcher reconnected after %.2f s", now - self._lost_at)
        self._started = True
        if self._resync_due:
            self._resync_due = False
            self._start_resync()
            self._fill()

    def _start_resync(self) -> None:
        self._resyncing = True
        self._next_key = self._next_pattern = 0
        self._scan_todo = None
        self._resync_done.clear()

    def _overflow(self) -> None:
        """More distinct keys notified than max_pending: drop them all and go
        over every watched key again. Notifications read until that begins
        announce changes it will read anyway, so they are only counted."""
        self._pending.clear()
        self._stats["resyncs"] += 1
        logger.warning(
            "Watcher fell behind (more than %d keys pending), delivering every watched key again", self.max_pending
        )
        self._start_resync()
        self._covering = True
        self._cover_since = None

    def _fill(self) -> bool:
        """Adds the next page of named keys when nothing is pending. False when a SCAN page is needed."""
        if self._pending or not self._resyncing:
            return True
        keys, done = self.keys, self._resync_done
        while self._next_key < len(keys):
            page = keys[self._next_key : self._next_key + self._page]
            self._next_key += len(page)
            self._pending.update((key, key) for key in page if key not in done)
            if self._pending:
                return True
        if self._next_pattern < len(self.patterns):
            return False
        self._end_resync()
        return True

    def _pattern_done(self) -> None:
        self._scan_todo = None
        self._next_pattern += 1
        if self._next_pattern >= len(self.patterns):
            self._end_resync()

    def _end_resync(self) -> None:
        self._resyncing = False
        self._resync_done.clear()
