"""The public operations against a real server, and against the recording
fake client only for replies and failures a real server cannot produce."""

import threading
import time

import orjson
import pytest
import redis

from stashel_testing import FakeClient, wait_until

# ---------------------------------------------------------------- frame writes


def test_direct_frame_write_and_delete(direct, redisdb, listen):
    listener = listen("kelm_key_notify")
    assert direct.write_kelm_data({"frame": None}, "kelm_key", 10) is True
    assert redisdb.get("kelm_key") == b'{"frame":null}' and 0 < redisdb.ttl("kelm_key") <= 10
    assert direct.write_kelm_data(None, "kelm_key") is True
    assert redisdb.exists("kelm_key") == 0
    assert direct.write_kelm_data(None, "kelm_key") is False  # nothing left to delete
    assert listener.wait_for(2) == [(b"kelm_key_notify", b"1")]  # deletes announce nothing


def test_frame_delete_in_threaded_mode_runs_now_and_never_touches_the_queue(threaded, redisdb):
    redisdb.set("k", b"x")

    class NoQueue:
        def __getattr__(self, name):
            raise AssertionError(f"queue used: {name}")

    real_queue, threaded._queue = threaded._queue, NoQueue()
    try:
        assert threaded.write_kelm_data(None, "k") is True
        assert redisdb.exists("k") == 0
    finally:
        threaded._queue = real_queue


def test_frame_write_calls(fake):
    client = fake._redis_client
    assert fake.write_kelm_data(None, "key") is True
    assert client.calls == [("delete", ("key",), {})]
    client.calls.clear()
    client.replies["set"] = False
    assert fake.write_kelm_data({"a": 1}, "key") is False
    assert client.names() == ["set"]
    client.replies["set"] = True
    client.raises["publish"] = Exception("publish failed")
    assert fake.write_kelm_data({"a": 1}, "kelm_key") is True
    assert client.calls[-1] == ("publish", ("kelm_key_notify", "1"), {})


def test_frame_encoder_error_on_the_direct_path(fake, logs):
    with pytest.raises(TypeError):
        fake.write_kelm_data({"x": {1, 2}}, "k")
    assert fake._redis_client.calls == [] and logs() == []


def stop_writer(instance):
    instance._stop_evt.set()
    instance._worker.join(2)
    assert not instance._worker.is_alive()


def test_a_full_queue_drops_only_superseded_frames_and_parks_the_rest_in_order(threaded):
    stop_writer(threaded)
    frames = [{"n": i} for i in range(4)]
    for i, frame in enumerate(frames):  # one key: the oldest pending frame goes, as ever
        assert threaded.write_kelm_data(frame, "k", i + 1) is True
    pending = list(threaded._queue.queue)
    assert pending == [(frames[2], "k", 3), (frames[3], "k", 4)]
    assert pending[1][0] is frames[3]  # the caller's dict itself, not a copy
    assert threaded._queue.unfinished_tasks == 2  # dropped frames were marked done

    client = threaded._redis_client = FakeClient()
    for frame, key in [({"o": 1}, "o"), ({"p": 1}, "p"), ({"o": 2}, "o"), ({"n": 4}, "k"), ({"p": 2}, "p")]:
        assert threaded.write_kelm_data(frame, key) is True
    # o's frame took the place of k's superseded head; the others wait behind
    # the queue in the order their keys came, p's newest in p's place, and
    # supersede the queued frames of their keys; each is counted until the
    # writer has settled it.
    assert list(threaded._queue.queue) == [(frames[3], "k", 4), ({"o": 1}, "o", None)]
    assert threaded._queue.unfinished_tasks == 5 and client.calls == []

    threaded._worker_loop()  # the stop is set: it stores what is pending, then returns
    written = [(args[0], args[1]) for name, args, _ in client.calls if name == "set"]
    assert written == [("p", b'{"p":2}'), ("o", b'{"o":2}'), ("k", b'{"n":4}')]
    assert threaded._queue.unfinished_tasks == 0


