"""python -m kelm_sdk.redis.watch [--host H] [--port P] [--raw] [--no-initial] KEY_OR_PATTERN...

Prints one JSON line per change delivered by a Watcher until Ctrl-C (exit 0):
{"key": ..., "value": ..., "at": <ISO time>}. Losses and reconnects go to
stderr; a server that does not answer, or refuses the login, gives one line
there and exit code 1. The server and the login come from the environment
as for Stashel (REDIS_URL, REDIS_USERNAME, REDIS_PASSWORD, REDIS_HOST), never
from the argument list, which every user of the machine can read.
"""

from __future__ import annotations

import argparse
import datetime
import logging
import os
import signal
import sys
from typing import Any

import orjson
import redis

from ._sync import _SETTINGS, Watcher

_GLOB = frozenset("*?[")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m kelm_sdk.redis.watch",
        description="Print each change announced on <key>_notify as a JSON line, until Ctrl-C.",
    )
    parser.add_argument("--host", help="server host (default: $REDIS_URL's, else $REDIS_HOST or localhost)")
    parser.add_argument("--port", type=int, help="server port (default: $REDIS_URL's, else 6379)")
    parser.add_argument("--raw", action="store_true", help="value as the stored text, not decoded JSON")
    parser.add_argument("--no-initial", action="store_true", help="only changes, not the current values first")
    parser.add_argument("names", nargs="+", metavar="KEY_OR_PATTERN", help="a key, or a pattern (with * ? or [)")
    return parser


def _line(key: str, value: Any, raw: bool) -> bytes:
    if raw and isinstance(value, bytes):
        value = value.decode("utf-8", "backslashreplace")
    at = datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")
    return orjson.dumps({"key": key, "value": value, "at": at}) + b"\n"


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    keys = [name for name in args.names if _GLOB.isdisjoint(name)]
    patterns = [name for name in args.names if not _GLOB.isdisjoint(name)]
    logging.basicConfig(level=logging.INFO, stream=sys.stderr, format="%(asctime)s %(levelname)s %(message)s")
    # A container's stop (SIGTERM) ends the run as Ctrl-C does.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    out = sys.stdout.buffer
    watcher = None
    try:
        try:
            watcher = Watcher(
                keys, patterns, host=args.host, port=args.port, decode=not args.raw, initial=not args.no_initial
            )
        except (redis.AuthenticationError, redis.exceptions.NoPermissionError) as exc:
            where = _SETTINGS.describe(args.host, args.port)
            print(f"watch: the Redis server at {where} refused the login - {exc}", file=sys.stderr)
            return 1
        except ValueError as exc:  # REDIS_URL that redis-py cannot use (shown masked)
            print(f"watch: {exc}", file=sys.stderr)
            return 1
        except (redis.RedisError, OSError) as exc:
            where = _SETTINGS.describe(args.host, args.port)
            print(f"watch: no answer from the Redis server at {where} - {exc}", file=sys.stderr)
            return 1
        for key, value in watcher:
            out.write(_line(key, value, args.raw))
            out.flush()
    except KeyboardInterrupt:
        pass
    except BrokenPipeError:  # the reader went away (`| head`): no error at exit either
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    finally:
        if watcher is not None:
            watcher.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
