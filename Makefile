# One-command set-up: every target bootstraps .venv with a Python >= 3.13 and installs
# what it needs from PyPI.
VENV    ?= .venv
BUILD   ?= build
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip --disable-pip-version-check -q
BUILD_DEPS := "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja
TEST_DEPS  := pytest hypothesis mypy "dask[distributed]" xarray matplotlib

.PHONY: all venv install test cpp-tests demo bench fuzz sanitize clean

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

# Benchmark against the memory floor and a scipy loop: prints a table, writes
# bench/results.md and bench/results.png.  BENCH_ARGS=--quick for fewer repetitions.
bench: install
	$(PIP) install scipy matplotlib
	$(PY) bench/run.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) dist $(VENV)
