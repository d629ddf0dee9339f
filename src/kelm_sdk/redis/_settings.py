"""Where the server is and how to log in, from the environment.

`read` takes REDIS_URL, REDIS_USERNAME and REDIS_PASSWORD beside REDIS_HOST,
once, when a loader reads REDIS_HOST (Stashel's class, the watch package).
`connection_options` turns them into redis-py connection options:

- the server: explicit host/port arguments, else the URL's, else REDIS_HOST
  (default localhost) and 6379; a unix:// URL gives its socket unless a host
  or port is given;
- the login: the URL's credentials, else REDIS_USERNAME / REDIS_PASSWORD;
- TLS (rediss://, ssl_* query options) and the database: the URL's only.

No secret is put where it could be printed: `Settings` shows no password and
`masked` hides the one in a URL.
"""

from __future__ import annotations

import inspect
import types
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import parse_qsl, urlencode, urlsplit

import redis.connection

MASK = "***"


@dataclass(frozen=True)
class Settings:
    host: str = "localhost"  # REDIS_HOST
    url: str | None = field(default=None, repr=False)
    username: str | None = None
    password: str | None = field(default=None, repr=False)

    @property
    def configured(self) -> bool:
        """Whether any of REDIS_URL, REDIS_USERNAME, REDIS_PASSWORD was set."""
        return self.url is not None or self.username is not None or self.password is not None

    def describe(self, host: str | None = None, port: int | None = None) -> str:
        """The server reached with these arguments, as a person should see it:
        the masked URL when it decides, else host:port."""
        if self.url is not None and host is None and port is None:
            return masked(self.url)
        try:
            options = connection_options(self, host, port)
        except ValueError:
            return masked(self.url or "")
        return f"{options['host']}:{options['port']}"


def read(environ: Mapping[str, str], host: str | None = None) -> Settings:
    """The settings in `environ`; an empty variable counts as unset (REDIS_HOST
    aside, whose empty value is an empty host). `host`: REDIS_HOST as the
    caller already read it."""
    return Settings(
        host=environ.get("REDIS_HOST", "localhost") if host is None else host,
        url=environ.get("REDIS_URL") or None,
        username=environ.get("REDIS_USERNAME") or None,
        password=environ.get("REDIS_PASSWORD") or None,
    )


def masked(url: str) -> str:
    """`url` with its password (in the authority or a password= option) shown as ***."""
    try:
        parts = urlsplit(url)
        netloc = parts.netloc
        if parts.password is not None:
            userinfo, _, location = netloc.rpartition("@")
            netloc = f"{userinfo.partition(':')[0]}:{MASK}@{location}"
        query = parts.query
        pairs = parse_qsl(query, keep_blank_values=True)
        if any(name == "password" for name, _ in pairs):
            query = urlencode([(k, MASK if k == "password" else v) for k, v in pairs], safe="*/")
    except ValueError:  # not even a URL: nothing of it is shown
        return MASK
    shown = f"{parts.scheme}://{netloc}{parts.path}"
    return shown + (f"?{query}" if query else "") + (f"#{parts.fragment}" if parts.fragment else "")


def _accepted(connection_class: type) -> set[str]:
    names: set[str] = set()
    for cls in connection_class.__mro__:
        init = cls.__dict__.get("__init__")
        if init is not None:
            for p in inspect.signature(init).parameters.values():
                if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY):
                    names.add(p.name)
    return names


def connection_options(
    settings: Settings, host: str | None = None, port: int | None = None, *, asyncio: bool = False
) -> dict[str, Any]:
    """Keywords for a redis-py ConnectionPool (sync, or redis.asyncio's), with
    `connection_class`. `host`/`port`: given explicitly, else None.

    ValueError for a URL redis-py cannot read or an option no connection takes;
    its text shows the URL masked."""
    module: types.ModuleType
    if asyncio:
        import redis.asyncio.connection as module  # only the async faces pay for its import
    else:
        module = redis.connection
    options: dict[str, Any] = {}
    if settings.url is not None:
        try:
            options = dict(module.parse_url(settings.url))
        except ValueError as exc:
            raise ValueError(f"REDIS_URL {masked(settings.url)}: {exc}") from None
    options.setdefault("connection_class", module.Connection)
    unix = options["connection_class"] is module.UnixDomainSocketConnection
    if unix and (host is not None or port is not None):
        # An explicit server wins over the socket; the login and db stay.
        options.pop("path", None)
        options["connection_class"] = module.Connection
        unix = False
    if not unix:
        options["host"] = host if host is not None else options.get("host", settings.host)
        options["port"] = port if port is not None else options.get("port", 6379)
    if "username" not in options and "password" not in options:
        for name in ("username", "password"):
            if getattr(settings, name) is not None:
                options[name] = getattr(settings, name)
    # The caller's own: the pool's size and how replies come back.
    options.pop("max_connections", None)
    options.pop("decode_responses", None)
    unknown = sorted(set(options) - _accepted(options["connection_class"]) - {"connection_class"})
    if unknown and settings.url is not None:
        # Caught here, not at the first command: in threaded mode that would be
        # an error line per frame.
        raise ValueError(f"REDIS_URL {masked(settings.url)}: no connection takes {', '.join(unknown)}")
    return options


def stashel_pool(
    redis_module: Any, settings: Settings, host: str | None, port: int | None, max_connections: int
) -> Any:
    """A Stashel instance's own pool, from `redis_module` (its module's
    `redis` binding) and the settings; `host`/`port` given explicitly, else None."""
    options = connection_options(settings, host, port)
    return redis_module.ConnectionPool(max_connections=max_connections, decode_responses=False, **options)
