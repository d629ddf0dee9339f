"""The Python functions that stand for the methods of Stashel.

Each method in the class namespace is an ordinary function made by ``make``
when the extension loads. Its body is the one line of ``door`` below: it hands
whatever it was given to the compiled method, which binds and checks the
arguments and does the work. Each method gets a code object of its own, named
after it, so profilers, debuggers and tracebacks tell the methods apart, and
its ``__wrapped__`` is a function with the method's real parameter list, which
``inspect.signature`` (``eval_str`` included), ``help`` and mock's autospec
read.
"""

from __future__ import annotations

import sys
import types
from collections.abc import Callable
from typing import Any


def door(compiled: Callable[..., Any]) -> Callable[..., Any]:
    def method(*args: Any, **kwargs: Any) -> Any:
        return compiled(*args, **kwargs)

    return method


def make(
    compiled: Callable[..., Any],
    module_globals: dict[str, Any],
    qualname: str,
    params: tuple[str, ...],
    defaults: tuple[Any, ...] | None,
    annotations: dict[str, str],
    doc: str | None,
) -> types.FunctionType:
    """The function for one method; `module_globals` is the namespace of the
    extension module, so annotations resolve there."""
    name = qualname.rpartition(".")[2]
    names = {"co_name": name, "co_qualname": qualname} if sys.version_info >= (3, 11) else {"co_name": name}
    template: Any = door(compiled)
    function = types.FunctionType(template.__code__.replace(**names), module_globals, name, None, template.__closure__)
    face = _typed_face(compiled, module_globals, name, params)
    for f in (function, face):
        f.__qualname__ = qualname
        f.__doc__ = doc
        f.__defaults__ = defaults
        f.__annotations__ = dict(annotations)
    function.__wrapped__ = face  # type: ignore[attr-defined]
    return function


def _typed_face(
    compiled: Callable[..., Any], module_globals: dict[str, Any], name: str, params: tuple[str, ...]
) -> types.FunctionType:
    """A function with the parameters `params`, forwarding them by position."""
    listed = ", ".join(params)
    body = f"def {name}({listed}):\n        return compiled({listed})\n    return {name}\n"
    source = "def factory(compiled):\n    " + body
    scratch: dict[str, Any] = {}
    exec(compile(source, f"<{name} parameters>", "exec"), scratch)
    inner = scratch["factory"](compiled)
    return types.FunctionType(inner.__code__, module_globals, name, None, inner.__closure__)
