# Wraps CMake: `make run` builds the release library and runs the example
# scenario; `make test` builds with the sanitizers and runs the test suite.
# Quality gates: `make fuzz`, `make tsan`, `make memcheck` (see README).
JOBS         ?= $(shell nproc)
RELEASE_DIR  := build
TEST_DIR     := build/asan
FUZZ_DIR     := build/fuzz
TSAN_DIR     := build/tsan
FUZZ_SECONDS ?= 300
# The suites that exercise threads: execution manager, debugger, runtime.
TSAN_SUITES  := test_execution test_execution_debug_model test_execution_plain_model test_runtime
VALGRIND     := valgrind --error-exitcode=1 --suppressions=scripts/valgrind.supp --leak-check=full \
                --errors-for-leak-kinds=definite \
                --show-leak-kinds=definite --track-origins=yes

.PHONY: all deps release asan run test bench clean fuzz tsan memcheck install deb deb-test cluster-test

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

# A population on a real one-host Slurm (installed from Debian when missing,
# on loopback only), sharded, one shard resubmitted, merged, and compared
# with the unsharded run; uses the sanitizer build's orvo. Run as root.
cluster-test: asan
	bash scripts/cluster-test.sh $(TEST_DIR)/bin/orvo

# Installs the release build under PREFIX (default /usr/local). A build tree
# this user cannot write (a read-only mount, another user's checkout) is
# installed as it was built: no rebuild, and CMake's install manifest goes to
# a scratch folder instead of into the tree.
PREFIX ?= /usr/local
ifneq ($(filter install,$(MAKECMDGOALS)),)
RELEASE_WRITABLE := $(shell if [ -d "$(RELEASE_DIR)" ]; then \
    f=$$(mktemp -p "$(RELEASE_DIR)" .writable.XXXXXX 2>/dev/null) && rm -f "$$f" && echo yes; else echo yes; fi)
endif
install: $(if $(RELEASE_WRITABLE),release)
ifneq ($(RELEASE_WRITABLE),)
	cmake --install $(RELEASE_DIR) --prefix "$(PREFIX)"
else
	@[ -x "$(RELEASE_DIR)/bin/orvo" ] && [ -f "$(RELEASE_DIR)/cmake_install.cmake" ] || \
	    { echo "install: $(RELEASE_DIR) cannot be written and holds no build: build it first (make release)" >&2; exit 1; }
	@echo "install: $(RELEASE_DIR) cannot be written: installing it as built" >&2
	@scratch=$$(mktemp -d) && trap 'rm -rf "$$scratch"' EXIT && \
	    cmake -DBUILD_DIR="$(RELEASE_DIR)" -DSCRATCH="$$scratch" -DCMAKE_INSTALL_PREFIX="$(PREFIX)" \
	        -P cmake/install/install-built.cmake
endif

# A Debian package of the release build under /usr: build/deb/orvo_VERSION_amd64.deb.
DEB_DIR := build/deb
deb: deps
	@[ -f $(DEB_DIR)/build.ninja ] || cmake -S . -B $(DEB_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF
	cmake --build $(DEB_DIR) -j $(JOBS)
	cd $(DEB_DIR) && cpack -G DEB

# The package's content, Depends, baked-in paths, removal, and its unpacked
# tree building a model (a build of its own: not part of `make test`).
deb-test: deb
	sh tests/install/deb_test.sh "$$(ls -t $(DEB_DIR)/orvo_*_amd64.deb | head -n 1)" $(DEB_DIR)/deb-test "$(CURDIR)" "$(abspath $(DEB_DIR))"

run: release
	$(RELEASE_DIR)/bin/orvo run --scenario models/pregnancy/scenarios/example.scenario --out $(RELEASE_DIR)/example.csv --summary

test: asan
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

# libFuzzer on the exports (clang, ASan + UBSan) for FUZZ_SECONDS from the
# committed seeds; new inputs go to $(FUZZ_DIR)/corpus, crashes to $(FUZZ_DIR)/.
fuzz: deps
	@[ -f $(FUZZ_DIR)/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -G Ninja \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target orvo_export_fuzzer
	@mkdir -p $(FUZZ_DIR)/corpus
	$(FUZZ_DIR)/bin/orvo_export_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=60 \
	    -rss_limit_mb=4096 -len_control=0 -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/ \
	    $(FUZZ_DIR)/corpus tests/fuzz/corpus

# The threaded suites under ThreadSanitizer; any report fails the target.
tsan: deps
	@[ -f $(TSAN_DIR)/build.ninja ] || cmake -S . -B $(TSAN_DIR) -G Ninja \
	    -DCMAKE_BUILD_TYPE=Debug -DORVO_TSAN=ON
	cmake --build $(TSAN_DIR) -j $(JOBS) --target $(TSAN_SUITES)
	@for suite in $(TSAN_SUITES); do \
	  echo "tsan: $$suite"; \
	  TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" \
	    $(TSAN_DIR)/bin/$$suite --gtest_brief=1 || exit 1; \
	done

# The C host test and the example scenario under valgrind memcheck: no
# errors, no definite leaks.
memcheck: deps
	@[ -f $(RELEASE_DIR)/build.ninja ] || cmake -S . -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target runtime_c_host orvo
	$(VALGRIND) $(RELEASE_DIR)/bin/runtime_c_host
	$(VALGRIND) $(RELEASE_DIR)/bin/orvo run --scenario models/pregnancy/scenarios/example.scenario \
	    --out $(RELEASE_DIR)/memcheck.csv --summary

# BM_PopulationRuns needs a population's runs.csv: bench_population.sh runs it.
bench: release
	$(RELEASE_DIR)/bin/orvo-bench --benchmark_filter=-PopulationRuns
	sh scripts/bench_population.sh $(RELEASE_DIR)/bin/orvo models/pregnancy/scenarios/population.scenario 1000 \
	    $(RELEASE_DIR)/bin/orvo-bench
	sh bench/calibrate.sh $(RELEASE_DIR)/bin/orvo $(RELEASE_DIR)/lib

clean:
	rm -rf build
