# Set-up, build and test entry points. Every target installs what it needs
# when it is missing: Debian packages with apt, Python packages into .venv.
# `make demo` needs only numpy and the build tools (requirements-demo.txt) and builds
# just the module; `make test` installs everything (requirements-dev.txt) and builds all.
SHELL := /bin/bash
VENV  := .venv
PY    := $(abspath $(VENV))/bin/python
BUILD := build
DEMO_BUILD := build-demo
ASAN_BUILD := build-asan
JOBS  ?= 2
APT_PACKAGES := libgtest-dev libgmock-dev libbenchmark-dev
# What the installed module is built from: a change reinstalls it.
MODULE_SOURCES := $(shell find vorpel-core vorpel-infer python -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \
                    -o -name '*.py' -o -name '*.pyi' -o -name 'CMakeLists.txt' \) 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: all deps apt venv venv-demo build test test-cpp test-python demo install asan bench fuzz clean

all: build

deps: apt venv

apt:
	@if ! dpkg -s $(APT_PACKAGES) >/dev/null 2>&1; then \
	  echo "installing $(APT_PACKAGES)"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(APT_PACKAGES); \
	fi

$(PY):
	@echo "== creating the virtual environment $(VENV)"
	python3 -m venv $(VENV)
	$(PY) -m pip install --upgrade pip

# The demo's packages: numpy and the build tools (a few MB).
venv-demo: $(VENV)/.stamp-demo

$(VENV)/.stamp-demo: requirements-demo.txt | $(PY)
	@echo "== installing the demo's Python packages (requirements-demo.txt)"
	$(PY) -m pip install --progress-bar on -r requirements-demo.txt
	@touch $@

# Everything the tests and the training pipeline use (PyTorch included, about 1 GB).
venv: $(VENV)/.stamp

$(VENV)/.stamp: requirements-dev.txt requirements-demo.txt | $(PY)
	@echo "== installing the development packages (requirements-dev.txt; PyTorch is large, this takes a while)"
	$(PY) -m pip install --progress-bar on -r requirements-dev.txt
	@touch $@ $(VENV)/.stamp-demo

# The vorpel_rs module (and vorpel_writer) installed into .venv: only the module is
# compiled (no tests, benchmarks or CLI; pyproject.toml turns them off), in build-demo/,
# which later installs reuse.
install: $(VENV)/.stamp-module

$(VENV)/.stamp-module: $(MODULE_SOURCES) | $(VENV)/.stamp-demo
	@echo "== building and installing the vorpel_rs module into $(VENV) (compiles C++: a few minutes the first time)"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m pip install -v --no-build-isolation \
	  --config-settings=build-dir=$(DEMO_BUILD) .
	@touch $@

$(BUILD)/CMakeCache.txt: | apt venv
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PY) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-python: build
	VORPEL_BUILD_DIR=$(abspath $(BUILD)) PYTHONPATH=$(abspath $(BUILD))/python:$(abspath python) \
	  $(PY) -m pytest -q tests/python

test: test-cpp test-python

demo: install
	@echo "== running examples/demo.py on models/demo-v2.trov"
	$(PY) examples/demo.py

# C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer.
asan: | apt venv
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORPEL_SANITIZE=ON \
	  -DVORPEL_BUILD_BENCH=OFF -DPython_EXECUTABLE=$(PY) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench: build
	@echo "benchmark binaries are in $(BUILD)/bench; see bench/README.md for the commands"

# libFuzzer targets (clang, ASan + UBSan), FUZZ_SECONDS each (default 60); not part of test.
fuzz: | venv
	@command -v clang++-19 >/dev/null 2>&1 || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
	  apt-get install -y -qq clang-19 libclang-rt-19-dev; }
	fuzz/run.sh

clean:
	rm -rf $(BUILD) $(DEMO_BUILD) $(ASAN_BUILD)
