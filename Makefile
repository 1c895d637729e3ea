# The two set-up commands: `make demo` and `make test`. Each installs what is
# missing, builds the module, then runs the example tour or every test.
PYTHON := .venv/bin/python
BUILD_STAMP := .venv/.ordinata-built
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.pyi') CMakeLists.txt pyproject.toml

.PHONY: all setup build demo test test-python test-cpp test-compat dist check-sanitize fuzz bench mutate clean

all: build

setup:
	@bash scripts/bootstrap.sh

$(BUILD_STAMP): $(SOURCES) | setup
	$(PYTHON) -m pip install -q --no-build-isolation --no-deps .
	@touch $@

build: setup $(BUILD_STAMP)

demo: build
	$(PYTHON) examples/tour.py

test: build test-cpp test-python

test-python: build
	$(PYTHON) -m pytest -q tests

test-cpp: setup
	@cmake -S . -B build/cpp -G Ninja -DORDINATA_BUILD_MODULE=OFF -DORDINATA_BUILD_TESTS=ON \
		-DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja >/dev/null
	@PATH=$(CURDIR)/.venv/bin:$$PATH cmake --build build/cpp
	cd build/cpp && ctest --output-on-failure

# Long API fuzzing run: 3,000 examples per class (over 20,000 in all).
fuzz: build
	ORDINATA_FUZZ_EXAMPLES=3000 $(PYTHON) -m pytest -q tests/fuzz

# The C++ unit tests, then the module, built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the whole Python suite run against it (the interpreter itself is not
# instrumented, so the ASan runtime is preloaded and leak reports are off;
# the stub checks concern the installed wheel and run in make test).
check-sanitize: setup
	@cmake -S . -B build/sanitize-cpp -G Ninja -DORDINATA_SANITIZE=ON -DORDINATA_BUILD_TESTS=ON -DORDINATA_BUILD_MODULE=OFF \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja >/dev/null
	@PATH=$(CURDIR)/.venv/bin:$$PATH cmake --build build/sanitize-cpp
	cd build/sanitize-cpp && ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure
	@cmake -S . -B build/sanitize -G Ninja -DORDINATA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE=$(CURDIR)/$(PYTHON) -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja >/dev/null
	@PATH=$(CURDIR)/.venv/bin:$$PATH cmake --build build/sanitize --target ordinata
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	ORDINATA_SANITIZED=1 PYTHONPATH=$(CURDIR)/build/sanitize $(PYTHON) -m pytest -q -p no:cacheprovider --ignore=tests/test_typing.py tests

# Source distribution and wheel in dist/, built in isolation against NumPy 2.x.
dist: setup
	rm -rf dist
	$(PYTHON) -m build --outdir dist .

# The suite against NumPy 1.26: the wheel built above, installed into its own
# venv beside the test requirements, all held to numpy 1.26.
COMPAT := .venv-compat
test-compat: dist
	@[ -x $(COMPAT)/bin/python ] || "$$($(PYTHON) -c 'import sys; print(sys._base_executable)')" -m venv $(COMPAT)
	@echo 'numpy==1.26.*' > $(COMPAT)/constraints.txt
	@sed -n '/^# Tests/,$$p' requirements-dev.txt > $(COMPAT)/requirements-test.txt
	$(COMPAT)/bin/python -m pip install -q -c $(COMPAT)/constraints.txt -r $(COMPAT)/requirements-test.txt
	$(COMPAT)/bin/python -m pip install -q --force-reinstall --no-deps dist/ordinata-*.whl
	$(COMPAT)/bin/python -c 'import numpy, ordinata; assert numpy.__version__.startswith("1.26"), numpy.__version__'
	$(COMPAT)/bin/python -m pytest -q -p no:cacheprovider tests

# Timings and peak memory against numpy, statsmodels, linearmodels and
# scikit-learn; rewrites benchmarks/RESULTS.md and benchmarks/results.png.
# The peers are installed from their own requirements file, only for this.
BENCH_STAMP := .venv/.bench-requirements-installed

$(BENCH_STAMP): requirements-bench.txt | setup
	$(PYTHON) -m pip install -q -r requirements-bench.txt
	@touch $@

bench: build $(BENCH_STAMP)
	$(PYTHON) -m benchmarks

# Mutation testing (slow, not part of make test): one planted fault at a time
# in a scratch worktree; writes scripts/mutation-results.md.
mutate: build
	$(PYTHON) scripts/mutate.py

clean:
	rm -rf build dist $(BUILD_STAMP)
