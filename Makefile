# `make demo` and `make test` do all the set-up they need on a fresh machine.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.bootstrap-stamp
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE := $(VENV)/bin/cmake
CXX_TEST_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	-DTESVORN_PYTHON=OFF -DTESVORN_TESTS=ON

BENCH_STAMP := $(VENV)/.bench-stamp

.PHONY: all demo test test-data format-check module cpp cpp-test asan-test py-test py-asan-test fuzz fuzz-ci bench bench-all bench-reader bench-targets roundtrip clean

all: module

$(STAMP): tools/bootstrap tools/requirements-test.txt
	tools/bootstrap

# The benchmark peers (PyYAML is a test oracle and comes with the tests).
$(BENCH_STAMP): $(STAMP) tools/requirements-bench.txt
	$(PY) -m pip install -q -r tools/requirements-bench.txt
	touch $@

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

# The whole pytest suite against the module built with AddressSanitizer and
# UndefinedBehaviorSanitizer (GCC's runtimes, preloaded into the interpreter).
# PYTHONMALLOC=malloc sends every Python object through malloc, so a use of
# a freed object (a missing reference) is caught too. Leak detection is off
# here: CPython keeps its own allocations until exit and never frees some,
# so LeakSanitizer would report the interpreter, not us (the C++ tests above
# run with it on; tests/python/test_leaks.py covers the module). The 100 MB
# test is deselected: under the sanitizers it costs minutes and says nothing
# the plain run does not. Sanitized stack frames are several times larger, so
# the stack limit is raised: the deepest documents (1,000 block levels, and
# 2,500 levels of node objects) recurse that deep in the writer and the
# conversions. The tests of the `tesvorn` command run the installed script
# (from `module`), which imports the sanitized module through PYTHONPATH.
ASAN_LIB = $(shell $(CXX) -print-file-name=libasan.so)
py-asan-test: $(STAMP) module cpp
	$(CMAKE) -S . -B build/asan-py -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DTESVORN_PYTHON=ON -DTESVORN_TESTS=OFF -DTESVORN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build build/asan-py -j $(JOBS)
	ulimit -s 262144 && LD_PRELOAD=$(ASAN_LIB) ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		PYTHONMALLOC=malloc TESVORN_ASAN=1 PYTHONPATH=build/asan-py \
		$(PY) -m pytest -q -p no:cacheprovider -m "not huge" tests/python

# libFuzzer targets (tests/fuzz): each runs FUZZ_SECONDS; installs clang and
# its fuzzer runtime when missing. A finding fails the run (input saved in
# build/fuzz/crashes/). Then the edit-sequence fuzzer runs EDIT_FUZZ_SECONDS
# from EDIT_FUZZ_SEED (a new seed each run unless given), printing each
# failure with its edits cut down to those it needs; then the differential
# run of the reader (tests/support/differential.py): DIFF_COUNT generated
# texts and five mutations of each, against PyYAML and ruamel.yaml
# (installed with the benchmark peers) as oracles.
FUZZ_SECONDS ?= 180
EDIT_FUZZ_SECONDS ?= 600
EDIT_FUZZ_SEED ?= $(shell date +%s)
DIFF_COUNT ?= 50000
fuzz: $(STAMP) $(BENCH_STAMP) module
	tools/fuzz $(FUZZ_SECONDS)
	$(PY) tests/support/edit_fuzz.py --seconds $(EDIT_FUZZ_SECONDS) --seed $(EDIT_FUZZ_SEED) --minimize
	$(PY) -W ignore tests/support/differential.py --seed $$RANDOM --count $(DIFF_COUNT) --peers

# CI runs a fixed number of inputs from a fixed seed: about a minute per
# target here, and the same inputs on every machine.
fuzz-ci: $(STAMP)
	FUZZ_RUNS=75000 FUZZ_SEED=1 tools/fuzz 0 fuzz_core
	FUZZ_RUNS=25000 FUZZ_SEED=1 tools/fuzz 0 fuzz_python

# Under `make test` missing test data (the YAML test suite and the corpus,
# see tests/support/testdata.py) is a failure, never a skip.
test: export TESVORN_REQUIRE_TEST_DATA := 1
test: test-data format-check cpp-test asan-test py-test py-asan-test fuzz-ci

# Stops at once, saying where the data is looked for, when it is missing.
test-data: $(STAMP)
	$(PY) tests/support/testdata.py

format-check: $(STAMP)
	tools/check-format

# The published comparison with PyYAML, ruamel.yaml and ryml (about six
# minutes); bench-all adds the benchmark of each area (dumps, loads, streams).
# bench-targets: the speed and memory figures held against their targets.
bench: module $(BENCH_STAMP)
	$(PY) bench/compare.py
	$(PY) bench/targets.py

bench-targets: module $(BENCH_STAMP)
	$(PY) bench/targets.py

bench-all: module $(BENCH_STAMP)
	$(PY) bench/run_all.py
	$(PY) bench/compare.py

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
