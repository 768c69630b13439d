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

# Streams a synthetic heavy-tailed data set through the engine and prints what it learned.
demo: install-extension
	$(PY) examples/stream.py

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
# then times update and predict from Python.
.PHONY: bench
bench: install-extension
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DQUILLFEN_BUILD_EXTENSION=OFF -DQUILLFEN_BUILD_BENCHMARKS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY)
	$(VENV)/bin/cmake --build $(BENCH_BUILD) -j $(JOBS) --target quillfen_update_benchmark
	$(PY) benchmarks/run_update_benchmark.py $(BENCH_BUILD)/quillfen_update_benchmark
	$(PY) benchmarks/run_python_benchmark.py

clean:
	rm -rf build $(VENV)

# ---------------------------------------------------------------------------------------------
# Checks (run by .ci/run): format, lint and types; sanitizer builds; long fuzz and soak runs.

LINT_STAMP := $(VENV)/.lint-installed
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
# Python files held to ruff; the rest of tests/ and benchmarks/ join once reformatted in one go.
PY_LINT_PATHS := python tests/python/test_fuzz.py \
	tests/python/test_soak.py tests/python/test_fork_safety.py tests/python/test_interrupt.py
# The engine's stub and where mypy finds it.
STUB_PATH := python
STUB_MODULES := _quillfen_native_cpu
CPP_SOURCES = $(shell find src bindings tests/cpp benchmarks -name '*.cpp' -o -name '*.hpp')
SANITIZER_CMAKE := $(VENV)/bin/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	-DCMAKE_BUILD_TYPE=Debug -DQUILLFEN_WERROR=ON -DQUILLFEN_BUILD_TESTS=ON \
	-DPython_EXECUTABLE=$(CURDIR)/$(PY)
# CPython itself is not instrumented: the ASan runtime goes first, its leak check stays off for
# the interpreter (the C++ tests keep it), and a failed allocation returns null so that operator
# new throws std::bad_alloc as it does without the sanitizer.
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so)
ASAN_PYTHON_ENV = LD_PRELOAD=$(ASAN_RUNTIME) PYTHONPATH=$(ASAN_BUILD):python \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 QUILLFEN_SANITIZER=address
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:die_after_fork=0:second_deadlock_stack=1

.PHONY: lint sanitize sanitize-address sanitize-thread fuzz soak

$(LINT_STAMP): requirements-lint.txt | $(PY)
	$(PY) -m pip install --disable-pip-version-check -q -r requirements-lint.txt
	touch $@

lint: $(LINT_STAMP) install-extension
	$(VENV)/bin/clang-format --dry-run --Werror $(CPP_SOURCES)
	$(VENV)/bin/ruff check $(PY_LINT_PATHS)
	$(VENV)/bin/ruff format --check $(PY_LINT_PATHS)
	MYPYPATH=$(STUB_PATH) $(VENV)/bin/mypy --strict python/quillfen
	MYPYPATH=$(STUB_PATH) $(PY) -m mypy.stubtest --mypy-config-file pyproject.toml \
	  --allowlist $(STUB_PATH)/stubtest-allowlist.txt $(STUB_MODULES)

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

soak: install-extension
	QUILLFEN_SOAK_SCALE=20 $(PY) -m pytest -q -p no:cacheprovider tests/python/test_soak.py
