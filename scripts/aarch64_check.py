"""The aarch64 wheel at work (scripts/aarch64.sh runs this under qemu): the
module imports, a frame written by the writer thread is read back, and its
notification arrives. The argument is the port of a redis-server on 127.0.0.1."""

import platform
import sys
import time

import redis

from kelm_sdk.redis.stashel import Stashel

port = int(sys.argv[1])
listener = redis.Redis(host="127.0.0.1", port=port).pubsub()
listener.subscribe("frame:arm_notify")
assert listener.get_message(timeout=5)["type"] == "subscribe"
store = Stashel(host="127.0.0.1", port=port)  # threaded: StashelWorker stores the frame
frame = {"camera": "arm", "seq": 1, "boxes": [[0, 0, 10, 10]], "score": 0.5}
assert store.write_kelm_data(frame, "frame:arm", ttl=30) is True
deadline = time.monotonic() + 10
while (back := store.read_kelm_data("frame:arm")) is None and time.monotonic() < deadline:
    time.sleep(0.05)
assert back == frame, back
message = listener.get_message(timeout=5)
assert message is not None and message["channel"] == b"frame:arm_notify" and message["data"] == b"1", message
where = f"{platform.machine()} CPython {platform.python_version()}"
print(f"aarch64: {where}: frame read back, notification {message['data']!r}")
