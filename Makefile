# `make demo` and `make test` set everything up on a fresh machine: the virtual environment in
# .venv, the Python build and test requirements, the extension build, and for `make test` also
# GoogleTest (Debian's libgtest-dev, installed when missing and running as root) and the C++ tests.
#
# The extension and the C++ tests come from one CMake build tree (build/py): pip builds both, so
# the core library, whose linear-algebra units take minutes to compile, is compiled only once.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
DEPS_STAMP := $(VENV)/.deps-installed
PY_BUILD := build/py
BENCH_BUILD := build/bench
JOBS ?= 2

.PHONY: demo test cpp-test py-test install install-extension gtest clean

test: cpp-test py-test

# Streams a synthetic heavy-tailed data set through the estimator, prints its summary table, and
# saves and reloads it; then runs the command line's main job: fit a million-row Parquet file
# (generated once), print the summary table and draw the fit's course.
DEMO_DIR := build/demo
DEMO_DATA := $(DEMO_DIR)/stream.parquet

demo: install-extension $(DEMO_DATA)
	$(PY) examples/estimator_stream.py
	$(VENV)/bin/quillfen fit $(DEMO_DATA) --target y --batch-rows 50000 --out $(DEMO_DIR)/model.npz
	$(VENV)/bin/quillfen summary $(DEMO_DIR)/model.npz
	@echo "plot written to $$($(VENV)/bin/quillfen plot $(DEMO_DIR)/model.npz --out $(DEMO_DIR)/fit.png)"

$(DEMO_DATA): examples/make_demo_data.py | $(DEPS_STAMP)
	$(PY) examples/make_demo_data.py $@

$(PY):
	$(PYTHON) -m venv $(VENV)

$(DEPS_STAMP): requirements-dev.txt | $(PY)
	$(PY) -m pip install --disable-pip-version-check -q -r requirements-dev.txt
	touch $@

# Builds the extension and the C++ tests with the tools already in .venv (no isolated build
# environment) and installs the extension into .venv.
PIP_BUILD := CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m pip install --disable-pip-version-check \
	  --no-build-isolation --no-deps -q -C build-dir=$(PY_BUILD)

install: $(DEPS_STAMP) gtest
	$(PIP_BUILD) -C cmake.define.QUILLFEN_BUILD_TESTS=ON .

# The extension alone, without the C++ tests, so that GoogleTest is not needed.
install-extension: $(DEPS_STAMP)
	$(PIP_BUILD) -C cmake.define.QUILLFEN_BUILD_TESTS=OFF .

gtest:
	@if ! dpkg -s libgtest-dev >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	  else \
	    echo "libgtest-dev is missing; install it (apt-get install libgtest-dev) or run as root"; \
	    exit 1; \
	  fi; \
	fi

cpp-test: install
	$(VENV)/bin/ctest --test-dir $(PY_BUILD) --output-on-failure -j $(JOBS)

py-test: install
	$(PY) -m pytest

# Builds the update benchmark in its own directory and compares it with numpy in the same run,
# then times update and predict from Python, the estimator's partial_fit against update, and
# quillfen.dask on a local cluster against one process.
.PHONY: bench
bench: install-extension
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DQUILLFEN_BUILD_EXTENSION=OFF -DQUILLFEN_BUILD_BENCHMARKS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY)
	$(VENV)/bin/cmake --build $(BENCH_BUILD) -j $(JOBS) --target quillfen_update_benchmark
	$(PY) benchmarks/run_update_benchmark.py $(BENCH_BUILD)/quillfen_update_benchmark
	$(PY) benchmarks/run_python_benchmark.py
	$(PY) benchmarks/run_estimator_benchmark.py
	$(PY) benchmarks/run_dask_benchmark.py

# Streams a 10-million-row Parquet file (written once into build/bench, about 2 GB) through
# `quillfen fit`, against in-memory partial_fit and pandas + SGDRegressor in the same run.
.PHONY: bench-stream
bench-stream: install-extension
	$(PY) benchmarks/run_streaming_benchmark.py

clean:
	rm -rf build $(VENV)
