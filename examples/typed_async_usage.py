"""AsyncWatcher in typed asyncio code: a camera's frame followed as it
changes (its current one first), and the changes under a pattern counted
by `async for` until another task closes the watcher.

`make typecheck` checks this file with `mypy --strict` against the installed
package. To run it against a server:
    python examples/typed_async_usage.py [host [port]]
"""

from __future__ import annotations

import asyncio
import sys
from typing import Any

import redis.asyncio

from kelm_sdk.redis.watch import AsyncWatcher

Frame = dict[str, Any]


async def follow(host: str, port: int, key: str, limit: int) -> list[Frame]:
    """The key's frames as they change, up to `limit`, or fewer when a
    second passes without a change."""
    frames: list[Frame] = []
    async with AsyncWatcher([key], host=host, port=port) as watcher:  # subscribed on entry
        while len(frames) < limit:
            change = await watcher.get(timeout=1.0)
            if change is None:
                break
            _key, frame = change
            if isinstance(frame, dict):
                frames.append(frame)
    return frames


async def count_changes(client: redis.asyncio.Redis, pattern: str, seconds: float) -> dict[str, int]:
    """Changes per key under `pattern` for `seconds`, through the caller's client."""
    counts: dict[str, int] = {}
    watcher = AsyncWatcher(patterns=[pattern], client=client, initial=False)

    async def stop_later() -> None:
        await asyncio.sleep(seconds)
        await watcher.aclose()  # ends the iteration below

    async with watcher:
        stopper = asyncio.create_task(stop_later())
        for i in range(3):  # a producer: store, then announce
            await client.set(f"{pattern[:-1]}{i % 2}", b'{"i": %d}' % i)
            await client.publish(f"{pattern[:-1]}{i % 2}_notify", "1")
        async for key, _frame in watcher:
            counts[key] = counts.get(key, 0) + 1
        await stopper
    stats: dict[str, int] = watcher.stats()
    print(f"{stats['notifications']} notifications, {stats['deliveries']} deliveries")
    return counts


async def main(argv: list[str]) -> int:
    host = argv[1] if len(argv) > 1 else "127.0.0.1"
    port = int(argv[2]) if len(argv) > 2 else 6379
    client = redis.asyncio.Redis(host=host, port=port)
    try:
        await client.set("frame:cam-9", b'{"seq": 7}')
        followed = await follow(host, port, "frame:cam-9", 1)
        counts = await count_changes(client, "async-demo:*", 0.5)
        await client.delete("frame:cam-9", "async-demo:0", "async-demo:1")
    except (redis.RedisError, OSError) as exc:
        print(f"no server answers at {host}:{port} - {exc}", file=sys.stderr)
        return 1
    finally:
        await client.aclose()
    print(f"followed {followed}; changes {counts}")
    return 0 if [f["seq"] for f in followed] == [7] and sum(counts.values()) >= 2 else 1


if __name__ == "__main__":
    sys.exit(asyncio.run(main(sys.argv)))
