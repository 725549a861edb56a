# make demo   set everything up (virtual environment, dependencies, native build) and run the demo
# make test   set everything up and run every test
# make bench  set everything up and run the benchmarks
PYTHON ?= python3
VENV ?= .venv
PY := $(abspath $(VENV))/bin/python
BIN := $(abspath $(VENV))/bin
BUILD_DIR ?= build/dev
WERROR ?= OFF
STAMP := $(abspath $(VENV))/.orvalis-deps
export PYTHONPATH := $(CURDIR)/src
export MPLBACKEND ?= Agg

.PHONY: setup build demo test bench stubtest clean

setup: build

$(STAMP): pyproject.toml tools/print_deps.py
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $$($(PY) tools/print_deps.py test bench dask parquet)
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

clean:
	rm -rf build dist releases
	find src -name '*.so' -delete
