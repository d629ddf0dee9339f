"""The writer's outcome, counted.

``writer_stats(store)`` gives one instance's counts; ``instrument()`` exports
the counts of every instance and Watcher in the process through OpenTelemetry
(the ``otel`` extra: ``pip install 'kelm-sdk-stashel[otel]'``), and from there
to Prometheus or any other backend: see docs/observability.md.
"""

from __future__ import annotations

import threading
from typing import Any

from kelm_sdk.redis import _counts, stashel
from kelm_sdk.redis.watch import _core

__all__ = ["OUTCOMES", "instrument", "writer_stats"]

# How an accepted frame ends; `pending` counts those not yet ended.
OUTCOMES = ("stored", "refused", "failed", "superseded", "withdrawn", "discarded")


def writer_stats(store: stashel.Stashel) -> dict[str, Any]:
    """A new dict of `store`'s counts since construction.

    accepted        frames a threaded write_kelm_data answered True for by
                    queueing them (not those written on the caller's thread)
    stored          accepted frames whose SET reply was true
    refused         ... whose SET reply was false
    failed          ... whose SET raised, or that could not be encoded
    superseded      ... replaced by a newer frame of their key before the
                    writer reached them
    withdrawn       ... taken back by a delete of their key
    discarded       ... still pending when the shutdown dropped the queue
    pending         ... not yet settled: queued, parked or being written
    publish_failed  notifications not sent after a stored write, on any path
    wait_p50_s, wait_p99_s
                    seconds from acceptance to the writer taking the frame,
                    over the last 1,000 frames taken (0.0 before any)

    At every moment accepted == stored + refused + failed + superseded +
    withdrawn + discarded + pending. A direct-mode instance accepts nothing.
    """
    if not isinstance(store, stashel.Stashel):
        raise TypeError(f"writer_stats() takes a Stashel, not {type(store).__name__}")
    counts: dict[str, Any] = _counts.writer_counts(store)
    waits = sorted(counts.pop("waits"))
    counts["wait_p50_s"] = _quantile(waits, 0.5)
    counts["wait_p99_s"] = _quantile(waits, 0.99)
    return counts


def _quantile(ordered: list[float], q: float) -> float:
    if not ordered:
        return 0.0
    position = q * (len(ordered) - 1)
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


_instrumented: list[tuple[Any, list[Any]]] = []  # (provider, its instruments), kept alive
_instrumenting = threading.Lock()


def instrument(meter_provider: Any = None) -> None:
    """Registers observable instruments on `meter_provider` (else the global
    MeterProvider), read at each collection and summed over the process:

    kelm.stashel.frames           counter, attribute `outcome` (OUTCOMES)
    kelm.stashel.pending          gauge, frames accepted and not yet settled
    kelm.stashel.publish_failures counter
    kelm.watch.notifications, kelm.watch.deliveries, kelm.watch.reconnects,
    kelm.watch.resyncs            counters over Watchers and AsyncWatchers
    kelm.watch.pending            gauge, keys pending

    Instances that are gone keep their counts in the totals, so counters never
    go down. A second call with the same provider does nothing.
    """
    try:
        from opentelemetry import metrics
        from opentelemetry.metrics import Observation
    except ImportError as exc:
        raise ImportError(
            "kelm_sdk.redis.metrics.instrument needs OpenTelemetry: pip install 'kelm-sdk-stashel[otel]'"
        ) from exc
    provider = meter_provider if meter_provider is not None else metrics.get_meter_provider()
    with _instrumenting:
        if any(done is provider for done, _ in _instrumented):
            return
        meter = provider.get_meter("kelm_sdk.redis")

        def frames(_options: Any) -> list[Any]:
            counts = _counts.process_counts()
            return [Observation(counts[outcome], {"outcome": outcome}) for outcome in OUTCOMES]

        def one(read: Any) -> Any:
            return lambda _options: [Observation(read())]

        stashel_counts = _counts.process_counts
        instruments = [
            meter.create_observable_counter(
                "kelm.stashel.frames", [frames], unit="{frame}", description="Accepted frames by outcome"
            ),
            meter.create_observable_gauge(
                "kelm.stashel.pending",
                [one(lambda: stashel_counts()["pending"])],
                unit="{frame}",
                description="Frames accepted and not yet settled",
            ),
            meter.create_observable_counter(
                "kelm.stashel.publish_failures",
                [one(lambda: stashel_counts()["publish_failed"])],
                unit="{notification}",
                description="Notifications not sent after a stored write",
            ),
        ]
        for name, unit in (
            ("notifications", "{notification}"),
            ("deliveries", "{delivery}"),
            ("reconnects", "{reconnect}"),
            ("resyncs", "{resync}"),
        ):
            instruments.append(
                meter.create_observable_counter(
                    f"kelm.watch.{name}",
                    [one(lambda name=name: _core.process_totals()[name])],
                    unit=unit,
                    description=f"Watcher {name}, every Watcher and AsyncWatcher of the process",
                )
            )
        instruments.append(
            meter.create_observable_gauge(
                "kelm.watch.pending",
                [one(lambda: _core.process_totals()["pending"])],
                unit="{key}",
                description="Keys notified and not yet delivered",
            )
        )
        _instrumented.append((provider, instruments))
