"""Interpreter matrix (`make matrix`): the test suite on every supported
CPython found on this machine, and once more on 3.11 with the oldest redis
and orjson that pyproject.toml admits.

Interpreters are looked up in .interpreters/ (make interpreters), under
$PYENV_ROOT/versions (default /root/.pyenv/versions), then on PATH as
pythonX.Y; a supported version found nowhere is named on one line and the
others run, except where STASHEL_ALL_INTERPRETERS is set (CI), which stops. Each session builds the
extension into build/nox/<session> and installs it with the test and demo
extras, as `make setup` does for .venv. Extra arguments go to pytest:
`make matrix ARGS="-- -x tests/test_surface.py"`, or pick sessions with
`make matrix ARGS="-s tests-3.12"`.
"""

import os
import pathlib
import shutil

import nox
import tomllib
from packaging.requirements import Requirement

SUPPORTED = ("3.10", "3.11", "3.12", "3.13", "3.14", "3.15")
OLDEST_ON = "3.11"
ROOT = pathlib.Path(__file__).parent
PROVISIONED = ROOT / ".interpreters"
PYENV_VERSIONS = pathlib.Path(os.environ.get("PYENV_ROOT", "/root/.pyenv")) / "versions"

# Prints the interpreter's version and those of the distributions named as arguments.
VERSIONS = (
    "import sys, importlib.metadata as m; "
    "print('python ' + sys.version.split()[0], *[n + ' ' + m.version(n) for n in sys.argv[1:]], sep=', ')"
)

nox.options.sessions = ["tests", "oldest"]
nox.options.error_on_external_run = True
# The standard library's venv: it works with every interpreter here, including
# ones newer than the installed virtualenv knows.
nox.options.default_venv_backend = "venv"


def _patch(path):
    return tuple(int(part) if part.isdigit() else 0 for part in path.name.split("."))


def _find_interpreters():
    """The supported versions present here. .interpreters/ and then the newest
    patch release of each pyenv build go first on PATH, so nox's pythonX.Y
    lookup finds them."""
    found, bin_dirs = [], []
    if PROVISIONED.is_dir():
        bin_dirs.append(str(PROVISIONED))
    for version in SUPPORTED:
        builds = sorted(PYENV_VERSIONS.glob(f"{version}.*"), key=_patch, reverse=True)
        builds = [b / "bin" for b in builds if (b / "bin" / f"python{version}").is_file()]
        if (PROVISIONED / f"python{version}").is_file():
            found.append(version)
        elif builds:
            bin_dirs.append(str(builds[0]))
            found.append(version)
        elif shutil.which(f"python{version}"):
            found.append(version)
        else:
            print(f"matrix: CPython {version} not found (make interpreters provides 3.14 and 3.15); not run")
            if os.environ.get("STASHEL_ALL_INTERPRETERS"):
                raise SystemExit(f"matrix: CI tests every supported CPython; {version} is missing")
    os.environ["PATH"] = os.pathsep.join(bin_dirs + [os.environ.get("PATH", "")])
    return found


PYTHONS = _find_interpreters()


def _oldest_pins():
    """`name==lowest` for redis and orjson, from the `>=` bounds in pyproject.toml."""
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    pins = []
    for text in project["dependencies"]:
        requirement = Requirement(text)
        if requirement.name not in ("redis", "orjson"):
            continue
        [lowest] = [spec.version for spec in requirement.specifier if spec.operator == ">="]
        pins.append(f"{requirement.name}=={lowest}")
    assert len(pins) == 2, pins
    return pins


def _install(session, *constraints):
    session.install("scikit-build-core", "cmake", "ninja")
    # The long option: the pip that venv gives 3.10 has no -C.
    args = ["--no-build-isolation", f"--config-settings=build-dir=build/nox/{session.name}"]
    if constraints:
        constraints_file = pathlib.Path(session.create_tmp()) / "constraints.txt"
        constraints_file.write_text("\n".join(constraints) + "\n")
        args += ["-c", str(constraints_file)]
    session.install(*args, ".[test,demo]")
    versions = session.run(
        "python", "-c", VERSIONS, "redis", "hiredis", "orjson", "pytest", "pytest-redis", silent=True
    )
    session.log(f"versions: {versions.strip()}")


def _pytest(session):
    # Exit status 5 (nothing collected) fails the session like any other.
    session.run("python", "-m", "pytest", *session.posargs)


@nox.session(python=PYTHONS)
def tests(session):
    """The suite (`make test`'s selection) on one interpreter."""
    _install(session)
    _pytest(session)


@nox.session(python=OLDEST_ON)
def oldest(session):
    """The suite with the lowest redis and orjson that pyproject.toml admits."""
    pins = _oldest_pins()
    session.log("pinned: " + ", ".join(pins))
    _install(session, *pins)
    _pytest(session)
