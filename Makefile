# Developer and operator entry points over CMake.
#   make demo   build the Release binaries and run the demo
#   make test   build everything under the sanitizers and run the whole suite
#   make bench  build the Release tree and run the migration benchmark
# Both first install whatever Debian packages are missing.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
RELEASE_DIR := build/release
TEST_DIR := build/test

.PHONY: all deps release test-build test demo bench clean

all: release

deps:
	@tools/install-deps.sh

release: deps
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DIDFERRY_TESTS=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS)

test-build: deps
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DIDFERRY_SANITIZE=ON
	cmake --build $(TEST_DIR) -j $(JOBS)

test: test-build
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

demo: release
	tools/demo.sh $(RELEASE_DIR)

# Benchmarks (Release tree): BENCH_ARGS go to migration_bench, e.g.
#   make bench BENCH_ARGS="--million --modes auto"
bench: release
	$(RELEASE_DIR)/bench/migration_bench $(BENCH_ARGS)

clean:
	rm -rf build
