"""Stashel in typed code: frames written with a time-to-live, the newest
frame read back as a dict or None, followed as it changes with a Watcher, a
camera's keys listed and removed, the writer's outcome counted.

`make typecheck` checks this file with `mypy --strict` against the installed
package and its stub. To run it against a server:
    python examples/typed_usage.py [host [port]]
"""

from __future__ import annotations

import sys
from typing import Any

from kelm_sdk.redis.metrics import writer_stats
from kelm_sdk.redis.stashel import Stashel
from kelm_sdk.redis.watch import Watcher

Frame = dict[str, Any]


def frame_key(camera: str) -> str:
    return f"frame:{camera}"


def publish(store: Stashel, camera: str, seq: int, boxes: list[list[int]]) -> bool:
    """Stores the frame for five seconds; readers are told on <key>_notify."""
    frame: Frame = {"camera": camera, "seq": seq, "boxes": boxes}
    return store.write_kelm_data(frame, frame_key(camera), ttl=5)


def newest(store: Stashel, camera: str) -> Frame | None:
    """The stored frame, or None when there is none (or it is not a JSON object)."""
    frame = store.read_kelm_data(frame_key(camera))
    return frame if isinstance(frame, dict) else None


def follow(host: str, port: int, camera: str, limit: int) -> list[Frame]:
    """The camera's frames as they change (its current one first), up to
    `limit`, or fewer when a second passes without a change."""
    frames: list[Frame] = []
    with Watcher([frame_key(camera)], host=host, port=port) as watcher:
        while len(frames) < limit:
            change = watcher.get(timeout=1.0)
            if change is None:
                break
            _key, frame = change
            if isinstance(frame, dict):
                frames.append(frame)
    return frames


def forget(store: Stashel, camera: str) -> int:
    """Deletes every key of the camera; returns how many there were."""
    keys: list[str] = store.scan_keys(f"*:{camera}")
    return store.delete_many(keys) if keys else 0


def lost_share(store: Stashel) -> float:
    """The share of accepted frames that were not stored, superseded ones aside."""
    stats = writer_stats(store)
    settled: int = stats["accepted"] - stats["pending"] - stats["superseded"]
    return (stats["refused"] + stats["failed"] + stats["discarded"]) / settled if settled else 0.0


def main(argv: list[str]) -> int:
    host = argv[1] if len(argv) > 1 else "127.0.0.1"
    port = int(argv[2]) if len(argv) > 2 else 6379
    # Direct mode: each call runs on this thread, so a read sees the write before it.
    store = Stashel(thread=False, host=host, port=port)
    if not publish(store, "cam-1", 1, [[0, 0, 10, 10]]):
        print(f"no server answers at {host}:{port}", file=sys.stderr)
        return 1
    store.write_data("status:cam-1", "streaming")
    # Values as redis-py sends them: bytes, int and float are stored as given.
    store.write_data("thumb:cam-1", b"\x89PNG", ttl=5)
    store.write_data("fps:cam-1", 29.97)
    frame = newest(store, "cam-1")
    seq: int | None = frame["seq"] if frame is not None else None
    followed = follow(host, port, "cam-1", 1)
    if [f["seq"] for f in followed] != [seq]:
        print(f"the watcher delivered {followed}, not the current frame", file=sys.stderr)
        return 1
    print(f"newest frame of cam-1: seq {seq}; removed {forget(store, 'cam-1')} keys; lost {lost_share(store):.0%}")
    return 0 if seq == 1 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
