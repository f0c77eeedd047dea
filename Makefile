# Thin wrapper over CMake. `make run` builds the server alone and starts it in
# the current directory on port 9191; `make build` builds everything, tests
# included; `make test` builds everything and runs every test; `make bench`
# runs bench/run_bench.sh (BENCH_SECONDS and BENCH_QUERIES set its lengths).
BUILD    ?= build
SANBUILD ?= build-sanitize
FUZZBUILD ?= build-fuzz
FUZZ_SECONDS ?= 20
JOBS     ?= $(shell nproc 2>/dev/null || echo 4)
PORT     ?= 9191
HERE     := $(CURDIR)

.PHONY: all build run test test-sanitize fuzz bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target kyreldb_server
	$(HERE)/$(BUILD)/bin/kyreldb_server --port $(PORT)

test: build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure --no-tests=error

$(SANBUILD)/CMakeCache.txt:
	cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DKYREL_SANITIZE=ON

test-sanitize: $(SANBUILD)/CMakeCache.txt
	cmake --build $(SANBUILD) -j $(JOBS)
	cd $(SANBUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest -j $(JOBS) --output-on-failure --no-tests=error

# Builds the libFuzzer targets (clang, ASan, UBSan) in $(FUZZBUILD) and runs
# each for FUZZ_SECONDS; see tests/fuzz/run_fuzz.sh.
fuzz:
	$(HERE)/tests/fuzz/run_fuzz.sh $(FUZZBUILD) $(FUZZ_SECONDS)

bench: build
	$(HERE)/bench/run_bench.sh $(HERE)/$(BUILD)

clean:
	rm -rf $(BUILD) $(SANBUILD) $(FUZZBUILD)
