# Wraps CMake: `make run` builds the release library and runs the example
# scenario; `make test` builds with the sanitizers and runs the test suite.
JOBS        ?= $(shell nproc)
RELEASE_DIR := build
TEST_DIR    := build/asan

.PHONY: all deps release asan run test bench clean

all: release

# Idempotent and quick when everything is present.
deps:
	@bash scripts/install-deps.sh

release: deps
	@[ -f $(RELEASE_DIR)/build.ninja ] || cmake -S . -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE_DIR) -j $(JOBS)

asan: deps
	@[ -f $(TEST_DIR)/build.ninja ] || cmake -S . -B $(TEST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVO_SANITIZE=ON
	cmake --build $(TEST_DIR) -j $(JOBS)

run: release
	$(RELEASE_DIR)/bin/orvo run --scenario scenarios/example.scenario --out $(RELEASE_DIR)/example.csv --summary

test: asan
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

bench: release
	$(RELEASE_DIR)/bin/orvo-bench
	sh scripts/bench_population.sh $(RELEASE_DIR)/bin/orvo scenarios/population.scenario

clean:
	rm -rf build
