# make demo   set everything up (virtual environment, dependencies, native build) and run the demo
# make test   set everything up and run every test
# make bench  set everything up and run the benchmarks
# make sanitize  build the modules with AddressSanitizer + UBSan in build/asan and run the tests of
#                the native entry points against them (the in-place build in src is untouched)
# make wheel  the installable wheel, from the development build (build/dev), repaired by auditwheel
#             to the manylinux tag this machine allows: build/wheel/orvalis-*-manylinux_*.whl
# make wheel-check  install that wheel into a fresh virtual environment and predict with it
PYTHON ?= python3
VENV ?= .venv
PY := $(abspath $(VENV))/bin/python
BIN := $(abspath $(VENV))/bin
BUILD_DIR ?= build/dev
WERROR ?= OFF
STAMP := $(abspath $(VENV))/.orvalis-deps
export PYTHONPATH := $(CURDIR)/src
export MPLBACKEND ?= Agg

.PHONY: setup build demo test bench stubtest sanitize wheel wheel-check clean

setup: build

$(STAMP): pyproject.toml tools/print_deps.py
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $$($(PY) tools/print_deps.py test bench dask parquet wheel)
	touch $@

build: $(STAMP)
	mkdir -p $(BUILD_DIR)
	$(BIN)/cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(BIN)/ninja \
	  -DPython_EXECUTABLE=$(PY) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) \
	  -DORVALIS_INPLACE=ON -DORVALIS_WERROR=$(WERROR) > $(BUILD_DIR)/configure.log || \
	  { cat $(BUILD_DIR)/configure.log; exit 1; }
	$(BIN)/cmake --build $(BUILD_DIR) -j 2

demo: build
	$(PY) tools/demo.py

test: build
	$(PY) -m pytest
	$(MAKE) --no-print-directory stubtest

stubtest: build
	$(PY) tools/stubtest.py

bench: build
	$(PY) benchmarks/run.py

# The sanitized modules are installed into a copy of the package tree, build/asan/pkg/orvalis,
# which the test run imports instead of src. The interpreter is not instrumented: libasan is
# preloaded, with libstdc++ so that ASan can intercept C++ exceptions thrown in the modules;
# PYTHONMALLOC=malloc puts Python objects on ASan's heap, so that a freed object read by native
# code is reported. UB aborts (-fno-sanitize-recover), which fails the run; an allocation too big
# to make is a MemoryError, as without ASan, not a report.
SANITIZE_DIR ?= build/asan
SANITIZE_PKG := $(abspath $(SANITIZE_DIR))/pkg
SANITIZE_TESTS ?= tests/test_grammar.py tests/test_dispatcher.py tests/test_elementwise.py \
  tests/test_group_stats.py tests/test_rolling.py tests/test_calendar.py tests/test_formula.py \
  tests/test_table_utils.py tests/test_strendal.py tests/test_fuzz.py tests/test_model_input.py \
  tests/test_frozen_statistics.py
sanitize: $(STAMP)
	mkdir -p $(SANITIZE_DIR)
	$(BIN)/cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(BIN)/ninja \
	  -DPython_EXECUTABLE=$(PY) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) \
	  -DORVALIS_INPLACE=OFF -DORVALIS_SANITIZE=ON -DORVALIS_WERROR=$(WERROR) \
	  > $(SANITIZE_DIR)/configure.log || { cat $(SANITIZE_DIR)/configure.log; exit 1; }
	$(BIN)/cmake --build $(SANITIZE_DIR) -j 2
	mkdir -p $(SANITIZE_PKG)
	tar -C src --exclude='*.so' --exclude=__pycache__ -cf - orvalis | tar -C $(SANITIZE_PKG) -xf -
	$(BIN)/cmake --install $(SANITIZE_DIR) --prefix $(SANITIZE_PKG) > /dev/null
	cxx=$$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' $(SANITIZE_DIR)/CMakeCache.txt); \
	PYTHONPATH=$(SANITIZE_PKG) PYTHONMALLOC=malloc \
	LD_PRELOAD="$$($$cxx -print-file-name=libasan.so) $$($$cxx -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:suppressions=$(CURDIR)/tools/asan.supp \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	$(PY) -m pytest -q -p no:cacheprovider $(SANITIZE_TESTS)

# The wheel is built in the development build folder: CMake compiles only what changed since
# `make build` (usually nothing), and the wheel holds the very modules the tests ran against. pip
# runs without build isolation, so the build requirements are the development environment's and
# their paths stay the same from one build to the next.
WHEEL_DIR ?= build/wheel
wheel: build
	rm -rf $(WHEEL_DIR)
	$(PY) -m pip wheel --quiet --no-build-isolation --no-deps -C build-dir=$(BUILD_DIR) \
	  -w $(WHEEL_DIR)/linux .
	PATH="$(BIN):$$PATH" $(BIN)/auditwheel repair -w $(WHEEL_DIR) $(WHEEL_DIR)/linux/*.whl
	rm -rf $(WHEEL_DIR)/linux
	@ls $(WHEEL_DIR)/*.whl

wheel-check: wheel
	$(PY) tools/wheel_check.py $(WHEEL_DIR)

clean:
	rm -rf build dist releases
	find src -name '*.so' -delete
