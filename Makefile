# `make run`: simulate the built-in example circuit.  `make test`: run the tests.
# Both set up everything they need on a fresh Debian machine first.
VENV ?= .venv
PY := $(VENV)/bin/python
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: run test bench build deps clean

run: build
	$(PY) -m kivrun

test: build
	$(PY) -m pytest -q tests

bench: build
	$(PY) bench/sweep.py
	$(PY) bench/solve.py
	$(PY) bench/transient.py
	$(PY) bench/accuracy.py
	$(PY) bench/margins.py

build: deps
	$(PY) -m pip install -q --no-build-isolation --no-deps .

deps: $(VENV)/.deps-ok

$(VENV)/.deps-ok: Makefile
	@[ -f /usr/include/suitesparse/klu.h ] || { $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq libsuitesparse-dev; }
	python3 -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q numpy scipy pytest matplotlib "dask[distributed]" scikit-build-core cmake ninja \
	  pandas xarray h5netcdf h5py tqdm spicelib
	touch $@

clean:
	rm -rf build $(VENV)
