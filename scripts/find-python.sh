#!/usr/bin/env bash
# Prints the path of CPython X.Y (the argument) as the matrix finds it:
# .interpreters/pythonX.Y (make interpreters), the newest pyenv build under
# $PYENV_ROOT/versions, then pythonX.Y on PATH. Exit status 1, printing
# nothing, when there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$1
if [ -x ".interpreters/python$version" ]; then
    echo "$PWD/.interpreters/python$version"
    exit 0
fi
versions=${PYENV_ROOT:-/root/.pyenv}/versions
for build in $(ls -d "$versions/$version".* 2>/dev/null | sort -rV); do
    if [ -x "$build/bin/python$version" ]; then
        echo "$build/bin/python$version"
        exit 0
    fi
done
command -v "python$version" || exit 1
