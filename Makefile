# The two commands a user needs are `make demo` and `make test`; both install what is missing.
BUILD_DIR ?= build
BUILD_TYPE ?= Release
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

SERVER := $(BUILD_DIR)/quarry_agent_task

.PHONY: deps build test test-unit test-client test-sanitize demo run bench fuzz fuzz-smoke install clean

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Unit and end-to-end tests, then whole sessions through the official MCP clients of each era and
# every reply line of each protocol revision checked against its schema.
test: test-unit test-client

test-unit: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

test-client: build
	tests/mcp-client/run $(abspath $(SERVER))

# The whole suite again on a build with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	  -DQUARRY_SANITIZE=ON
	cmake --build build-sanitize -j $(JOBS)
	cd build-sanitize && ctest --output-on-failure -j $(JOBS)

demo: build
	@examples/demo/run $(abspath $(SERVER))

run: build
	@exec $(SERVER)

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARRY_BENCH=ON
	cmake --build build-bench -j $(JOBS)
	build-bench/bench/quarry_micro_bench
	bench/run build-bench

# Each fuzz target for FUZZ_SECONDS seconds on its seed corpus.
fuzz: deps
	fuzz/run $(FUZZ_SECONDS)

# A few seconds a target, as CI runs it.
fuzz-smoke: deps
	fuzz/run 5

install: build
	cmake --install $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) build-sanitize build-bench build-fuzz
