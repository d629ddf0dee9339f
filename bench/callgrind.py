#!/usr/bin/env python3
"""Instructions per call of the methods that call other methods of the
instance, counted by valgrind's callgrind (repeatable whatever else the
machine is doing), with a do-nothing client in `_redis_client`.

Each method runs N and then 2N times in a fresh interpreter under callgrind;
the difference of the two totals, over N, is one call's instructions without
the interpreter's start-up. Run it with the interpreter whose build is to be
measured: `.venv/bin/python bench/callgrind.py [--calls N]`.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

CALLS = {
    "read_kelm_data": 's.read_kelm_data("bench:k")',
    "write_kelm_data, direct": 's.write_kelm_data(frame, "bench:k")',
    "write_kelm_data(None, key)": 's.write_kelm_data(None, "bench:k")',
    # The producer's call and the writer's work on the frame, both counted
    # (valgrind runs one thread at a time); the run ends once all are stored.
    "write_kelm_data, threaded": 't.write_kelm_data(frame, "bench:k"); t._queue.join()',
}

PROGRAM = """
import sys
sys.path.insert(0, {here!r})
from kelm_sdk.redis.stashel import Stashel
from pystashel import NullClient
s = Stashel(thread=False, host="127.0.0.1", port=1)
s._redis_client = NullClient()
{setup}
frame = {{"frame": None, "result": [1, 2]}}
for _ in range(100):  # warm: caches, specialised bytecode
    {call}
for _ in range({count}):
    {call}
"""


def instructions(call, count):
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "callgrind.out"
        # A threaded instance only where it is measured: its idle writer's
        # wake-ups would count in the others.
        setup = "t = Stashel(host='127.0.0.1', port=1); t._redis_client = NullClient()" if call.startswith("t.") else ""
        program = PROGRAM.format(here=str(HERE), call=call, count=count, setup=setup)
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", program],
            check=True,
            capture_output=True,
            env={**os.environ, "PYTHONHASHSEED": "0"},  # the same dict layouts every run
        )
        totals = re.search(r"^totals: (\d+)", out.read_text(), re.MULTILINE) or re.search(
            r"^summary: (\d+)", out.read_text(), re.MULTILINE
        )
        return int(totals.group(1))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=2000, help="N, the calls of the shorter run")
    args = parser.parse_args(argv)
    print(f"{sys.executable} ({sys.version.split()[0]}), instructions per call:")
    for name, call in CALLS.items():
        per_call = (instructions(call, 2 * args.calls) - instructions(call, args.calls)) / args.calls
        print(f"  {name:<28} {per_call:>8,.0f}")


if __name__ == "__main__":
    main()
