"""Values at the edges, through a real server: huge frames, nesting past the
encoder's limit, keys and text the encoders refuse, NUL and non-BMP text,
the empty key, and key names on the server that are not UTF-8."""

import math
import re

import orjson
import pytest
import redis

from .conftest import counted, drained


def nested(depth):
    frame = {}
    inner = frame
    for _ in range(depth - 1):
        inner["a"] = {}
        inner = inner["a"]
    return frame


def test_50_mb_frame_round_trips(direct, threaded, redisdb, listen):
    frame = {"blob": "\u00e9" * (25 * 1024 * 1024), "n": 1}  # 50 MB once encoded
    listener = listen("big_notify")
    assert direct.write_kelm_data(frame, "big") is True
    assert len(redisdb.get("big")) == 50 * 1024 * 1024 + len('{"blob":"","n":1}')
    assert direct.read_kelm_data("big") == frame
    threaded.write_kelm_data({**frame, "n": 2}, "big")
    assert drained(threaded)
    assert direct.read_kelm_data("big") == {**frame, "n": 2}
    assert direct.write_data("big", frame, 60) is True
    assert direct.read_data("big") == orjson.dumps(frame)
    assert len(listener.wait_for(3)) == 3


def test_nesting_past_the_encoder_limit(direct, threaded, redisdb, logs):
    deepest = nested(254)
    assert direct.write_kelm_data(deepest, "deep") is True
    assert direct.read_kelm_data("deep") == deepest

    proxy = counted(direct)
    cyclic = {"a": 1}
    cyclic["self"] = cyclic
    for frame in (nested(255), nested(5000), cyclic):
        for call in (
            lambda: direct._write_(frame, "deep"),
            lambda: direct.write_kelm_data(frame, "deep"),
            lambda: direct.write_data("deep", frame),
        ):
            with pytest.raises(TypeError, match=r"^Recursion limit reached$"):
                call()
    assert proxy.set_calls == 0 and logs() == []

    # Queued: the writer logs the refusal and goes on with the next frame.
    assert threaded.write_kelm_data(nested(300), "deep:q") is True
    assert drained(threaded)
    assert logs() == [("ERROR", "Failed to write data to redis`deep:q` - Recursion limit reached")]
    assert threaded.write_kelm_data({"after": 1}, "deep:q") is True
    assert drained(threaded) and threaded._worker.is_alive()
    assert direct.read_kelm_data("deep:q") == {"after": 1}

    # A document stored by someone else, deeper than the decoder accepts.
    redisdb.set("deep:raw", "[" * 1100 + "]" * 1100)
    assert direct.read_kelm_data("deep:raw") is None
    assert logs()[-1][0] == "WARNING"
    # orjson words it "depth limit exceeded" from 3.12, "recursion depth exceeded" before.
    assert re.match(r"Failed to get redis frame from deep:raw - .*depth (limit )?exceeded", logs()[-1][1])
    assert direct.read_data("deep:raw") == b"[" * 1100 + b"]" * 1100


@pytest.mark.parametrize(
    "frame, text",
    [
        ({1: "a"}, "Dict key must be str"),
        ({None: 1}, "Dict key must be str"),
        ({("t",): 1}, "Dict key must be str"),
        ({"a": 2**64}, "Integer exceeds 64-bit range"),
        ({"a": "\ud800"}, "str is not valid UTF-8: surrogates not allowed"),
        ({"a": {1, 2}}, "Type is not JSON serializable: set"),
    ],
)
def test_frames_the_encoder_refuses(direct, threaded, logs, frame, text):
    proxy = counted(direct)
    for call in (
        lambda: direct._write_(frame, "bad"),
        lambda: direct.write_kelm_data(frame, "bad"),
        lambda: direct.write_data("bad", frame),
    ):
        with pytest.raises(TypeError) as refused:
            call()
        assert str(refused.value) == text
    assert proxy.set_calls == 0 and logs() == []
    threaded.write_kelm_data(frame, "bad")
    assert drained(threaded)
    assert logs() == [("ERROR", f"Failed to write data to redis`bad` - {text}")]
    assert threaded._worker.is_alive()


def test_nan_and_infinity_are_stored_as_null(direct, redisdb):
    assert direct.write_kelm_data({"nan": math.nan, "inf": math.inf, "-inf": -math.inf}, "nan") is True
    assert redisdb.get("nan") == b'{"nan":null,"inf":null,"-inf":null}'
    assert direct.read_kelm_data("nan") == {"nan": None, "inf": None, "-inf": None}


