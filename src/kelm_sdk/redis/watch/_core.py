"""What a Watcher decides, without any I/O: the pending keys, coalescing in
first-notified order, the cap and the resynchronisation it forces, the PING
check of an idle subscription, the reconnect backoff, the stats and the
decoding of channel and key names.

Both faces (`Watcher` over redis, `AsyncWatcher` over redis.asyncio) run the
same loop: `begin(deadline)`, then `step(now)` names the next operation, the
face carries it out and reports the outcome (`take` for each message read
and `read_done`, `got` or `refused`, `pinged`, `scanned` or `scan_refused`,
`subscribed`, `lost` or `undecodable_read`), until `step` returns `RETURN`
with the delivery or None. Every wait and every operation is
chosen here with the caller's deadline and `closed` in view, so each
guarantee is written once.
"""

from __future__ import annotations

import itertools
import math
import threading
import weakref
from collections import OrderedDict
from collections.abc import Iterable
from typing import Any

import orjson

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

# What step() asks the face to do; the argument is in brackets.
RETURN = 0  # return (the delivery, or None)
READ = 1  # read the subscription (wait up to this many seconds for the first message)
GET = 2  # GET (this key name), then got() or refused()
SCAN = 3  # one SCAN page of (pattern, cursor state), then scanned()
PING = 4  # PING on the subscription, then pinged()
CONNECT = 5  # a new pub/sub connection with every subscription sent, then subscribed()
WAIT = 6  # sleep (this long) unless closed
FAIL = 7  # treat (this error) as a lost connection

