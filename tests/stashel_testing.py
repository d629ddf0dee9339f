"""Test helpers shared by every test directory: a recording fake client, a
real pub/sub listener, a polling wait, a child interpreter that must exit
cleanly, and an AsyncWatcher driven from blocking code."""

import asyncio
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

# Every server a test starts, and every port it scrapes, is bound here only.
LOOPBACK = "127.0.0.1"


def wait_until(predicate, timeout=5.0, interval=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


class FakeClient:
    """Records every call; replies and failures are set per method.

    `replies[name]` is returned by that method (default: a true SET, a DEL
    count of 1, None for GET, 1 for PUBLISH); `raises[name]` is raised
    instead; `scan` is what scan_iter yields."""

    def __init__(self, **replies):
        self.calls = []
        self.replies = {"set": True, "delete": 1, "get": None, "publish": 1}
        self.replies.update(replies)
        self.raises = {}
        self.scan = []

    def _call(self, name, *args, **kwargs):
        self.calls.append((name, args, kwargs))
        if name in self.raises:
            raise self.raises[name]
        return self.replies[name]

    def set(self, *args, **kwargs):
        return self._call("set", *args, **kwargs)

    def get(self, *args, **kwargs):
        return self._call("get", *args, **kwargs)

    def delete(self, *args, **kwargs):
        return self._call("delete", *args, **kwargs)

    def publish(self, *args, **kwargs):
        return self._call("publish", *args, **kwargs)

    def scan_iter(self, *args, **kwargs):
        self.calls.append(("scan_iter", args, kwargs))
        if "scan_iter" in self.raises:
            raise self.raises["scan_iter"]
        yield from self.scan

    def names(self):
        return [name for name, _, _ in self.calls]


class DelayedSet:
    """Forwards to a real client; every SET first waits `delay` seconds."""

    def __init__(self, client, delay):
        self.client, self.delay = client, delay

    def set(self, *args, **kwargs):
        time.sleep(self.delay)
        return self.client.set(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(self.client, name)


class Listener:
    """A real pub/sub subscriber collecting messages in a background thread."""

    def __init__(self, client, *channels):
        self.messages = []
        self._lock = threading.Lock()
        self.pubsub = client.pubsub(ignore_subscribe_messages=True)
        self.pubsub.subscribe(**dict.fromkeys(channels, self._on_message))
        self._thread = self.pubsub.run_in_thread(sleep_time=0.01, daemon=True)
        # Publishes from other connections count only once the server has the subscription.
        assert wait_until(lambda: all(n >= 1 for _, n in client.pubsub_numsub(*channels)))

    def _on_message(self, message):
        with self._lock:
            self.messages.append((message["channel"], message["data"]))

    def wait_for(self, count, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if len(self.messages) >= count:
                    break
            time.sleep(0.01)
        time.sleep(0.05)  # room for unexpected extra messages to show up
        with self._lock:
            return list(self.messages)

    def close(self):
        self._thread.stop()
        self._thread.join(timeout=2)
        self.pubsub.close()


CLEAN_EXIT_MARKERS = ("terminate called", "FATAL", "Fatal Python error", "Segmentation", "Aborted")


def run_child(code, timeout=30, path=(), stdin_after=None, env=None):
    """Runs `code` in a fresh interpreter (with `env`, default this process's
    environment) and checks that it exits cleanly. With `stdin_after`, a line
    reaches its stdin that many seconds later. A child still running at the
    timeout is killed with everything it forked."""
    env = dict(os.environ if env is None else env)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(__file__), *map(str, path)])
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        start_new_session=True,
    )
    if stdin_after is not None:
        time.sleep(stdin_after)
    try:
        stdout, stderr = child.communicate("\n", timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        stdout, stderr = child.communicate()
        raise AssertionError(f"the child did not end within {timeout} s:\n{stderr}") from None
    result = subprocess.CompletedProcess(child.args, child.returncode, stdout, stderr)
    assert result.returncode == 0, result.stderr
    for marker in CLEAN_EXIT_MARKERS:
        assert marker not in result.stderr, result.stderr
    return result


class BlockingAsyncWatcher:
    """An AsyncWatcher with the Watcher's blocking methods, its event loop in
    a thread of its own, so one test body runs against both classes."""

    def __init__(self, *args, **kwargs):
        from kelm_sdk.redis.watch import AsyncWatcher

        self.loop = asyncio.new_event_loop()
        threading.Thread(target=self.loop.run_forever, daemon=True).start()
        self.watcher = AsyncWatcher(*args, **kwargs)
        self._call(self.watcher.__aenter__())

    def _call(self, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(60)

    def get(self, timeout=None):
        return self._call(self.watcher.get(timeout))

    def close(self):
        self._call(self.watcher.aclose())

    def stats(self):
        return self.watcher.stats()
