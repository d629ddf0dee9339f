"""What the extension counts, handed over when ``kelm_sdk.redis.stashel`` loads.

``writer_counts(store)`` gives one instance's counts of its accepted frames by
outcome, its pending frames, its failed notifications and the waits of the
last frames its writer took; ``process_counts()`` the same summed over every
instance the process has had. Read them through :mod:`kelm_sdk.redis.metrics`.
"""

from typing import Any

writer_counts: Any = None
process_counts: Any = None