class GatedClient:
    """Forwards to a real client; the first SET waits for the gate."""

    def __init__(self, client):
        self.client = client
        self.gate = threading.Event()
        self.waiting = threading.Event()

    def set(self, *args, **kwargs):
        if not self.gate.is_set():
            self.waiting.set()
            self.gate.wait(5)
        return self.client.set(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(self.client, name)


def test_overflow_under_a_busy_writer_keeps_every_keys_newest_frame(threaded, redisdb, listen):
    listener = listen("a_notify", "b_notify", "c_notify")
    gated = threaded._redis_client = GatedClient(threaded._redis_client)
    threaded.write_kelm_data({"n": 0}, "a")
    assert gated.waiting.wait(5)  # the writer holds a's frame
    for frame, key in [({"n": 1}, "b"), ({"n": 2}, "c"), ({"n": 3}, "a"), ({"n": 4}, "a"), ({"n": 5}, "b")]:
        start = time.monotonic()
        assert threaded.write_kelm_data(frame, key) is True
        assert time.monotonic() - start < 1  # never waits for the gated writer
    gated.gate.set()
    assert sorted(channel for channel, _ in listener.wait_for(4)) == [b"a_notify"] * 2 + [b"b_notify", b"c_notify"]
    assert [redisdb.get(key) for key in "abc"] == [b'{"n":4}', b'{"n":5}', b'{"n":2}']
    assert wait_until(lambda: threaded._queue.unfinished_tasks == 0)


class RefusingQueue:
    """A queue that is always full and refuses every insertion."""

    def __init__(self, error):
        self.error = error
        self.calls = []

    def put_nowait(self, item):
        self.calls.append("put_nowait")
        raise self.error

    def get_nowait(self):
        self.calls.append("get_nowait")
        raise __import__("queue").Empty

    def task_done(self):
        self.calls.append("task_done")


def test_refused_second_attempt_falls_back_to_the_callers_thread(fake):
    import queue

    fake._use_thread = True
    fake._queue = RefusingQueue(queue.Full())
    assert fake.write_kelm_data({"a": 1}, "k") is True
    assert fake._queue.calls == ["put_nowait", "get_nowait", "put_nowait"]  # empty drop: no task_done
    assert fake._redis_client.names() == ["set", "publish"]


def test_other_queue_errors_reach_the_caller(fake):
    fake._use_thread = True
    fake._queue = RefusingQueue(RuntimeError("queue broken"))
    with pytest.raises(RuntimeError, match="queue broken"):
        fake.write_kelm_data({"a": 1}, "k")
    assert fake._redis_client.calls == []


def test_frame_writes_overlapping_shutdown_never_fail(make_stashel, redisdb):
    # Producers race the shutdown routine; a frame whose queue disappears
    # takes the direct path instead of surfacing an error.
    for round in range(5):
        instance = make_stashel()
        errors, go = [], threading.Event()

        def produce(worker_id):
            go.wait()
            try:
                for i in range(300):
                    assert instance.write_kelm_data({"i": i}, f"w{worker_id}") is True
            except BaseException as error:  # noqa: BLE001 - any error is the failure under test
                errors.append(error)

        producers = [threading.Thread(target=produce, args=(n,)) for n in range(4)]
        for producer in producers:
            producer.start()
        go.set()
        time.sleep(0.002 * round)
        instance._shutdown_executor()
        for producer in producers:
            producer.join(20)
        assert errors == []
        assert instance.write_kelm_data({"after": round}, "after") is True
        assert redisdb.get("after") == orjson.dumps({"after": round})


# ---------------------------------------------------------------- plain writes


def test_plain_writes_store_text_and_compact_json(direct, redisdb, listen):
    listener = listen("my_key_notify")
    assert direct.write_data("my_key", "hello") is True
    assert redisdb.get("my_key") == b"hello" and redisdb.ttl("my_key") == -1
    assert direct.write_data("my_key", {"a": 1, "b": 2}, 60) is True
    stored = redisdb.get("my_key")
    assert stored == b'{"a":1,"b":2}' and len(stored) == 13 and 0 < redisdb.ttl("my_key") <= 60
    assert direct.write_data("my_key", "\u00fcber \U0001f600") is True
    assert redisdb.get("my_key").decode() == "\u00fcber \U0001f600"
    assert listener.wait_for(3) == [(b"my_key_notify", b"1")] * 3


def test_plain_write_calls(fake):
    client = fake._redis_client

    class Sub(dict):
        pass

    class MappingLike:
        def keys(self):
            return ["a"]

        def __getitem__(self, key):
            return 1

    like = MappingLike()
    fake.write_data("my_key", "hello")
    fake.write_data("my_key", Sub(a=1), 0)
    fake.write_data("my_key", like, -1)
    fake.write_data("my_key", None)
    sets = [(args, kwargs) for name, args, kwargs in client.calls if name == "set"]
    assert sets == [
        (("my_key", "hello"), {"ex": None}),
        (("my_key", b'{"a":1}'), {"ex": 0}),
        (("my_key", like), {"ex": -1}),
        (("my_key", None), {"ex": None}),
    ]
    assert ("delete", ("my_key",), {}) not in client.calls
    assert client.calls[1] == ("publish", ("my_key_notify", "1"), {})


@pytest.mark.parametrize("reply", [False, None])
def test_refused_plain_write(fake, logs, reply):
    fake._redis_client.replies["set"] = reply
    assert fake.write_data("my_key", "v") is False
    assert fake._redis_client.names() == ["set"] and logs() == []


def test_plain_write_failures(fake, logs):
    client = fake._redis_client
    client.raises["publish"] = Exception("publish failed")
    assert fake.write_data("my_key", "v") is True
    assert logs() == [("WARNING", "Failed to publish notification to my_key_notify: publish failed")]
    client.raises["set"] = ConnectionError("connection refused")
    client.calls.clear()
    with pytest.raises(ConnectionError, match="connection refused"):
        fake.write_data("my_key", "v")
    assert client.names() == ["set"] and len(logs()) == 1
    client.calls.clear()
    with pytest.raises(TypeError):
        fake.write_data("my_key", {1: 2})
    assert client.calls == []


def test_plain_write_of_a_value_the_client_refuses(direct, redisdb):
    with pytest.raises(redis.DataError):
        direct.write_data("k", None)
    assert redisdb.exists("k") == 0


def test_plain_write_on_a_threaded_instance_is_immediate(threaded, redisdb):
    stop_writer(threaded)
    assert threaded.write_data("k", "now") is True
    assert redisdb.get("k") == b"now" and threaded._queue.qsize() == 0


# ---------------------------------------------------------------- reads


def test_reads(direct, redisdb, logs):
    redisdb.set("raw", b"raw")
    redisdb.set("frame", b'{"result": [1, 2]}')
    redisdb.set("list", b"[1, 2.5]")
    redisdb.set("null", b"null")
    assert direct.read_data("raw") == b"raw" and direct.read_data("missing") is None
    assert direct.read_kelm_data("frame") == {"result": [1, 2]}
    assert direct.read_kelm_data("list") == [1, 2.5]
    assert direct.read_kelm_data("null") is None and direct.read_kelm_data("missing") is None
    assert logs() == []


@pytest.mark.parametrize("stored", [b"not json", b"", b'{"a": ', b"\xff"])
def test_undecodable_frames_are_a_warning_and_none(direct, redisdb, logs, stored):
    redisdb.set("bad", stored)
    assert direct.read_kelm_data("bad") is None
    [(level, message)] = logs()
    assert level == "WARNING" and message.startswith("Failed to get redis frame from bad - ")


def test_read_calls_and_failures(fake, logs):
    client = fake._redis_client
    client.replies["get"] = b"raw"
    assert fake.read_data("key") == b"raw"
    assert client.calls == [("get", ("key",), {})]
    client.raises["get"] = Exception("connection refused")
    with pytest.raises(Exception, match="connection refused"):
        fake.read_data("key")
    assert fake.read_kelm_data("key") is None
    assert logs() == [("WARNING", "Failed to get redis frame from key - connection refused")]
    client.raises["get"] = Exception()
    fake.read_kelm_data("key")
    assert logs()[-1][1] == "Failed to get redis frame from key - "
    client.raises["get"] = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        fake.read_kelm_data("key")


def test_frame_read_goes_through_read_data_on_the_instance(fake):
    seen = []
    fake.read_data = lambda **kwargs: seen.append(kwargs) or "already decoded"
    assert fake.read_kelm_data("key") == "already decoded"  # not bytes: returned unchanged
    assert seen == [{"redis_key": "key"}]


# ---------------------------------------------------------------- deletes and scan


def test_deletes(direct, redisdb, listen):
    listener = listen("a_notify")
    redisdb.mset({"a": 1, "c": 3, "d": 4})
    assert direct.delete_data("a") is True and direct.delete_data("a") is False
    assert direct.delete_many(["c", "b", "d"]) == 2
    assert direct.delete_many([]) == 0
    assert redisdb.dbsize() == 0
    assert listener.wait_for(1, timeout=0.3) == []


def test_delete_calls(fake):
    client = fake._redis_client
    assert fake.delete_many([]) == 0 and client.calls == []
    client.replies["delete"] = 2
    keys = ["x", "y", "z"]
    assert fake.delete_many(keys) == 2
    assert client.calls == [("delete", ("x", "y", "z"), {})]
    client.replies["delete"] = 0
    assert fake.delete_data("missing") is False
    client.replies["delete"] = None
    assert fake.delete_many(["x"]) is None and fake.delete_data("x") is False
    client.replies["delete"] = True
    with pytest.raises(TypeError, match=r"^Expected int, got bool$"):
        fake.delete_many(["x"])
    assert fake.delete_data("x") is True


def test_scan_walks_every_page(direct, redisdb):
    pipe = redisdb.pipeline(transaction=False)
    for i in range(3000):
        pipe.set(f"cam:{i}", i)
    for i in range(1000):
        pipe.set(f"other:{i}", i)
    pipe.execute()
    found = direct.scan_keys("cam:*")
    assert all(type(key) is str for key in found)
    assert set(found) == {f"cam:{i}" for i in range(3000)}
    assert direct.scan_keys("nothing:*") == []


def test_scan_results_as_the_client_yields_them(fake):
    client = fake._redis_client
    client.scan = [b"a", "already-text", b"a", bytearray(b"raw")]
    assert fake.scan_keys("p*") == ["a", "already-text", "a", bytearray(b"raw")]
    assert client.calls == [("scan_iter", (), {"match": "p*"})]
    client.scan = [b"ok", b"\xff\xfe"]
    with pytest.raises(UnicodeDecodeError):
        fake.scan_keys("*")


# ---------------------------------------------------------------- bad input changes nothing


def test_refused_calls_leave_the_server_untouched(direct, redisdb, listen):
    listener = listen("k_notify")
    redisdb.set("k", b"keep")
    bad_calls = [
        lambda: direct.write_kelm_data({"a": 1}, "k", 1.5),
        lambda: direct.write_kelm_data({"a": 1}, b"k"),
        lambda: direct.write_data("k", "v", True),
        lambda: direct.write_data(redis_key="k"),
        lambda: direct.delete_data(b"k"),
        lambda: direct.delete_many(("k",)),
        lambda: direct._write_({"a": 1}, "k", ttl="1"),
    ]
    for call in bad_calls:
        with pytest.raises(TypeError):
            call()
    assert redisdb.dbsize() == 1 and redisdb.get("k") == b"keep" and redisdb.ttl("k") == -1
    assert listener.wait_for(1, timeout=0.3) == []


def test_subclass_overrides_are_honoured(server, redisdb):
    from kelm_sdk.redis.stashel import Stashel

    class Audited(Stashel):
        def __init__(self, **kwargs):
            self.written = []
            super().__init__(**kwargs)

        def _write_(self, data, redis_key, ttl=None):
            self.written.append(redis_key)
            return super()._write_(dict(data, audited=True), redis_key, ttl)

        def read_data(self, redis_key):
            return super().read_data("prefix:" + redis_key)

    instance = Audited(host=server[0], port=server[1])
    try:
        instance.write_kelm_data({"n": 1}, "prefix:cam")  # queued, then written by the writer
        assert wait_until(lambda: redisdb.get("prefix:cam") is not None)
        assert instance.written == ["prefix:cam"]
        assert instance.read_kelm_data("cam") == {"n": 1, "audited": True}
    finally:
        instance._shutdown_executor()
