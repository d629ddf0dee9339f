"""The write step: a frame stored as compact JSON with its TTL, announced on
<key>_notify only after the server accepted it, failures logged."""

import queue
import sys
from typing import ClassVar

import orjson
import pytest


def test_frame_stored_with_ttl_and_announced(direct, redisdb, listen):
    listener = listen("kelm_key_notify", "plain_notify")
    frame = {"frame": None, "result": [], "név": "ü", "n": 1.5}
    assert direct._write_(frame, "kelm_key", 30) is True
    assert redisdb.get("kelm_key") == orjson.dumps(frame)
    assert 0 < redisdb.ttl("kelm_key") <= 30
    assert direct._write_({"a": 1}, "plain") is True
    assert redisdb.ttl("plain") == -1  # no expiry
    assert listener.wait_for(2) == [(b"kelm_key_notify", b"1"), (b"plain_notify", b"1")]


def test_ttl_none_clears_an_earlier_expiry_and_last_write_wins(direct, redisdb, listen):
    listener = listen("k_notify")
    direct._write_({"v": 1}, "k", 100)
    direct._write_({"v": 2}, "k")
    assert redisdb.get("k") == b'{"v":2}' and redisdb.ttl("k") == -1
    assert len(listener.wait_for(2)) == 2


def test_empty_key_is_used_unchanged(direct, redisdb, listen):
    listener = listen("_notify")
    assert direct._write_({}, "") is True
    assert redisdb.get("") == b"{}"
    assert listener.wait_for(1) == [(b"_notify", b"1")]


def test_calls_made_on_the_client(fake):
    client = fake._redis_client
    assert fake._write_({"frame": None, "result": []}, "kelm_key") is True
    assert client.calls == [
        ("set", ("kelm_key", b'{"frame":null,"result":[]}'), {"ex": None}),
        ("publish", ("kelm_key_notify", "1"), {}),
    ]
    client.calls.clear()
    fake._write_({}, "k", 5)
    assert client.calls[0] == ("set", ("k", b"{}"), {"ex": 5})


@pytest.mark.parametrize("reply", [False, None, 0, b""])
def test_refused_set_publishes_nothing_and_logs_nothing(fake, logs, reply):
    fake._redis_client.replies["set"] = reply
    assert fake._write_({"a": 1}, "k") is False
    assert fake._redis_client.names() == ["set"] and logs() == []


def test_truthy_reply_gives_exactly_true(fake):
    fake._redis_client.replies["set"] = b"OK"
    assert fake._write_({"a": 1}, "k") is True


def test_failed_publish_is_a_warning_and_the_write_stands(fake, logs):
    fake._redis_client.raises["publish"] = Exception("publish failed")
    assert fake._write_({"a": 1}, "kelm_key") is True
    assert fake._redis_client.names() == ["set", "publish"]
    assert logs() == [("WARNING", "Failed to publish notification to kelm_key_notify: publish failed")]


def test_failed_set_is_an_error_line_and_false(fake, logs):
    fake._redis_client.raises["set"] = ConnectionError("connection refused")
    assert fake._write_({"a": 1}, "kelm_key") is False
    assert fake._redis_client.names() == ["set"]
    assert logs() == [("ERROR", "Failed to write data to redis`kelm_key` - connection refused")]


def test_failing_warning_is_handled_like_a_failed_set(fake, monkeypatch):
    from kelm_sdk.redis import stashel

    class Logger:
        lines: ClassVar[list[str]] = []

        def warning(self, message):
            raise RuntimeError("log sink down")

        def error(self, message):
            self.lines.append(message)

    monkeypatch.setattr(stashel, "logger", Logger())
    fake._redis_client.raises["publish"] = Exception("")
    assert fake._write_({}, "k") is False
    assert Logger.lines == ["Failed to write data to redis`k` - log sink down"]


def test_unreachable_server_is_logged_not_raised(logs):
    from kelm_sdk.redis.stashel import Stashel

    instance = Stashel(thread=False, host="127.0.0.1", port=1)
    assert instance._write_({"a": 1}, "k") is False
    [(level, message)] = logs()
    assert level == "ERROR" and message.startswith("Failed to write data to redis`k` - ")
    assert "Connection refused" in message or "connecting" in message


def test_encoder_errors_are_raised_before_any_command(fake, logs):
    with pytest.raises(TypeError):
        fake._write_({1: "non-text key"}, "k")
    with pytest.raises(TypeError):
        fake._write_({"obj": object()}, "k")
    assert fake._redis_client.calls == [] and logs() == []


def test_interrupts_are_not_swallowed(fake, logs):
    fake._redis_client.raises["set"] = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        fake._write_({}, "k")
    assert logs() == []


@pytest.mark.parametrize("method, command", [("_write_", "set"), ("read_kelm_data", "get")])
def test_logger_errors_carry_the_handled_error_as_context(fake, monkeypatch, method, command):
    # As inside an `except` block: the logger sees the handled error, and its
    # own error gets it as __context__.
    from kelm_sdk.redis import stashel

    seen = []

    class Logger:
        def log(self, message):
            seen.append(sys.exc_info()[1])
            raise RuntimeError("log sink down")

        error = warning = log

    monkeypatch.setattr(stashel, "logger", Logger())
    failure = ConnectionError("down")
    fake._redis_client.raises[command] = failure
    args = ({"a": 1}, "k") if method == "_write_" else ("k",)
    with pytest.raises(RuntimeError) as raised:
        getattr(fake, method)(*args)
    assert seen == [failure] and raised.value.__context__ is failure
    assert sys.exc_info() == (None, None, None)


def test_queue_errors_while_full_is_handled_carry_it_as_context(fake):
    class Stop(BaseException):
        pass

    class FullQueue:
        full_seen = False

        def put_nowait(self, item):
            raise Stop() if self.full_seen else queue.Full()

        def get_nowait(self):
            self.full_seen = True
            raise queue.Empty()

    fake._use_thread, fake._queue = True, FullQueue()
    with pytest.raises(Stop) as raised:
        fake.write_kelm_data({"a": 1}, "k")
    assert isinstance(raised.value.__context__, queue.Full)
