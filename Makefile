# Makefile: the set-up commands. Everything runs in a virtual environment of its own (.venv).
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.deps

.PHONY: install test demo sanitize bench clean

# Re-made when this file changes, so an existing .venv picks up a new dependency.
$(STAMP): Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.8" cmake ninja numpy "pytest>=7" \
	    soundfile soxr matplotlib tqdm
	touch $@

# Builds the C++ extension (incrementally, in build/) and installs the package into the venv.
install: $(STAMP)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .

test: install
	cd tests && ../$(PY) -m pytest -q

demo: install
	$(VENV)/bin/velmor demo

# Native paths against the numpy path (run by hand; takes a few minutes).
bench: install
	$(PY) benchmarks/bench_native.py

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
SAN_DIR := build/sanitize
SAN_LIBS = $$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)
sanitize: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(SAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMOR_SANITIZE=ON \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(SAN_DIR)
	rm -rf $(SAN_DIR)/pkg && mkdir -p $(SAN_DIR)/pkg && cp -r src/velmor $(SAN_DIR)/pkg/
	cp $(SAN_DIR)/unit7*.so $(SAN_DIR)/pkg/velmor/
	cd tests && LD_PRELOAD=$(SAN_LIBS) ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH=../$(SAN_DIR)/pkg ../$(PY) -m pytest -q -p no:cacheprovider

clean:
	rm -rf build $(VENV)
