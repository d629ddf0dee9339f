"""The benchmark's rows, in table order: row N is the module named N-th here,
and each module's `run(bench)` measures it. A row is chosen by its number or
its name (`--rows 3,multikey`)."""

import importlib

NAMES = ("overhead", "dispatch", "pipeline", "parsers", "watch", "multikey", "busy", "overload")


def select(value):
    """The row modules a `--rows` value names, in table order."""
    wanted = {part.strip() for part in value.split(",") if part.strip()}
    numbered = {str(i): name for i, name in enumerate(NAMES, 1)}
    unknown = wanted - set(NAMES) - set(numbered)
    if unknown:
        raise ValueError(f"unknown rows {', '.join(sorted(unknown))}; rows are " + describe())
    return [
        importlib.import_module(f"rows.{name}")
        for number, name in numbered.items()
        if number in wanted or name in wanted
    ]


def describe():
    return ", ".join(f"{i} {name}" for i, name in enumerate(NAMES, 1))
