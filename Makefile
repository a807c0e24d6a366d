# Developer and operator entry points over CMake.
#   make demo   build the Release binaries and run the demo
#   make test   build everything under the sanitizers and the Debian package, and run
#               the whole suite, then a bounded fault campaign
#   make chaos  build the Release tree and run the randomized fault campaign
#   make package  build the Release tree and the Debian package idferry_<version>_amd64.deb
#   make bench  build the Release tree and run the migration benchmark
#   make fuzz   build the fuzzing tree (clang) and run each fuzz program
# All first install whatever Debian packages are missing.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
RELEASE_DIR := build/release
TEST_DIR := build/test
FUZZ_DIR := build/fuzz
FUZZ_SECONDS ?= 60
CHAOS_FIRST ?= 1
CHAOS_COUNT ?= 100
# Seeds 1 to CHAOS_TEST_COUNT run after the suite in `make test` (about 2 minutes).
CHAOS_TEST_COUNT ?= 80

.PHONY: all deps release package test-build test demo bench chaos fuzz clean

all: release

deps:
	@tools/install-deps.sh

release: deps
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DIDFERRY_TESTS=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS)

test-build: deps
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DIDFERRY_SANITIZE=ON
	cmake --build $(TEST_DIR) -j $(JOBS)

# The package test unpacks $(RELEASE_DIR)/idferry_<version>_amd64.deb.
package: release
	cmake --build $(RELEASE_DIR) --target package

test: test-build package
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)
	$(RELEASE_DIR)/chaos/idferry_chaos --first 1 --count $(CHAOS_TEST_COUNT)

demo: release
	tools/demo.sh $(RELEASE_DIR)

# Benchmarks (Release tree): BENCH_ARGS go to migration_bench, e.g.
#   make bench BENCH_ARGS="--million --modes auto"
bench: release
	$(RELEASE_DIR)/bench/migration_bench $(BENCH_ARGS)

# The randomized fault campaign (Release tree), e.g.
#   make chaos CHAOS_FIRST=1 CHAOS_COUNT=500
# Fails if a seed fails; each failing seed prints the command that replays it.
chaos: release
	$(RELEASE_DIR)/chaos/idferry_chaos --first $(CHAOS_FIRST) --count $(CHAOS_COUNT)

# Fuzzing (clang, libFuzzer, ASan+UBSan): FUZZ_SECONDS per program, e.g.
#   make fuzz FUZZ_SECONDS=600
# Fails if a program finds a problem; see fuzz/run.sh.
fuzz:
	@tools/install-deps.sh --fuzz
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DIDFERRY_FUZZ=ON -DIDFERRY_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzzers
	fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

clean:
	rm -rf build
