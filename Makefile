# Makefile: the set-up commands. Everything runs in a virtual environment of its own (.venv).
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.deps

.PHONY: install test demo clean

$(STAMP):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.8" cmake ninja numpy "pytest>=7"
	touch $@

# Builds the C++ extension (incrementally, in build/) and installs the package into the venv.
install: $(STAMP)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .

test: install
	cd tests && ../$(PY) -m pytest -q

demo: install
	$(PY) -m velmor.demo

clean:
	rm -rf build $(VENV)
