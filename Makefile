# Entry points: `make demo`, `make test`, `make build`.
PYTHON ?= $(shell scripts/find-python)
BUILD_DIR ?= build
BUILD_TYPE ?= Release
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps build test test-asan demo clean

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

demo: build
	PYTHONPATH=$(BUILD_DIR)/python $(PYTHON) examples/demo.py

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan
