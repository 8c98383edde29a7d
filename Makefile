# `make demo` and `make test` do all the set-up they need on a fresh machine.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.bootstrap-stamp
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE := $(VENV)/bin/cmake
CXX_TEST_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	-DTESVORN_PYTHON=OFF -DTESVORN_TESTS=ON

.PHONY: all demo test module cpp cpp-test asan-test py-test bench bench-reader roundtrip clean

all: module

$(STAMP): tools/bootstrap tools/requirements-dev.txt
	tools/bootstrap

# Builds the extension and installs it into the project venv (incremental:
# the build tree under build/py is kept between runs).
module: $(STAMP)
	$(PY) -m pip install -q --no-build-isolation .

demo: module
	$(PY) examples/demo.py

cpp: $(STAMP)
	$(CMAKE) -S . -B build/cpp $(CXX_TEST_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(CMAKE) --build build/cpp -j $(JOBS)

cpp-test: cpp
	cd build/cpp && ctest --output-on-failure -j $(JOBS)

# The C++ tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
asan-test: $(STAMP)
	$(CMAKE) -S . -B build/asan $(CXX_TEST_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DTESVORN_SANITIZE=ON >/dev/null
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

py-test: module cpp
	$(PY) -m pytest -q tests/python

test: cpp-test asan-test py-test

bench: module
	$(PY) bench/run_all.py

# Reader throughput against LibYAML's parser (needs libyaml-dev).
bench-reader: $(STAMP)
	$(CMAKE) -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DTESVORN_PYTHON=OFF -DTESVORN_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(CMAKE) --build build/bench -j $(JOBS) --target reader_bench
	build/bench/reader_bench

roundtrip: module
	$(PY) bench/roundtrip_report.py

clean:
	rm -rf build
