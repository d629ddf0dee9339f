"""Fixtures for the fault, load and leak suite: redis-server processes that a
test may kill, restart on the same port, freeze and thaw, a relay that can
drop its connections silently, and a counting proxy that stands in front of
an instance's real client."""

import os
import selectors
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest
import redis

REDIS_SERVER = shutil.which("redis-server") or "/usr/bin/redis-server"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ServerProcess:
    """One redis-server on 127.0.0.1 that the test owns. Persistence is off,
    so a restart comes back empty."""

    def __init__(self, workdir, port=None):
        self.host = "127.0.0.1"
        self.port = port or free_port()
        self.workdir = str(workdir)
        self.proc = None
        self.stopped = False

    def start(self, timeout=10.0):
        assert self.proc is None, "already running"
        # Flag and value pairs, one pair a line.
        # fmt: off
        args = [
            REDIS_SERVER,
            "--bind", self.host,
            "--port", str(self.port),
            "--save", "",
            "--appendonly", "no",
            "--dir", self.workdir,
            "--daemonize", "no",
            "--protected-mode", "yes",
            "--loglevel", "warning",
            "--logfile", os.path.join(self.workdir, f"redis-{self.port}.log"),
        ]
        # fmt: on
        # The sanitizer run preloads its runtime for Python; the server is not ours to check.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.proc = subprocess.Popen(
            args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env
        )
        deadline = time.monotonic() + timeout
        while True:
            try:
                with self.admin() as probe:  # closed now: some redis-py releases keep it open until collected
                    if probe.ping():
                        return self
            except redis.ConnectionError:
                pass
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"redis-server on port {self.port} did not start")
            time.sleep(0.02)

    def admin(self, **kwargs):
        """A fresh client of our own, outside any Stashel pool."""
        kwargs.setdefault("socket_timeout", 5)
        return redis.Redis(host=self.host, port=self.port, **kwargs)

    def kill(self):
        """SIGKILL: every connection drops at once, no reply is sent."""
        if self.proc is None:
            return
        if self.stopped:
            self.proc.send_signal(signal.SIGCONT)
            self.stopped = False
        self.proc.kill()
        self.proc.wait(timeout=10)
        self.proc = None

    def restart(self):
        self.kill()
        return self.start()

    def freeze(self):
        """SIGSTOP: the kernel still accepts connections and buffers
        requests, but nothing is answered until thaw()."""
        self.proc.send_signal(signal.SIGSTOP)
        self.stopped = True

    def thaw(self):
        if self.proc is not None and self.stopped:
            self.proc.send_signal(signal.SIGCONT)
            self.stopped = False


@pytest.fixture
def own_server(tmp_path):
    """A redis-server that only this test uses; killed at teardown."""
    server = ServerProcess(tmp_path).start()
    yield server
    server.kill()


@pytest.fixture
def own_stashel(own_server):
    """Builds Stashel instances against own_server; shut down at teardown."""
    from kelm_sdk.redis.stashel import Stashel

    made = []

    def make(**kwargs):
        kwargs.setdefault("host", own_server.host)
        kwargs.setdefault("port", own_server.port)
        instance = Stashel(**kwargs)
        made.append(instance)
        return instance

    yield make
    own_server.thaw()
    for instance in made:
        instance._shutdown_executor()


class Relay:
    """A TCP relay on 127.0.0.1 in front of a server. drop() makes it stop
    forwarding on the connections open now, without FIN or RST, as a NAT
    table or a load balancer whose idle timer expired; new connections are
    forwarded."""

    def __init__(self, port):
        self.upstream = port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.listener, selectors.EVENT_READ)
        self.peer, self.dropped, self.stopped = {}, set(), False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopped:
            for key, _ in self.selector.select(0.1):
                end = key.fileobj
                if end is self.listener:
                    near, _ = end.accept()
                    far = socket.create_connection(("127.0.0.1", self.upstream))
                    self.peer[near], self.peer[far] = far, near
                    for s in (near, far):
                        self.selector.register(s, selectors.EVENT_READ)
                    continue
                try:
                    data = end.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    for s in (end, self.peer.pop(end)):
                        self.peer.pop(s, None)
                        self.selector.unregister(s)
                        s.close()
                elif end not in self.dropped:
                    self.peer[end].sendall(data)

    def drop(self):
        self.dropped.update(self.peer)

    def close(self):
        self.stopped = True
        self.thread.join(5)
        for s in [self.listener, *self.peer]:
            s.close()


@pytest.fixture
def relay(own_server):
    made = Relay(own_server.port)
    yield made
    made.close()


class CountingClient:
    """Forwards every call to the real client and counts SET and PUBLISH:
    attempts, accepted (true reply) and raised, with the error texts and
    the (key, value) pairs that the server accepted."""

    def __init__(self, real, keep_values=False):
        self.real = real
        self.lock = threading.Lock()
        self.set_calls = 0
        self.set_ok = 0
        self.set_errors = []
        self.publish_ok = 0
        self.publish_errors = []
        self.keep_values = keep_values
        self.local = threading.local()  # .sets: SET calls made by the current thread
        self.stored = []  # (thread name, key, value) of accepted SETs, in order

    def set(self, key, value, *args, **kwargs):
        with self.lock:
            self.set_calls += 1
        self.local.sets = getattr(self.local, "sets", 0) + 1
        try:
            reply = self.real.set(key, value, *args, **kwargs)
        except Exception as exc:
            with self.lock:
                self.set_errors.append((key, str(exc)))
            raise
        if reply:
            with self.lock:
                self.set_ok += 1
                if self.keep_values:
                    self.stored.append((threading.current_thread().name, key, value))
        return reply

    def publish(self, channel, message):
        try:
            reply = self.real.publish(channel, message)
        except Exception as exc:
            with self.lock:
                self.publish_errors.append((channel, str(exc)))
            raise
        with self.lock:
            self.publish_ok += 1
        return reply

    def __getattr__(self, name):
        return getattr(self.real, name)


def counted(instance, **kwargs):
    """Puts a CountingClient in front of the instance's client."""
    proxy = CountingClient(instance._redis_client, **kwargs)
    instance._redis_client = proxy
    return proxy


def writer_threads():
    return [t for t in threading.enumerate() if t.name == "StashelWorker"]


def drained(instance, timeout=30.0):
    """Waits until the writer has finished every frame it took."""
    deadline = time.monotonic() + timeout
    q = instance._queue
    while time.monotonic() < deadline:
        if q is None or q.unfinished_tasks == 0:
            return True
        time.sleep(0.01)
    return False


def frame_for(key, i, pad=0):
    """The frame number i of a key; any stored value must be one of these."""
    frame = {"key": key, "i": i, "ts": i * 0.5, "tags": [key, i, None, True]}
    if pad:
        frame["pad"] = "x" * pad
    return frame
