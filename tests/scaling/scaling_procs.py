"""Redis processes for the scale-out tests: each one Debian's redis-server,
bound to 127.0.0.1 on a free port, with its files in a directory of its own."""

import os
import signal
import socket
import subprocess
import threading
import time

import redis

HOST = "127.0.0.1"
CLUSTER_BUS_OFFSET = 10000


def _port_free(port):
    with socket.socket() as sock:
        try:
            sock.bind((HOST, port))
        except OSError:
            return False
    return True


_handed_out = set()


def free_port(with_bus=False):
    """A loopback port nobody listens on (and, for cluster nodes, whose
    cluster bus port, 10000 above it, is free too)."""
    for _ in range(200):
        with socket.socket() as sock:
            sock.bind((HOST, 0))
            port = sock.getsockname()[1]
        if port in _handed_out:
            continue
        if with_bus:
            if port + CLUSTER_BUS_OFFSET > 65535 or not _port_free(port + CLUSTER_BUS_OFFSET):
                continue
        _handed_out.add(port)
        return port
    raise RuntimeError("no free loopback port found")


def poll(predicate, timeout, interval=0.05):
    """Calls predicate until it returns something true; False on time-out.
    Connection errors count as "not yet"."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            result = predicate()
            if result:
                return result
        except (redis.ConnectionError, redis.TimeoutError, redis.ResponseError):
            pass
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


class ServerProcess:
    """One redis-server process (a data node or a sentinel)."""

    def __init__(self, workdir, name, port, args, sentinel=False):
        self.name = name
        self.port = port
        self.dir = os.path.join(workdir, name)
        os.makedirs(self.dir)
        self.log = os.path.join(self.dir, "server.log")
        common = ["--port", str(port), "--bind", HOST, "--dir", self.dir, "--logfile", self.log]
        if sentinel:
            # Sentinel rewrites its config file, so it needs one of its own.
            conf = os.path.join(self.dir, "sentinel.conf")
            with open(conf, "w") as fh:
                fh.write("\n".join(args) + "\n")
            cmd = ["redis-server", conf, "--sentinel"] + common
        else:
            cmd = ["redis-server"] + common + ["--save", "", "--appendonly", "no"] + list(args)
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.client = redis.Redis(host=HOST, port=port, socket_timeout=2)
        if not poll(self.client.ping, timeout=10):
            self.stop()
            raise RuntimeError(f"{name} did not start on port {port}: {self.log_tail()}")

    def log_tail(self, lines=20):
        try:
            with open(self.log) as fh:
                return "".join(fh.readlines()[-lines:])
        except OSError:
            return ""

    def kill(self):
        """SIGKILL: the process gets no chance to close anything cleanly."""
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=5)

    def stop(self):
        self.client.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)


class Subscriber:
    """A plain pub/sub connection to one server, collecting messages with
    the monotonic time each one arrived."""

    def __init__(self, port, channel):
        self.messages = []
        self.times = []
        self._lock = threading.Lock()
        self.client = redis.Redis(host=HOST, port=port)
        self.pubsub = self.client.pubsub(ignore_subscribe_messages=True)
        self.pubsub.subscribe(**{channel: self._on_message})
        self.thread = self.pubsub.run_in_thread(sleep_time=0.01, daemon=True)
        assert poll(lambda: self.client.pubsub_numsub(channel)[0][1] >= 1, timeout=5)

    def _on_message(self, message):
        with self._lock:
            self.messages.append((message["channel"], message["data"]))
            self.times.append(time.monotonic())

    def received(self):
        with self._lock:
            return list(self.messages)

    def arrival_times(self):
        with self._lock:
            return list(self.times)

    def close(self):
        self.thread.stop()
        self.thread.join(timeout=2)
        self.pubsub.close()
        self.client.close()