_DOWN, _SUBSCRIBING, _LIVE = range(3)


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
            pending += len(core.pending) if core is not None else 0
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
        self.channels = [key + SUFFIX for key in self.keys]
        self.channel_patterns = [pattern + SUFFIX for pattern in self.patterns]
        self.decode = decode
        self.max_pending = max_pending
        self.ping_interval = ping_interval
        # Resynchronisation pages: named keys and SCAN results, half the cap at a time.
        self._page = max(1, min(SCAN_COUNT, max_pending // 2))
        self.scan_count = self._page

        # key text -> name as GET takes it (bytes or text, as the client gave it), first notified first.
        self.pending: OrderedDict[str, Any] = OrderedDict()
        self._stats = {
            "notifications": 0,
            "deliveries": 0,
            "coalesced": 0,
            "skipped": 0,
            "reconnects": 0,
            "resyncs": 0,
        }
        self.closed = False  # set by close(), from any thread or task
        self.reconnected = False  # set when redis-py reconnects the subscription by itself
        self.started = False  # subscriptions confirmed once: losses no longer raise
        self._phase = _DOWN
        self._deadline: float | None = None
        self._tried = False  # a delivery, scan or connect attempt made in this call
        self._looked = False  # the subscription read since the last delivery attempt
        self._getting: str | None = None
        # Connection
        self._recovering = False
        self._lost_at = 0.0
        self._retry_at = 0.0
        self._delay = _BACKOFF_FIRST
        self._waiting: set[tuple[str, str]] = set()
        self._confirm_by = 0.0
        self._heard_at = 0.0
        self._read_wait = 0.0  # the wait of the READ step() asked for last
        self._waited_at = 0.0  # when a READ that waited last ended
        self._ping_at: float | None = None
        self._backlog = False
        # Resynchronisation: every named key, then every pattern's SCAN matches.
        self._resync_due = initial
        self._resyncing = False
        self._covering = False  # after an overflow, until the resync begins: notifications are covered by it
        self._cover_since: float | None = None
        self._next_key = 0
        self._next_pattern = 0
        self._scan_state: Any = None
        # Keys delivered since the resync began (up to max_pending): it need
        # not deliver them again, since a later change is notified.
        self._resync_done: set[str] = set()
        _track(self)

    # -- queries -----------------------------------------------------------------

    @property
    def live(self) -> bool:
        return self._phase == _LIVE

    def stats(self) -> dict[str, int]:
        return {**self._stats, "pending": len(self.pending)}

    def state(self) -> str:
        return "closed" if self.closed else ("open" if self._phase == _LIVE else "reconnecting")

    # -- the loop ----------------------------------------------------------------

    def begin(self, deadline: float | None) -> None:
        """A get() starts; None waits for ever (until close())."""
        self._deadline = deadline
        self._tried = False
        self._looked = False

    def step(self, now: float) -> tuple[int, Any]:
        """The next operation, as (what, argument)."""
        if self.closed:
            return RETURN, None
        deadline = self._deadline
        left = math.inf if deadline is None else deadline - now
        phase = self._phase
        if phase == _LIVE:
            if self.reconnected:
                return FAIL, ConnectionError("the client reconnected by itself")
            if not self._looked:
                self._read_wait = 0.0
                return READ, 0.0
            interval = self.ping_interval
            if interval is not None:
                ping_at = self._ping_at
                if ping_at is None:
                    if now - self._heard_at >= interval:
                        return PING, None
                else:
                    quiet_since = max(ping_at, self._heard_at)
                    # Judged by a read that waited after the deadline, not by the
                    # clock alone: a consumer slow to come back (or an event loop
                    # that has not read its socket yet) is not a loss.
                    if self._waited_at - quiet_since >= interval:
                        return FAIL, TimeoutError(f"no reply to PING within {interval:g} s")
                    if now - quiet_since >= interval:
                        self._read_wait = _LAST_LOOK
                        return READ, _LAST_LOOK
            pending = self.pending
            if not pending and self._resyncing:
                if self._covering:
                    if self._backlog and now - (self._cover_since or now) < _COVER_MAX:
                        self._read_wait = 0.0
                        return (READ, 0.0) if left > 0 else (RETURN, None)
                    self._covering = False
                    self._cover_since = None
                if not self._fill():
                    if left <= 0 and self._tried:
                        return RETURN, None
                    self._tried = True
                    return SCAN, (self.patterns[self._next_pattern], self._scan_state)
            if pending:
                if left <= 0 and self._tried:
                    return RETURN, None
                self._tried = True
                key = self._getting = next(iter(pending))
                return GET, pending[key]
            if left <= 0:
                return RETURN, None
            self._read_wait = wait = min(SLICE, left)
            return READ, wait
        if phase == _SUBSCRIBING:
            if self.reconnected:
                return FAIL, ConnectionError("the client reconnected by itself")
            if now >= self._confirm_by:
                return FAIL, TimeoutError("the server did not confirm the subscriptions")
            if not self._looked:
                self._read_wait = 0.0
                return READ, 0.0
            if left <= 0:
                return RETURN, None
            self._read_wait = wait = min(SLICE, left, self._confirm_by - now)
            return READ, wait
        if now < self._retry_at:
            if left <= 0:
                return RETURN, None
            return WAIT, min(SLICE, left, self._retry_at - now)
        if left <= 0 and self._tried:
            return RETURN, None
        self._tried = True
        return CONNECT, None

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
            pending = self.pending
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
        if self._phase == _SUBSCRIBING and not self._waiting:
            self._go_live(now)

    def got(self, value: Any) -> tuple[str, Any] | None:
        """GET's reply for the key step() named; the delivery, or None when the key is gone."""
        key = self._delivered()
        if value is None:
            self._stats["skipped"] += 1
            return None
        self._stats["deliveries"] += 1
        if self.decode and isinstance(value, bytes):
            try:
                value = orjson.loads(value)
            except ValueError as exc:  # orjson.JSONDecodeError
                logger.warning("Failed to get redis frame from %s - %s", key, exc)
                return key, None
        return key, value

    def refused(self, exc: BaseException) -> tuple[str, Any]:
        """The server refused the GET (a key of another type, say): delivered as None."""
        key = self._delivered()
        self._stats["deliveries"] += 1
        logger.warning("Failed to get redis frame from %s - %s", key, exc)
        return key, None

    def pinged(self, now: float) -> None:
        self._ping_at = now

    def scanned(self, state: Any, found: Iterable[Any]) -> None:
        """One SCAN page: the next cursor state (None: this pattern is done) and the names found."""
        self._looked = False
        self._scan_state = state
        if state is None:
            self._next_pattern += 1
            if self._next_pattern >= len(self.patterns):
                self._end_resync()
        pending, done = self.pending, self._resync_done
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

    def scan_refused(self, exc: BaseException) -> None:
        """The server refused a SCAN page: the rest of that pattern's keys are left out of this resync."""
        logger.warning("Watcher could not list the keys of %s - %s", self.patterns[self._next_pattern], exc)
        self.scanned(None, ())

    def subscribed(self, now: float) -> None:
        """Every SUBSCRIBE and PSUBSCRIBE was sent on a new connection."""
        self._phase = _SUBSCRIBING
        self.reconnected = False
        self._waiting = {("subscribe", c) for c in self.channels} | {("psubscribe", p) for p in self.channel_patterns}
        self._confirm_by = now + _CONFIRM_TIMEOUT

    def lost(self, exc: BaseException, now: float, quiet: bool = False) -> bool:
        """The connection failed (or a new one could not be set up). True when
        it must raise instead: the subscriptions were never confirmed."""
        self._phase = _DOWN
        self._getting = None
        self._looked = False
        self._backlog = False
        self._ping_at = None
        self._waiting = set()
        self.reconnected = False
        if not self.started:
            return True
        self._resync_due = True
        self._covering = False
        self._end_resync()
        if self._recovering:  # an attempt failed: the next one after the backoff
            self._retry_at = now + self._delay
            self._delay = min(self._delay * 2, _BACKOFF_MAX)
        else:
            if not quiet:
                logger.warning("Watcher lost its connection to the server, reconnecting - %s", exc)
            self._recovering = True
            self._lost_at = self._retry_at = now
            self._delay = _BACKOFF_FIRST
        return False

    def undecodable_read(self, exc: BaseException, now: float) -> None:
        """The client could not decode a message (a channel name that is not
        UTF-8 to a client with decode_responses=True): skipped. redis-py
        drops the connection after such an error, so a quiet reconnect follows."""
        self._stats["notifications"] += 1
        self._stats["skipped"] += 1
        logger.warning("Watcher skipped a notification whose channel name does not decode - %s", exc)
        self.lost(exc, now, quiet=True)

    # -- inside ------------------------------------------------------------------

    def _delivered(self) -> str:
        key = self._getting
        assert key is not None
        self._getting = None
        self._looked = False
        del self.pending[key]
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
        self.started = True
        if self._resync_due:
            self._resync_due = False
            self._start_resync()
            self._fill()

    def _start_resync(self) -> None:
        self._resyncing = True
        self._next_key = self._next_pattern = 0
        self._scan_state = None
        self._resync_done.clear()

    def _overflow(self) -> None:
        """More distinct keys notified than max_pending: drop them all and go
        over every watched key again. Notifications read until that begins
        announce changes it will read anyway, so they are only counted."""
        self.pending.clear()
        self._stats["resyncs"] += 1
        logger.warning(
            "Watcher fell behind (more than %d keys pending), delivering every watched key again", self.max_pending
        )
        self._start_resync()
        self._covering = True
        self._cover_since = None

    def _fill(self) -> bool:
        """Adds the next page of named keys when nothing is pending. False when a SCAN page is needed."""
        if self.pending or not self._resyncing:
            return True
        keys, done = self.keys, self._resync_done
        while self._next_key < len(keys):
            page = keys[self._next_key : self._next_key + self._page]
            self._next_key += len(page)
            self.pending.update((key, key) for key in page if key not in done)
            if self.pending:
                return True
        if self._next_pattern < len(self.patterns):
            return False
        self._end_resync()
        return True

    def _end_resync(self) -> None:
        self._resyncing = False
        self._resync_done.clear()
