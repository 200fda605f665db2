# `make run`: simulate the built-in example circuit.  `make test`: run the tests.
# Both set up everything they need on a fresh Debian machine first.
VENV ?= .venv
PY := $(VENV)/bin/python
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: run test bench build deps clean sanitize

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
	$(PY) -m pip install -q numpy scipy pytest hypothesis matplotlib "dask[distributed]" scikit-build-core \
	  cmake ninja pandas xarray h5netcdf h5py tqdm spicelib
	touch $@

# `make sanitize`: the C++ modules built with AddressSanitizer and UndefinedBehaviorSanitizer
# in their own folder, beside a copy of the Python package, and the test suite run on them.
SAN_DIR := build-sanitize
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g
# Python itself is not instrumented, so the ASan runtime must be loaded first; its
# leak report would list the interpreter's own never-freed objects.
SAN_ENV := LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(SAN_DIR)/pkg

sanitize: deps
	$(VENV)/bin/cmake -S . -B $(SAN_DIR)/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCMAKE_CXX_FLAGS="$(SAN_FLAGS)" -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined"
	$(VENV)/bin/cmake --build $(SAN_DIR)/cmake
	rm -rf $(SAN_DIR)/pkg && mkdir -p $(SAN_DIR)/pkg
	cp -r src/kivrun $(SAN_DIR)/pkg/ && cp $(SAN_DIR)/cmake/*.so $(SAN_DIR)/pkg/kivrun/
	$(SAN_ENV) $(PY) -c "import kivrun.Stampworks as s; assert '$(SAN_DIR)' in s.__file__, s.__file__"
	# ASan keeps freed memory in quarantine, so a resident-size test means nothing here.
	$(SAN_ENV) $(PY) -m pytest -q -p no:cacheprovider tests \
	  --deselect tests/test_factorist.py::test_memory_stays_flat_over_repeated_solves_and_analyses

clean:
	rm -rf build $(SAN_DIR) $(VENV)
