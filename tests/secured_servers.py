"""Secured redis-servers for the tests, each a real redis-server on
127.0.0.1 (or a Unix socket only) with the environment a client needs to
reach it and an admin client for the test itself. Certificates are made
here, with trustme."""

import os
import subprocess

import pytest
import redis
import trustme

from scaling.scaling_procs import HOST, free_port, poll

SECRET = "s3cret-Pa55-for-tests"


class Secured:
    """One redis-server with its settings: the environment a client needs,
    and an admin client the test itself uses."""

    def __init__(self, tmp_path, args, env, admin, secrets):
        self.dir = tmp_path / "server"
        self.dir.mkdir()
        cmd = ["redis-server", "--bind", HOST, "--dir", str(self.dir), "--save", "", "--appendonly", "no", *args]
        # The sanitizer run preloads its runtime for Python; the server is not ours to check.
        server_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=server_env)
        self.env = env
        self.admin = redis.Redis(socket_timeout=5, **admin)
        self.secrets = secrets
        if not poll(self.admin.ping, timeout=10):
            self.stop()
            raise RuntimeError(f"redis-server {args} did not start")

    def stop(self):
        self.admin.close()
        self.proc.terminate()
        self.proc.wait(timeout=10)


def certificates(tmp_path):
    ca = trustme.CA()
    paths = {name: str(tmp_path / f"{name}.pem") for name in ("ca", "server", "server-key", "client", "client-key")}
    ca.cert_pem.write_to_path(paths["ca"])
    for role, identity in (("server", HOST), ("client", "stashel-client")):
        issued = ca.issue_cert(identity)
        issued.cert_chain_pems[0].write_to_path(paths[role])
        issued.private_key_pem.write_to_path(paths[f"{role}-key"])
    return paths


def secured(kind, tmp_path):
    port = free_port()
    if kind == "password":  # the URL carries the password
        return Secured(
            tmp_path,
            ["--port", str(port), "--requirepass", SECRET],
            {"REDIS_URL": f"redis://:{SECRET}@{HOST}:{port}/0"},
            {"host": HOST, "port": port, "password": SECRET},
            [SECRET],
        )
    if kind == "acl_user":  # the login comes from REDIS_USERNAME / REDIS_PASSWORD
        acl = ["--user", "default", "off", "--user", "app", "on", f">{SECRET}", "~*", "&*", "+@all"]
        return Secured(
            tmp_path,
            ["--port", str(port), *acl],
            {"REDIS_URL": f"redis://{HOST}:{port}", "REDIS_USERNAME": "app", "REDIS_PASSWORD": SECRET},
            {"host": HOST, "port": port, "username": "app", "password": SECRET},
            [SECRET],
        )
    if kind == "unix_socket":
        path = str(tmp_path / "redis.sock")
        return Secured(
            tmp_path,
            ["--port", "0", "--unixsocket", path, "--unixsocketperm", "700", "--requirepass", SECRET],
            {"REDIS_URL": f"unix://{path}", "REDIS_PASSWORD": SECRET},
            {"unix_socket_path": path, "password": SECRET},
            [SECRET],
        )
    certs = certificates(tmp_path)
    tls = ["--port", "0", "--tls-port", str(port), "--tls-cert-file", certs["server"]]
    tls += ["--tls-key-file", certs["server-key"], "--tls-ca-cert-file", certs["ca"]]
    admin = {"host": HOST, "port": port, "ssl": True, "ssl_ca_certs": certs["ca"]}
    if kind == "tls":
        return Secured(
            tmp_path,
            [*tls, "--tls-auth-clients", "no", "--requirepass", SECRET],
            {"REDIS_URL": f"rediss://{HOST}:{port}?ssl_ca_certs={certs['ca']}", "REDIS_PASSWORD": SECRET},
            {**admin, "password": SECRET},
            [SECRET],
        )
    assert kind == "mutual_tls"
    query = f"ssl_ca_certs={certs['ca']}&ssl_certfile={certs['client']}&ssl_keyfile={certs['client-key']}"
    return Secured(
        tmp_path,
        [*tls, "--tls-auth-clients", "yes"],
        {"REDIS_URL": f"rediss://{HOST}:{port}?{query}"},
        {**admin, "ssl_certfile": certs["client"], "ssl_keyfile": certs["client-key"]},
        [open(certs["client-key"]).read().splitlines()[1]],  # a line of the client's private key
    )


@pytest.fixture
def make_secured(tmp_path):
    made = []

    def make(kind):
        made.append(secured(kind, tmp_path))
        return made[-1]

    yield make
    for server in made:
        server.stop()


def child_env(settings):
    env = {k: v for k, v in os.environ.items() if not k.startswith("REDIS_")}
    return {**env, **settings}
