"""A private redis-server on a free loopback port, for the demo and the
benchmark when no server is configured."""

import os
import shutil
import socket
import subprocess
import tempfile
import time

import redis
from redis.backoff import NoBackoff
from redis.retry import Retry

CANDIDATES = ("/usr/bin/redis-server", "/usr/sbin/redis-server", "/usr/local/bin/redis-server")


def find_redis_server():
    found = shutil.which("redis-server")
    if found:
        return found
    for path in CANDIDATES:
        if os.access(path, os.X_OK):
            return path
    return None


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def answers(host, port, timeout=0.5):
    """True when a Redis server answers PING at host:port."""
    return pings(
        redis.Redis(
            host=host, port=port, socket_connect_timeout=timeout, socket_timeout=timeout, retry=Retry(NoBackoff(), 0)
        )  # redis-py retries with back-off by default
    )


def pings(client):
    """True when the server behind `client` answers PING; the client is closed."""
    try:
        return bool(client.ping())
    except (redis.RedisError, OSError):
        return False
    finally:
        client.close()


class PrivateRedis:
    """Starts redis-server bound to 127.0.0.1 on a free port (and, with
    `unix_socket`, listening on that path too), without persistence, and
    stops it on exit of the `with` block."""

    def __init__(self, executable=None, start_timeout=10.0, unix_socket=None):
        self.executable = executable or find_redis_server()
        if not self.executable:
            raise RuntimeError("redis-server not found; install it (make setup) or point REDIS_HOST at a server")
        self.start_timeout = start_timeout
        self.host = "127.0.0.1"
        self.port = None
        self.proc = None
        self._dir = None
        self.unix_socket = unix_socket

    def start(self):
        self._dir = tempfile.TemporaryDirectory(prefix="stashel-redis-")
        for _ in range(3):  # the free port may be taken between the probe and the bind
            self.port = free_port()
            socket_args = ["--unixsocket", self.unix_socket, "--unixsocketperm", "700"] if self.unix_socket else []
            # fmt: off
            self.proc = subprocess.Popen(
                [self.executable, "--bind", "127.0.0.1", "--port", str(self.port),
                 "--save", "", "--appendonly", "no", "--dir", self._dir.name,
                 "--protected-mode", "yes", "--loglevel", "warning", *socket_args],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                start_new_session=True)  # Ctrl-C at the terminal is ours to handle, not the server's
            # fmt: on
            deadline = time.monotonic() + self.start_timeout
            while time.monotonic() < deadline and self.proc.poll() is None:
                if answers(self.host, self.port, timeout=0.2):
                    return self
                time.sleep(0.05)
            self.stop()
        raise RuntimeError("could not start a private redis-server")

    def stop(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.terminate()
                try:
                    self.proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait(timeout=5)
            if self.proc.stderr:
                self.proc.stderr.close()
            self.proc = None
        if self._dir is not None:
            self._dir.cleanup()
            self._dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
