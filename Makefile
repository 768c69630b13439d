# `make test` sets everything up on a fresh machine: the virtual environment in .venv, the Python
# build and test requirements, GoogleTest (Debian's libgtest-dev, installed when missing and
# running as root), the extension build, then the C++ and Python suites.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
DEPS_STAMP := $(VENV)/.deps-installed
CPP_BUILD := build/cpp
BENCH_BUILD := build/bench
JOBS ?= 2

.PHONY: test cpp-test py-test install gtest clean

test: cpp-test py-test

$(PY):
	$(PYTHON) -m venv $(VENV)

$(DEPS_STAMP): requirements-dev.txt | $(PY)
	$(PY) -m pip install --disable-pip-version-check -q -r requirements-dev.txt
	touch $@

# Builds the extension with the tools already in .venv (no isolated build environment).
install: $(DEPS_STAMP)
	$(PY) -m pip install --disable-pip-version-check --no-build-isolation --no-deps -q .

gtest:
	@if ! dpkg -s libgtest-dev >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	  else \
	    echo "libgtest-dev is missing; install it (apt-get install libgtest-dev) or run as root"; \
	    exit 1; \
	  fi; \
	fi

cpp-test: $(DEPS_STAMP) gtest
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DQUILLFEN_BUILD_EXTENSION=OFF -DQUILLFEN_BUILD_TESTS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY)
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j $(JOBS)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

py-test: install
	$(PY) -m pytest

# Builds the update benchmark in its own directory and compares it with numpy in the same run.
.PHONY: bench
bench: $(DEPS_STAMP)
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DQUILLFEN_BUILD_EXTENSION=OFF -DQUILLFEN_BUILD_BENCHMARKS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY)
	$(VENV)/bin/cmake --build $(BENCH_BUILD) -j $(JOBS) --target quillfen_update_benchmark
	$(PY) benchmarks/run_update_benchmark.py $(BENCH_BUILD)/quillfen_update_benchmark

clean:
	rm -rf build $(VENV)
