"""The Watcher against a real server: nothing written after the constructor
returns is missed, bursts are coalesced in first-notified order, values are
read at delivery, and close() from another thread ends a blocked consumer;
any redis-py client; the AsyncWatcher; the shell tool."""

import asyncio
import datetime
import json
import select
import signal
import subprocess
import sys
import threading
import time

import pytest
import redis
import redis.asyncio

from kelm_sdk.redis import watch as watch_module
from kelm_sdk.redis.watch import Watcher
from stashel_testing import BlockingAsyncWatcher


@pytest.fixture
def watch(server):
    made = []
    yield lambda *args, **kwargs: made.append(Watcher(*args, host=server[0], port=server[1], **kwargs)) or made[-1]
    for watcher in made:
        watcher.close()


def test_a_write_right_after_construction_is_never_missed(watch, direct):
    # No wait between the constructor and the write, many times over: the
    # subscriptions must be confirmed before the constructor returns.
    for i in range(40):
        watcher = watch(["ready:k"] if i % 2 else (), ["ready:p*"] if i % 2 == 0 else (), initial=False)
        key = "ready:k" if i % 2 else f"ready:p{i}"
        direct.write_kelm_data({"i": i}, key)
        assert watcher.get(timeout=5) == (key, {"i": i}), f"round {i}"
        watcher.close()


def test_a_burst_is_delivered_once_per_key_newest_value_first_notified_first(watch, direct, redisdb):
    watcher = watch(["b:a", "b:b", "b:gone"], ["b:p:*"], initial=False)
    for i in range(5):
        direct.write_kelm_data({"i": i}, "b:a")
        direct.write_kelm_data({"i": i}, "b:p:1")
    direct.write_kelm_data({"i": 0}, "b:gone")
    direct.write_data("b:b", "raw text")
    direct.write_kelm_data({"i": 9}, "b:a")
    redisdb.delete("b:gone")
    time.sleep(0.2)  # every notification is in before the first get

    got = [watcher.get(timeout=2) for _ in range(4)]
    assert got == [("b:a", {"i": 9}), ("b:p:1", {"i": 4}), ("b:b", None), None]
    counts = {"notifications": 13, "deliveries": 3, "coalesced": 9, "skipped": 1}
    counts |= {"reconnects": 0, "resyncs": 0, "pending": 0}
    assert watcher.stats() == counts


def test_initial_values_raw_and_undecodable(watch, redisdb, logs):
    redisdb.set("i:frame", b'{"n":1}')
    redisdb.set("i:p:1", b"\xff not json")
    redisdb.hset("i:hash", "f", 1)  # GET refused: WRONGTYPE
    decoded = watch(["i:frame", "i:hash", "i:missing"], ["i:p:*"])
    got = [decoded.get(timeout=2) for _ in range(4)]
    assert got == [("i:frame", {"n": 1}), ("i:hash", None), ("i:p:1", None), None]
    assert logs()[-1][0] == "WARNING"
    assert logs()[-1][1].startswith("Failed to get redis frame from i:p:1 - ")
    raw = watch(["i:frame"], ["i:p:*"], decode=False)
    assert {raw.get(timeout=2), raw.get(timeout=2)} == {("i:frame", b'{"n":1}'), ("i:p:1", b"\xff not json")}


def test_close_from_another_thread_ends_get_and_iteration(watch):
    watcher = watch(["c:k"], initial=False)
    ended = []
    consumer = threading.Thread(target=lambda: ended.extend([list(watcher), time.monotonic()]))
    consumer.start()
    time.sleep(0.3)
    closed_at = time.monotonic()
    watcher.close()
    consumer.join(2)
    assert ended[0] == [] and ended[1] - closed_at < 0.5
    watcher.close()  # idempotent
    assert watcher.get(timeout=1) is None and watcher.get() is None
    with pytest.raises(ValueError, match="timeout"):
        watcher.get(-1)


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({}, ValueError, "at least one key or pattern"),
        ({"keys": "cam-1"}, TypeError, "keys must be a collection of str"),
        ({"patterns": ["a", b"b"]}, TypeError, "patterns must hold only str, got bytes"),
        ({"keys": ["a"], "port": True}, TypeError, "port must be int"),
        ({"keys": ["a"], "client": "redis://x"}, TypeError, "client must be a redis-py client"),
    ],
)
def test_bad_arguments_are_refused_before_anything_is_sent(redisdb, kwargs, error, text):
    before = redisdb.info("clients")["connected_clients"]
    with pytest.raises(error, match=text):
        Watcher(**kwargs)
    assert redisdb.info("clients")["connected_clients"] == before


