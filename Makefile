# Everything needed on a fresh machine: a virtual environment, the package
# built from source, Debian's redis-server.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml
ARGS ?=

.PHONY: all setup redis-server test demo bench stress sanitize clean

all: test

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(STAMP): $(PY) $(SOURCES)
	$(PY) -m pip install -q scikit-build-core cmake ninja
	$(PY) -m pip install -q --no-build-isolation ".[test,demo]"
	touch $@

setup: $(STAMP) redis-server

redis-server:
	@scripts/ensure-redis-server.sh

test: setup
	$(PY) -m pytest

demo: setup
	$(PY) demo/pipeline.py $(ARGS)

$(VENV)/.bench-installed: $(STAMP)
	$(PY) -m pip install -q --no-build-isolation ".[bench]"
	touch $@

bench: setup $(VENV)/.bench-installed
	$(PY) bench/run.py $(ARGS)

stress: setup
	$(PY) -m pytest -m stress $(ARGS)

sanitize: redis-server
	scripts/sanitize.sh $(ARGS)

clean:
	rm -rf build $(VENV) .venv-sanitize

# CPU per frame with each redis-py that pyproject.toml admits, side by side;
# venvs are cached in build/bench-venvs, results go to bench/results/redis_versions.*
.PHONY: bench-redis
bench-redis: redis-server
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
lint: $(LINT_VENV)/.installed
	$(LINT_BIN)/ruff check .
	$(LINT_BIN)/ruff format --check .
	$(LINT_BIN)/clang-format --dry-run --Werror src/cpp/*
	$(LINT_BIN)/clang-tidy --quiet src/cpp/*.cpp -- -std=c++17 \
		-I"$$($(LINT_BIN)/python -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