def test_plain_values_redis_py_refuses_or_converts(direct, redisdb):
    for value in ([1, 2], None, {1, 2}, object()):
        with pytest.raises(redis.DataError):
            direct.write_data("plain", value)
    assert direct.write_data("plain", 5) is True and redisdb.get("plain") == b"5"
    assert direct.write_data("plain", 1.5) is True and redisdb.get("plain") == b"1.5"
    assert direct.write_data("plain", b"\x00\xff") is True and direct.read_data("plain") == b"\x00\xff"


NUL_AND_ASTRAL = ["nul\x00key", "emoji\U0001f600", "\U0001f600\x00\U00010348", "\u043a\u043b\u044e\u0447", " "]


def test_nul_and_non_bmp_text_round_trip_exactly(direct, threaded, redisdb, listen):
    listener = listen(*(k + "_notify" for k in NUL_AND_ASTRAL))
    for n, key in enumerate(NUL_AND_ASTRAL):
        frame = {"t\x00\U0001d11e": ["a\x00b", "\U0001f600", key], "n": n}
        assert direct.write_kelm_data(frame, key) is True
        assert direct.read_kelm_data(key) == frame
        assert redisdb.get(key.encode()) == orjson.dumps(frame)
        threaded.write_kelm_data({**frame, "q": True}, key)
        assert drained(threaded)
        assert direct.read_kelm_data(key) == {**frame, "q": True}
        text = "v\x00" + key + "\U0010ffff"
        assert direct.write_data(key, text) is True
        assert direct.read_data(key) == text.encode()
    assert sorted(direct.scan_keys("*")) == sorted(NUL_AND_ASTRAL)
    assert direct.scan_keys("nul\x00*") == ["nul\x00key"]
    messages = listener.wait_for(3 * len(NUL_AND_ASTRAL))
    assert sorted(m for m, _ in messages) == sorted((k + "_notify").encode() for k in NUL_AND_ASTRAL for _ in range(3))
    assert direct.delete_many(list(NUL_AND_ASTRAL)) == len(NUL_AND_ASTRAL)


def test_keys_that_are_not_encodable(direct, threaded, logs):
    key = "lone\ud800surrogate"
    with pytest.raises(UnicodeEncodeError):
        direct.write_data(key, "v")
    for call in (
        lambda: direct.read_data(key),
        lambda: direct.delete_data(key),
        lambda: direct.scan_keys(key),
        lambda: direct.delete_many([key]),
    ):
        with pytest.raises(UnicodeEncodeError):
            call()
    assert direct.write_kelm_data({"a": 1}, key) is False
    assert direct.read_kelm_data(key) is None
    threaded.write_kelm_data({"a": 1}, key)
    assert drained(threaded)
    lines = logs()
    assert [level for level, _ in lines] == ["ERROR", "WARNING", "ERROR"]
    assert lines[0][1].startswith(f"Failed to write data to redis`{key}` - 'utf-8' codec can't encode")
    assert lines[1][1].startswith(f"Failed to get redis frame from {key} - 'utf-8' codec can't encode")
    assert lines[2] == lines[0]


def test_empty_key(direct, threaded, redisdb, listen):
    listener = listen("_notify")
    assert direct.write_kelm_data({"empty": True}, "") is True
    assert redisdb.get("") == b'{"empty":true}'
    assert direct.read_kelm_data("") == {"empty": True}
    threaded.write_kelm_data({"empty": 2}, "")
    assert drained(threaded)
    assert direct.read_kelm_data("") == {"empty": 2}
    assert direct.scan_keys("*") == [""]
    assert len(listener.wait_for(2)) == 2
    assert direct.delete_data("") is True and direct.read_data("") is None


def test_scan_meets_key_names_that_are_not_utf8(direct, redisdb):
    pipe = redisdb.pipeline()
    for i in range(3000):
        pipe.set(f"good:{i}", 1)
    pipe.execute()
    redisdb.set(b"bad:\xff\xfe", 1)
    with pytest.raises(UnicodeDecodeError):
        direct.scan_keys("*")
    with pytest.raises(UnicodeDecodeError):
        direct.scan_keys("bad:*")
    good = direct.scan_keys("good:*")
    assert len(good) >= 3000 and set(good) == {f"good:{i}" for i in range(3000)}
    # Names the scan cannot return can still be removed by the bytes.
    assert direct.delete_many([b"bad:\xff\xfe"]) == 1
    assert len(direct.scan_keys("*")) >= 3000
