#!/usr/bin/env bash
# Installs a repaired wheel from dist/ (make dist) into a fresh virtual
# environment of its own interpreter where nothing can be compiled, and runs
# the test suite and the typed examples against the installed package from a
# copy outside the source tree (make wheel-test). A file missing from the
# wheel fails here even if the work tree has it. Extra arguments go to pytest.
#
# With PYTHON set, the wheel for that interpreter only. Without it, each
# version of VERSIONS in turn (interpreters from scripts/find-python.sh): the
# whole suite on those of FULL_ON, the FAST subset on the others (the matrix
# has already run the whole suite on each of them, built from source). A
# version with neither wheel nor interpreter is named on one line and
# skipped; any failure fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

VERSIONS=${VERSIONS:-"3.10 3.11 3.12 3.13 3.14 3.15"}
FULL_ON=${FULL_ON:-"3.15"}
FAST=${FAST:-"tests/test_surface.py tests/test_operations.py tests/test_construction.py"}

if [ -z "${PYTHON:-}" ]; then
    failed=() tested=0
    for version in $VERSIONS; do
        tag=cp${version/./}
        python=$(scripts/find-python.sh "$version") || python=
        has_wheel=$(compgen -G "dist/*-$tag-$tag-manylinux_*_$(uname -m).whl" || true)
        if [ -z "$python" ] && [ -z "$has_wheel" ]; then
            echo "wheel-test: CPython $version not found and no $tag wheel; skipped"
            [ -z "${STASHEL_ALL_INTERPRETERS:-}" ] || exit 1  # CI tests every one (.ci/run)
            continue
        fi
        if [ $# -gt 0 ]; then
            selection=("$@")
        elif [[ " $FULL_ON " == *" $version "* ]]; then
            selection=(tests)
        else
            read -r -a selection <<<"$FAST"
        fi
        echo "==== wheel-test: $tag (${selection[*]})"
        PYTHON=${python:-python$version} "$0" "${selection[@]}" || failed+=("$tag")
        tested=$((tested + 1))
    done
    [ "$tested" -gt 0 ] || { echo "wheel-test: no wheel tested" >&2; exit 1; }
    if [ ${#failed[@]} -gt 0 ]; then
        echo "wheel-test: failed on ${failed[*]}" >&2
        exit 1
    fi
    echo "wheel-test: $tested wheels passed"
    exit 0
fi

tag=$("$PYTHON" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
# This machine's architecture only: make aarch64 puts aarch64 wheels beside them.
wheels=(dist/*-"$tag"-"$tag"-manylinux_*_"$(uname -m)".whl)
if [ ! -e "${wheels[0]}" ]; then
    echo "wheel-test: no $tag manylinux wheel in dist/ (make dist)" >&2
    exit 1
fi
wheel="$root/${wheels[0]}"
start=$(date +%s)

work=$(mktemp -d "${TMPDIR:-/tmp}/stashel-wheel-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# No compiler and no build tools: these names come first on PATH and fail,
# and CC/CXX name a command that fails too.
mkdir "$work/no-build-tools"
for tool in cc gcc g++ c++ clang clang++ cmake ninja make; do
    printf '#!/bin/sh\necho "wheel-test: %s is not available here" >&2\nexit 127\n' "$tool" \
        >"$work/no-build-tools/$tool"
    chmod +x "$work/no-build-tools/$tool"
done
export PATH="$work/no-build-tools:$PATH" CC=false CXX=false
unset PYTHONPATH

"$PYTHON" -m venv "$work/venv"
PY="$work/venv/bin/python"
# Everything from binary distributions only: a source build here would need
# the tools that are missing.
"$PY" -m pip install -q --only-binary :all: "$wheel[test,demo]" "${MYPY:-mypy}"

# The tests (with the demo and benchmark they run) and the pytest settings,
# copied to a directory that holds no package source.
mkdir "$work/project"
cp -r tests demo bench pyproject.toml "$work/project/"
mkdir "$work/project/examples"
cp examples/typed_usage.py examples/typed_async_usage.py "$work/project/examples/"
cd "$work/project"

"$PY" - "$work/venv" <<'EOF'
"""The package comes from the virtual environment, not from any source tree."""
import pathlib
import sys

import kelm_sdk
import kelm_sdk.logging.logger
import kelm_sdk.redis.stashel

venv = pathlib.Path(sys.argv[1]).resolve()
for module in (kelm_sdk, kelm_sdk.logging.logger, kelm_sdk.redis.stashel):
    where = pathlib.Path(module.__file__).resolve()
    assert venv in where.parents, f"{module.__name__} imported from {where}"
print(f"wheel-test: kelm_sdk {kelm_sdk.__version__} from {pathlib.Path(kelm_sdk.__file__).parent}")
EOF

[ $# -gt 0 ] || set -- tests
status=0
"$PY" -m pytest "$@" || status=$?
# The stub and py.typed marker must come with the wheel for this to pass.
"$PY" -m mypy --strict --no-incremental examples/typed_usage.py examples/typed_async_usage.py || status=$?
end=$(date +%s)
echo "wheel-test: $(basename "$wheel"), $((end - start)) s, exit status $status"
exit $status
