# Entry points: `make demo`, `make test`, `make build`.
PYTHON ?= $(shell scripts/find-python)
BUILD_DIR ?= build
BUILD_TYPE ?= Release
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps build test test-asan test-tsan test-asan-python fuzz demo bench format format-check clean

deps:
	scripts/install-deps

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DPYTHON=$(PYTHON) $(CMAKE_FLAGS)

build: deps
	@test -n "$(PYTHON)" || { echo "no CPython 3.13 found"; exit 1; }
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DPYTHON=$(PYTHON) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address -DBUILD_PYTHON_MODULE=OFF -DPYTHON=$(PYTHON) $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS) -L cpp

# C++ tests under ThreadSanitizer; tests/tsan.supp says why each entry is there.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=thread -DBUILD_PYTHON_MODULE=OFF -DPYTHON=$(PYTHON) $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure -j $(JOBS) -L cpp

# Python tests against the module built with ASan+UBSan. The interpreter is
# not instrumented, so the runtime is preloaded, with libstdc++ so that its
# exception interceptor finds __cxa_throw; CPython's own exit-time leaks are
# not ours to report.
test-asan-python: deps
	cmake -S . -B build-asan-python -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address -DPYTHON=$(PYTHON) $(CMAKE_FLAGS)
	cmake --build build-asan-python -j $(JOBS) --target rs
	cd tests/python && PYTHONPATH=$(CURDIR)/build-asan-python/python PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(PYTHON) -m unittest discover -v -p 'test_*.py'

# libFuzzer targets (clang), FUZZ_SECONDS each; fails on any finding.
FUZZ_SECONDS ?= 60
fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) fuzz/run-fuzz

demo: build
	PYTHONPATH=$(BUILD_DIR)/python $(PYTHON) examples/demo.py

# Benchmark suite against plain-Python peers (bench/run_suite.py). SCALE is
# full (about 2 GB of synonym JSON), medium, small (under two minutes) or a
# size in GB; only a full run replaces bench/RESULTS.md.
SCALE ?= full
BENCH_OUT ?= $(if $(filter full,$(SCALE)),bench/RESULTS.md,$(BUILD_DIR)/RESULTS-$(SCALE).md)
bench: build
	$(PYTHON) bench/run_suite.py --scale $(SCALE) --module-path $(BUILD_DIR)/python --out $(BENCH_OUT) --strict

# Sources follow .clang-format; format-check fails on any difference.
CLANG_FORMAT ?= clang-format-19
format: deps
	git ls-files '*.cc' '*.h' | xargs $(CLANG_FORMAT) -i

format-check: deps
	git ls-files '*.cc' '*.h' | xargs $(CLANG_FORMAT) --dry-run -Werror

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-asan-python build-fuzz
