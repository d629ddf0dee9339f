"""The Watcher's core driven alone: a fake face carries out each operation
against a dict of stored values and a list of messages, on a clock that
moves only when an operation waits. No server, no sockets."""

import fnmatch

import pytest
import redis

from kelm_sdk.redis.watch._core import READ_BUDGET, SLICE, Connect, Core, Drop, Get, Ping, Read, Return, Scan, Wait

LOST = "Watcher lost its connection to the server, reconnecting - "


class Face:
    def __init__(self, core, values=()):
        self.core, self.now = core, 0.0
        self.values = dict(values)  # name -> stored bytes
        self.inbox = []  # messages the next Read takes
        self.late = []  # messages only a Read that waits takes
        self.read_cost = 0.0  # seconds a Read that takes messages lasts
        self.down = False  # every command fails
        self.confirm = True  # the server confirms the subscriptions
        self.raises = {}  # operation type -> exception its next run raises
        self.done = []  # (time, operation)

    def get(self, timeout=None):
        core = self.core
        core.begin(None if timeout is None else self.now + timeout)
        while not isinstance(op := core.step(self.now), Return):
            self.done.append((self.now, op))
            try:
                self.do(op)
            except Exception as exc:
                if not core.failed(op, exc):
                    raise
        return op.delivery

    def do(self, op):
        core = self.core
        if isinstance(op, Drop):
            if (error := core.dropped(self.now)) is not None:
                raise error
        elif isinstance(op, Wait):
            assert 0 < op.seconds <= SLICE  # close() heard between two
            self.now += op.seconds
        elif self.down:
            raise redis.ConnectionError("down")
        elif type(op) in self.raises:
            raise self.raises.pop(type(op))
        elif isinstance(op, Connect):
            core.subscribed(self.now)
            if self.confirm:
                self.inbox += [{"type": "subscribe", "channel": c.encode()} for c in op.channels]
                self.inbox += [{"type": "psubscribe", "channel": p.encode()} for p in op.patterns]
        elif isinstance(op, Read):
            assert 0 <= op.wait <= SLICE
            if op.wait:
                self.inbox, self.late = self.inbox + self.late, []
            taken, self.inbox = self.inbox[:READ_BUDGET], self.inbox[READ_BUDGET:]
            self.now += self.read_cost if taken else op.wait
            for message in taken:
                core.take(message)
            core.read_done(len(taken), len(taken) == READ_BUDGET, self.now)
        elif isinstance(op, Get):
            core.got(self.values.get(op.name if isinstance(op.name, bytes) else op.name.encode()))
        elif isinstance(op, Scan):
            found = sorted(name for name in self.values if fnmatch.fnmatchcase(name.decode(), op.pattern))
            end = op.cursor + op.count
            core.scanned((end if end < len(found) else 0, found[op.cursor : end]))
        else:
            assert isinstance(op, Ping)
            core.pinged(self.now)

    def notify(self, *keys):
        self.inbox += [{"type": "message", "channel": key.encode() + b"_notify"} for key in keys]

    def times(self, kind):
        return [at for at, op in self.done if isinstance(op, kind)]


def watching(keys=("k",), patterns=(), values=(), **options):
    """A Face whose core is live at time 0."""
    options = {"decode": False, "initial": False, "max_pending": 100, "ping_interval": None, **options}
    face = Face(Core(keys, patterns, **options), values)
    assert face.get(timeout=0) is None and face.core.live
    return face


def warnings(logs):
    return [message for level, message in logs() if level == "WARNING"]


# -- the connection ----------------------------------------------------------------


def test_reconnect_backoff_first_retry_at_once_then_doubling_to_2s_and_reset_once_live(logs):
    face = watching(values={b"k": b"1"})
    face.down = True
    assert face.get(timeout=9.5) is None
    assert face.times(Connect)[1:] == pytest.approx([0, 0.1, 0.3, 0.7, 1.5, 3.1, 5.1, 7.1, 9.1])
    assert warnings(logs) == [LOST + "down"]  # once per outage, not per attempt
    face.down = False
    assert face.get(timeout=5) == ("k", b"1")  # delivered again: its changes went unannounced
    assert face.now == pytest.approx(11.1) and face.core.stats()["reconnects"] == 1
    assert logs()[-1] == ("INFO", "Watcher reconnected after 11.10 s")
    face.done.clear()
    face.down = True
    assert face.get(timeout=0.25) is None
    assert face.times(Connect) == pytest.approx([11.1, 11.2])


def test_failures_before_the_subscriptions_are_confirmed_raise_after_the_drop():
    face = Face(Core(["k"], [], decode=False, initial=False, max_pending=10, ping_interval=None))
    face.down = True
    with pytest.raises(redis.ConnectionError, match="down"):
        face.get(timeout=60)
    assert [type(op) for _, op in face.done] == [Connect, Drop] and face.done[1][1].pool
    face.down, face.confirm = False, False
    with pytest.raises(redis.TimeoutError, match="did not confirm the subscriptions"):
        face.get(timeout=60)
    assert face.now == pytest.approx(10.0) and not face.core.live


def test_a_client_that_reconnected_by_itself_is_a_loss(logs):
    face = watching(values={b"k": b"1"})
    face.core.client_reconnected()
    assert face.get(timeout=1) == ("k", b"1")
    assert [type(op) for _, op in face.done[2:5]] == [Drop, Connect, Read]
    assert warnings(logs) == [LOST + "the client reconnected by itself"]