@pytest.mark.parametrize("face", [Watcher, BlockingAsyncWatcher])
def test_a_client_that_decodes_replies_skips_a_channel_name_that_is_not_utf8(server, redisdb, logs, face):
    decoding = (redis.Redis if face is Watcher else redis.asyncio.Redis)(
        host=server[0], port=server[1], decode_responses=True
    )
    watcher = face(patterns=["u:*"], client=decoding, initial=False)
    try:
        redisdb.publish(b"u:\xff_notify", "1")  # get() used to raise UnicodeDecodeError
        redisdb.set("u:ok", b'{"ok":1}')
        redisdb.publish("u:ok_notify", "1")
        assert watcher.get(timeout=5) == ("u:ok", {"ok": 1})
        assert logs()[0][1].startswith("Watcher skipped a notification whose channel name does not decode - ")
    finally:
        watcher.close()
        watcher._call(decoding.aclose()) if face is BlockingAsyncWatcher else decoding.close()


def test_async_watcher_ready_on_entry_iterates_until_aclose_and_never_blocks_the_loop(server, redisdb, direct):
    async def main():
        before = redisdb.info("clients")["connected_clients"]
        watcher = watch_module.AsyncWatcher(["a:k"], ["a:p*"], host=server[0], port=server[1], initial=False)
        assert redisdb.info("clients")["connected_clients"] == before  # the constructor sent nothing
        ticks = []
        ticker = asyncio.create_task(tick(ticks))
        async with watcher:
            direct.write_kelm_data({"n": 1}, "a:p1")  # right after entry: never missed
            assert await watcher.get(timeout=5) == ("a:p1", {"n": 1})
            asyncio.get_running_loop().call_later(0.5, lambda: asyncio.create_task(watcher.aclose()))
            start = time.monotonic()
            assert [item async for item in watcher] == []
            assert 0.4 < time.monotonic() - start < 1.0 and len(ticks) > 20
        ticker.cancel()
        assert watcher.closed and watcher.stats()["deliveries"] == 1 and await watcher.get() is None

    async def tick(ticks):
        while True:
            await asyncio.sleep(0.01)
            ticks.append(1)

    asyncio.run(main())


def test_the_shell_prints_json_lines_and_ends_cleanly(server, redisdb):
    redisdb.set("sh:a", b'{"n":1}')
    command = [sys.executable, "-m", "kelm_sdk.redis.watch", "--host", server[0], "--port", str(server[1])]
    shell = subprocess.Popen([*command, "sh:a", "sh:p*"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def line():
        assert select.select([shell.stdout], [], [], 20)[0], "no line from the shell"
        return json.loads(shell.stdout.readline())

    first = line()
    assert (first["key"], first["value"]) == ("sh:a", {"n": 1}) and datetime.datetime.fromisoformat(first["at"])
    redisdb.set("sh:p1", b"[2]")
    redisdb.publish("sh:p1_notify", "1")
    assert line()["value"] == [2]
    shell.send_signal(signal.SIGINT)
    _, err = shell.communicate(timeout=20)
    assert shell.returncode == 0 and b"Traceback" not in err
    down = subprocess.run(
        [*command[:3], "--host", "127.0.0.1", "--port", "1", "k"], capture_output=True, timeout=20, check=False
    )
    assert down.returncode == 1 and down.stderr.startswith(b"watch: no answer") and down.stderr.count(b"\n") == 1
