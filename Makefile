# One-command set-up: every target bootstraps .venv with a Python >= 3.13 and installs
# what it needs from PyPI.
VENV    ?= .venv
BUILD   ?= build
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip --disable-pip-version-check -q
BUILD_DEPS := "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja
TEST_DEPS  := pytest hypothesis mypy "dask[distributed]" xarray matplotlib

.PHONY: all venv install test cpp-tests demo bench fuzz soak sanitize format lint clean

all: test

$(PY):
	@py=$$(tools/find-python.sh) && echo "using $$py" && "$$py" -m venv $(VENV)
	$(PIP) install --upgrade pip

venv: $(PY)
	$(PIP) install $(BUILD_DEPS) $(TEST_DEPS)

# Rebuilds incrementally in $(BUILD)/<wheel tag> and installs the extension into the venv.
install: venv
	$(PIP) install --no-build-isolation -C build-dir=$(BUILD)/{wheel_tag} .

cpp-tests: venv
	$(VENV)/bin/cmake -S . -B $(BUILD)/cpp-tests -G Ninja -DQUELBRIN_MODULE=OFF -DQUELBRIN_CPP_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build $(BUILD)/cpp-tests
	$(BUILD)/cpp-tests/quelbrin_cpp_tests

test: install cpp-tests
	$(PY) -m pytest tests

demo: install
	$(PIP) install matplotlib
	$(PY) examples/demo.py

# Benchmark against the memory floor, a scipy loop and the other Whittaker smoothers
# (installed here only, for the benchmark: none is a dependency of quelbrin or its tests):
# prints a table, writes bench/results.md and bench/results.png.  BENCH_ARGS=--quick for
# fewer repetitions.  SciPy ships whittaker_henderson in scipy.signal
# (1.18 has it).
BENCH_PEERS := "scipy>=1.18" vam.whittaker whittaker-eilers pybaselines
bench: install
	$(PIP) install --upgrade matplotlib $(BENCH_PEERS)
	$(PY) bench/run.py $(BENCH_ARGS)

# The long fuzzing profile: 20,000 examples per function, each function in a child process;
# prints the example counts.
fuzz: install
	QUELBRIN_FUZZ_PROFILE=long $(PY) tests/test_fuzz.py

# The full soak: 100,000 calls mixing valid calls and every error path; prints the figures.
soak: install
	QUELBRIN_SOAK_CALLS=100000 $(PY) -m pytest tests/test_soak.py -q -s

# The extension and the C++ tests built with AddressSanitizer and UndefinedBehaviorSanitizer
# (a separate venv and build dir), then the C++ tests, the whole test suite and the quick
# fuzz profile under them.  Any report fails the run: the sanitizers abort at the first one
# and also write it to $(SAN_BUILD)/reports/ (where only warnings about allocations
# refused with null may remain).  The interpreter is not
# built with ASan, so the runtime is preloaded (with libstdc++, whose exception functions
# ASan must find at start-up), and the interpreter's own leaks at exit are not reported;
# allocations too big to exist fail with null, as they would without ASan, so that the
# tests of MemoryError still see one.
SAN_VENV  ?= .venv-asan
SAN_BUILD ?= build-asan
SAN_LOGS  := $(abspath $(SAN_BUILD))/reports
SAN_OPTS  := halt_on_error=1:abort_on_error=1:log_path=$(SAN_LOGS)/report
SAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:detect_stack_use_after_return=1:$(SAN_OPTS) \
	UBSAN_OPTIONS=print_stacktrace=1:$(SAN_OPTS) QUELBRIN_SANITIZED=1
sanitize:
	$(MAKE) venv VENV=$(SAN_VENV)
	$(SAN_VENV)/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation \
		-C build-dir=$(SAN_BUILD)/{wheel_tag} -C cmake.build-type=RelWithDebInfo \
		-C cmake.define.QUELBRIN_SANITIZE=ON .
	$(SAN_VENV)/bin/cmake -S . -B $(SAN_BUILD)/cpp-tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DQUELBRIN_MODULE=OFF -DQUELBRIN_CPP_TESTS=ON -DQUELBRIN_SANITIZE=ON >/dev/null
	$(SAN_VENV)/bin/cmake --build $(SAN_BUILD)/cpp-tests
	rm -rf $(SAN_LOGS) && mkdir -p $(SAN_LOGS)
	ASAN_OPTIONS=$(SAN_OPTS) UBSAN_OPTIONS=print_stacktrace=1:$(SAN_OPTS) \
		$(SAN_BUILD)/cpp-tests/quelbrin_cpp_tests
	$(SAN_ENV) $(SAN_VENV)/bin/python -m pytest tests
	@if grep -l -e 'ERROR: ' -e 'runtime error' -r $(SAN_LOGS); then \
		cat $(SAN_LOGS)/*; echo "sanitizer reports above"; exit 1; fi
	@echo "sanitize: no reports"

# The C++ sources under version control; the formatter comes from PyPI (the clang-format
# wheel), so both targets work on a fresh machine.
CXX_SOURCES = $(shell git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp')
CLANG_FORMAT := $(VENV)/bin/clang-format

$(CLANG_FORMAT): $(PY)
	$(PIP) install clang-format

# Formats every C++ source in place with .clang-format.
format: $(CLANG_FORMAT)
	$(CLANG_FORMAT) -i $(CXX_SOURCES)

# The habits as a gate: the sources formatted as `make format` leaves them (skipped with
# QUELBRIN_SKIP_FORMAT_CHECK=1), and everything (both modules and the C++ test program)
# built with -Werror -Wshadow in a build directory of its own.
lint: venv $(CLANG_FORMAT)
	@if [ "$(QUELBRIN_SKIP_FORMAT_CHECK)" = "1" ]; then \
		echo "lint: format check skipped (QUELBRIN_SKIP_FORMAT_CHECK=1)"; \
	else \
		$(CLANG_FORMAT) --dry-run --Werror $(CXX_SOURCES); \
	fi
	$(VENV)/bin/cmake -S . -B $(BUILD)/lint -G Ninja -DQUELBRIN_MODULE=ON -DQUELBRIN_CPP_TESTS=ON \
		-DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_CXX_FLAGS="-Werror -Wshadow" >/dev/null
	$(VENV)/bin/cmake --build $(BUILD)/lint

clean:
	rm -rf $(BUILD) dist $(VENV)