def test_exceptions_of_the_client_that_are_outcomes_and_one_that_is_not(logs):
    face = watching(keys=(), patterns=("p:*",), values={b"p:1": b"1"})
    face.notify("p:1")
    face.raises[Get] = redis.ResponseError("WRONGTYPE")
    assert face.get(timeout=0) == ("p:1", None)
    face.raises[Read] = UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte")
    face.raises[Scan] = redis.ResponseError("no SCAN")  # in the resync after the quiet reconnect
    assert face.get(timeout=1) is None
    (drop,) = [op for _, op in face.done if isinstance(op, Drop)]
    assert not drop.pool and face.core.stats()["skipped"] == 1 and face.core.stats()["reconnects"] == 1
    assert [m.split(" - ")[0] for m in warnings(logs)] == [
        "Failed to get redis frame from p:1",
        "Watcher skipped a notification whose channel name does not decode",
        "Watcher could not list the keys of p:*",
    ]
    for kind in (Read, Get):
        face.notify("p:1")
        face.raises[kind] = ValueError("not the client's")
        with pytest.raises(ValueError, match="not the client's"):
            face.get(timeout=0)


def test_ping_after_the_idle_interval_and_a_loss_only_when_a_read_after_its_deadline_heard_nothing(logs):
    face = watching(ping_interval=1.0)
    assert face.get(timeout=1.15) is None
    (pinged,) = face.times(Ping)
    assert 1.0 <= pinged <= 1.0 + SLICE + 1e-9
    # Away for long; the reply waits in the socket until a read that waits.
    face.now, face.late = 10.0, [{"type": "pong"}]
    assert face.get(timeout=0) is None and not face.times(Drop)
    assert face.get(timeout=1.5) is None  # idle again: a second PING, unanswered
    assert 1.0 <= face.times(Ping)[1] - 10.0 <= 1.0 + SLICE + 1e-9
    face.notify("k")  # any message counts as the connection's answer
    heard = face.now
    assert face.get(timeout=3) is None
    assert heard + 1.0 <= face.times(Drop)[0] <= heard + 1.0 + SLICE + 0.02
    assert warnings(logs) == [LOST + "no reply to PING within 1 s"]


# -- pending keys --------------------------------------------------------------------


def test_first_notified_first_repeats_coalesced_and_each_get_keeps_its_deadline():
    face = watching(patterns=("*",), values={b"k1": b"1", b"k2": b"2", b"k3": b"3"}, max_pending=4)
    face.notify("gone", "k1", "k2", "k1", "k3", "k2")
    assert face.get(timeout=0) is None  # one GET at the deadline, of a key gone since
    assert len(face.times(Get)) == 1
    assert [face.get(timeout=0) for _ in range(4)] == [("k1", b"1"), ("k2", b"2"), ("k3", b"3"), None]
    counts = {"notifications": 6, "deliveries": 3, "coalesced": 2, "skipped": 1, "reconnects": 0, "resyncs": 0}
    assert face.core.stats() == {**counts, "pending": 0}
    face.notify("k2", "k1", "k3")
    assert face.get(timeout=0) == ("k2", b"2")
    face.core.close()  # from another thread: the next step returns
    assert face.get(timeout=1) is None and face.now == 0 and face.core.stats()["pending"] == 2
    face.core.release()
    assert face.core.stats()["pending"] == 0 and face.core.state() == "closed"


def test_overflow_covers_the_backlog_then_delivers_named_keys_then_scan_pages(logs):
    values = {b"a": b"A", b"b": b"B", b"c": b"C", b"p:1": b"1", b"p:2": b"2", b"p:3": b"3"}
    face = watching(keys=("a", "b", "c"), patterns=("p:*",), values=values, max_pending=4)
    face.notify(*(f"p:x{i}" for i in range(5)), *["p:x0"] * READ_BUDGET)  # past the cap, then more than one read
    got = [face.get(timeout=1)]
    assert face.core.stats()["resyncs"] == 1 and face.core.stats()["notifications"] == READ_BUDGET + 5
    face.notify("p:2")  # changed during the resync: delivered now, and not again when SCAN finds it
    got += [face.get(timeout=1) for _ in range(6)]
    assert got == [("a", b"A"), ("b", b"B"), ("p:2", b"2"), ("c", b"C"), ("p:1", b"1"), ("p:3", b"3"), None]
    assert [(op.pattern, op.cursor) for _, op in face.done if isinstance(op, Scan)] == [("p:*", 0), ("p:*", 2)]
    assert warnings(logs) == ["Watcher fell behind (more than 4 keys pending), delivering every watched key again"]


def test_a_backlog_covers_the_resync_for_at_most_1s():
    face = watching(keys=("a",), patterns=("p:*",), values={b"a": b"A"}, max_pending=4)
    face.read_cost = 0.3
    face.notify(*(f"p:{i}" for i in range(5)), *["a"] * (8 * READ_BUDGET))
    assert face.get(timeout=10) == ("a", b"A")
    # Covering from the end of the first read (0.3 s) to the first look 1 s past it.
    assert face.now == pytest.approx(1.5) and face.inbox
