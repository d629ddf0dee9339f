#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into a virtual environment of its own (.venv-sanitize, build files under
# build/sanitize-*), then runs the test suite against that build. The
# interpreter itself is not instrumented: the ASan runtime is preloaded and
# leak detection is off, since CPython keeps much memory until exit by design.
# Any ASan report or UBSan finding ends the run with a failure.
# Extra arguments go to pytest, e.g. scripts/sanitize.sh tests/reliability -m stress
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=${SANITIZE_VENV:-.venv-sanitize}
PY="$VENV/bin/python"
start=$(date +%s)

if [ ! -x "$PY" ]; then
    "$PYTHON" -m venv "$VENV"
    "$PY" -m pip install -q --upgrade pip
fi
"$PY" -m pip install -q scikit-build-core cmake ninja
"$PY" -m pip install -q --no-build-isolation \
    -Ccmake.define.STASHEL_SANITIZE=ON \
    -Ccmake.build-type=RelWithDebInfo \
    "-Cbuild-dir=build/sanitize-{wheel_tag}" \
    ".[test,demo]"

# The module must really be the instrumented one.
module=$("$PY" -c 'import importlib.util as u; print(u.find_spec("kelm_sdk.redis.stashel").origin)')
if ! grep -q __asan_init "$module"; then
    echo "sanitize: $module is not built with AddressSanitizer" >&2
    exit 1
fi
built=$(date +%s)

CXX=${CXX:-g++}
asan_runtime=$("$CXX" -print-file-name=libasan.so)
cxx_runtime=$("$CXX" -print-file-name=libstdc++.so)
for lib in "$asan_runtime" "$cxx_runtime"; do
    if [ ! -e "$lib" ]; then
        echo "sanitize: $lib not found (from $CXX -print-file-name)" >&2
        exit 1
    fi
done

# Reports go to files: pytest captures file descriptor 2, and a report
# written there would vanish with the process it ends. Child processes
# started by the tests inherit the settings and report here too.
reports=$(mktemp -d "${TMPDIR:-/tmp}/stashel-sanitize.XXXXXX")
trap 'rm -rf "$reports"' EXIT

status=0
# libstdc++ is preloaded behind the ASan runtime so that ASan can find the
# real __cxa_throw: the interpreter itself is not a C++ program.
LD_PRELOAD="$asan_runtime $cxx_runtime" \
ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:exitcode=86:log_path=$reports/asan" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87:log_path=$reports/ubsan" \
    "$PY" -m pytest "$@" || status=$?

if compgen -G "$reports/*" >/dev/null; then
    for report in "$reports"/*; do
        echo "==== $report" >&2
        cat "$report" >&2
    done
    [ "$status" != 0 ] || status=1
fi
end=$(date +%s)
echo "sanitize: build $((built - start)) s, tests $((end - built)) s, exit status $status"
exit $status
