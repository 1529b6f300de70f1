# Set-up, build and test entry points. Every target installs what it needs
# when it is missing: Debian packages with apt, Python packages into .venv.
SHELL := /bin/bash
VENV  := .venv
PY    := $(abspath $(VENV))/bin/python
BUILD := build
ASAN_BUILD := build-asan
JOBS  ?= 2
APT_PACKAGES := libgtest-dev libgmock-dev libbenchmark-dev

.PHONY: all deps apt venv build test test-cpp test-python demo asan bench fuzz clean

all: build

deps: apt venv

apt:
	@if ! dpkg -s $(APT_PACKAGES) >/dev/null 2>&1; then \
	  echo "installing $(APT_PACKAGES)"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(APT_PACKAGES); \
	fi

venv: $(VENV)/.stamp

$(VENV)/.stamp: requirements-dev.txt
	@test -x $(PY) || python3 -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
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

demo: build
	VORPEL_BUILD_DIR=$(abspath $(BUILD)) PYTHONPATH=$(abspath $(BUILD))/python:$(abspath python) \
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
	rm -rf $(BUILD) $(ASAN_BUILD)
