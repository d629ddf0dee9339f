"""The consumer side of `<key>_notify`: a Watcher delivers every change
announced for the keys (or key patterns) it watches.

Each delivery is `(key, value)`, the value read when it is delivered, so a
burst of writes to one key before the consumer gets to it costs one read.
The Watcher owns its pub/sub connection: it subscribes before it is ready,
checks an idle subscription with PING, notices a lost connection (even one
redis-py re-established by itself), reconnects with a bounded backoff and
then delivers every watched key again, since changes made while it was away
were announced to nobody. Past `max_pending` distinct keys it does the same
instead of holding them all.

`Watcher` runs on redis-py's blocking client, all server work on the thread
that calls `get` (no thread is started; `close` may be called from any
thread). `AsyncWatcher` is the same on redis.asyncio. Both are thin faces
over one core that does no I/O (`_core.py`). `python -m kelm_sdk.redis.watch`
prints the changes as JSON lines.
"""

from ._async import AsyncWatcher
from ._core import SUFFIX
from ._sync import Watcher

__all__ = ["SUFFIX", "AsyncWatcher", "Watcher"]
