"""The methods under the standard tools that handle functions: weak
references, pickle and copy, mock's autospec; and what stays safe when the
garbage collector clears a method or several threads meet at first use."""

import copy
import pickle
import subprocess
import sys
import textwrap
import weakref
from unittest import mock

import pytest

from kelm_sdk.redis.stashel import Stashel


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60, check=False
    )


def test_weak_references_pickle_and_copy_treat_methods_as_functions(fake):
    method = Stashel.read_data
    assert weakref.ref(method)() is method
    bound = weakref.WeakMethod(fake.write_kelm_data)
    assert bound() == fake.write_kelm_data
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(method, protocol)) is method
    assert copy.copy(method) is method and copy.deepcopy(method) is method


def test_autospec_enforces_each_signature(fake):
    spec = mock.create_autospec(Stashel, instance=True)
    with pytest.raises(TypeError, match="redis_key"):
        spec.read_data()
    spec.write_kelm_data({"a": 1}, "k", ttl=5)
    assert spec.write_kelm_data.call_args == mock.call({"a": 1}, "k", ttl=5)

    with mock.patch.object(Stashel, "read_data", autospec=True) as read_data:
        fake.read_data("k")
        with pytest.raises(TypeError):
            fake.read_data()
    assert read_data.call_args_list == [mock.call(fake, "k")]
    assert fake._redis_client.calls == []


def test_a_method_cleared_by_the_collector_fails_cleanly():
    result = run_python("""
        import ctypes
        from kelm_sdk.redis.stashel import Stashel
        method = Stashel.read_data
        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(method), 51))  # Py_tp_clear
        clear(method)
        print(method.__globals__, method.__defaults__, method.__annotations__, method.__name__)
        try:
            Stashel(thread=False).read_data("k")
        except RuntimeError as error:
            print(error)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "None None None read_data",
        "read_data() called after the garbage collector cleared it",
    ]


def test_first_use_from_many_threads_builds_one_signature_and_code():
    result = run_python("""
        import threading
        from kelm_sdk.redis.stashel import Stashel
        barrier, seen = threading.Barrier(8), []
        def first_use():
            barrier.wait()
            seen.append((id(Stashel.write_data.__signature__), id(Stashel.write_data.__code__)))
        threads = [threading.Thread(target=first_use) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(set(seen)))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "1\n"


def test_other_interpreters_get_a_clean_import_error():
    result = run_python("""
        import sys
        try:
            import _interpreters as interpreters
            configs = ["isolated", "legacy"]
        except ImportError:
            import _xxsubinterpreters as interpreters
            configs = [{}, {"isolated": False}] if sys.version_info >= (3, 12) else [{}]
        import kelm_sdk.redis.stashel
        for config in configs:
            interp = interpreters.create(**config) if isinstance(config, dict) else interpreters.create(config)
            interpreters.run_string(interp, "try:\\n import kelm_sdk.redis.stashel\\n"
                                            "except ImportError as e:\\n print(e)")
            interpreters.destroy(interp)
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines and all("does not support loading in subinterpreters" in line for line in lines), lines
