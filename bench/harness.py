"""Side-by-side measurement: contenders run in turns (A B, then B A, ...) in
one process, so that drift in machine load hits them alike, and results are
compared round by round."""

import statistics
import timeit


def interleave(contenders, rounds):
    """contenders: [(name, measure)], measure() -> one figure for one turn.
    Returns {name: [figure per round]}."""
    figures = {name: [] for name, _ in contenders}
    for r in range(rounds):
        order = contenders if r % 2 == 0 else contenders[::-1]
        for name, measure in order:
            figures[name].append(measure())
    return figures


def ns_per_call(stmt, namespace, number, setup="pass"):
    """A measure that runs `stmt` inline `number` times and gives ns per run."""
    timer = timeit.Timer(stmt, setup=setup, globals=namespace)

    def measure():
        return timer.timeit(number) * 1e9 / number

    return measure


def quantile(values, q):
    ordered = sorted(values)
    if not ordered:
        return None
    pos = q * (len(ordered) - 1)
    lo = int(pos)
    hi = min(lo + 1, len(ordered) - 1)
    return ordered[lo] + (ordered[hi] - ordered[lo]) * (pos - lo)


def paired(a, b, how="ratio"):
    """Median and quartiles of the per-round ratio a/b (or difference a-b)."""
    per_round = [x / y if how == "ratio" else x - y for x, y in zip(a, b, strict=False)]
    return {
        "median": statistics.median(per_round),
        "p25": quantile(per_round, 0.25),
        "p75": quantile(per_round, 0.75),
        "rounds": len(per_round),
    }
