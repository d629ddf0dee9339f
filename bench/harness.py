"""Side-by-side measurement: contenders run in turns (A B, then B A, ...) in
one process, so that drift in machine load hits them alike, and results are
compared round by round."""

import statistics
import timeit

import redis


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


class Bench:
    """The rows of one run against one server: each row module records its
    comparisons here with `add`, and anything else worth keeping with `summary`."""

    def __init__(self, host, port, scale):
        self.host, self.port, self.scale = host, port, scale
        self.rows = []
        self.extras = {}
        self.summaries = []
        self.admin = redis.Redis(host=host, port=port)

    def rounds(self, n):
        return max(3, int(n * self.scale))

    def add(self, group, name, a, b, figures, unit, how="ratio", goal=None, note="", goal_on="ratio"):
        """One table row: contender a against b (lower is better for ns,
        higher for rates). The goal is judged on the median ratio, or with
        goal_on="a worst" on a's own figure in its worst round (the largest
        for "<=", the smallest for ">=")."""
        stats = paired(figures[a], figures[b], how)
        row = {
            "group": group,
            "name": name,
            "a": a,
            "b": b,
            "unit": unit,
            "a_median": quantile(figures[a], 0.5),
            "b_median": quantile(figures[b], 0.5),
            "how": how,
            **{k: stats[k] for k in ("median", "p25", "p75", "rounds")},
            "goal": goal,
            "note": note,
        }
        if goal:
            op, bound = goal.split()
            judged = stats["median"]
            if goal_on == "a worst":
                judged = max(figures[a]) if op == "<=" else min(figures[a])
                row["a_worst"] = judged
                row["note"] = f"{note}; goal on A's worst round: {judged:.2f}".lstrip("; ")
            row["met"] = judged <= float(bound) if op == "<=" else judged >= float(bound)
        self.rows.append(row)
        print(format_row(row), flush=True)
        return row

    def summary(self, key, data, line):
        """Figures beside the table: `data` goes into the results under `key`,
        `line` below the table."""
        self.extras[key] = data
        self.summaries.append(line)

    def set_calls(self):
        return self.admin.info("commandstats").get("cmdstat_set", {}).get("calls", 0)


def format_row(row):
    unit = row["unit"]
    met = "" if row.get("met") is None else ("  ok" if row["met"] else "  MISSED")
    kind = "ratio" if row["how"] == "ratio" else "added ns"
    return (
        f"{row['group'][:1]} {row['name']:<50} {row['a_median']:>10.2f} vs {row['b_median']:>10.2f} {unit:<9}"
        f" {kind} {row['median']:>8.3f} [{row['p25']:.3f}..{row['p75']:.3f}]"
        f"  goal {row['goal'] or '-':<7}{met}"
    )
