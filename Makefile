# Quillon — top-level commands. Every target installs what it needs first.
BUILD      ?= build
BUILD_SAN  ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
GENERATOR  := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
# ccache, when present, makes rebuilds in other checkouts of the tree cheap.
LAUNCHER   := $(shell command -v ccache >/dev/null 2>&1 && echo "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache")
export CCACHE_BASEDIR := $(CURDIR)

.PHONY: all deps configure build run test test-main test-sanitize fuzz-smoke bench fuzz package clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(GENERATOR) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run.sh $(BUILD)

test: test-main test-sanitize fuzz-smoke

test-main: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Every test again (the desktop application's included), built with AddressSanitizer
# and UndefinedBehaviorSanitizer.
test-sanitize: deps
	@cmake -S . -B $(BUILD_SAN) $(GENERATOR) $(LAUNCHER) -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=ON \
	  -DQUILLON_BUILD_BENCH=OFF -DQUILLON_BUILD_GUI=ON >/dev/null
	@cmake --build $(BUILD_SAN) -j $(JOBS)
	@cd $(BUILD_SAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) -LE nosan

# Every libFuzzer harness briefly (clang build in build-fuzz); skipped without clang.
fuzz-smoke: deps
	@JOBS=$(JOBS) bash scripts/fuzz-smoke.sh 20

# Every libFuzzer harness for FUZZ_SECONDS each (default 60), or until it has
# run FUZZ_RUNS inputs when that is set (long run: FUZZ_SECONDS=1800 FUZZ_RUNS=10000000).
FUZZ_SECONDS ?= 60
FUZZ_RUNS    ?=
fuzz: deps
	@JOBS=$(JOBS) FUZZ_RUNS=$(FUZZ_RUNS) bash scripts/fuzz-smoke.sh $(FUZZ_SECONDS)

bench: build
	@for b in $(BUILD)/bench/*; do \
	  [ -x "$$b" ] || continue; echo "== $$(basename $$b)"; "$$b" --benchmark_counters_tabular=true || exit 1; \
	done

# The Debian packages (quillon, quillon-tools, libdlmsprotocol1,
# libdlmsprotocol-dev) in packages/.
package: build
	@cd $(BUILD) && cpack -G DEB -B $(CURDIR)/packages
	@rm -rf $(CURDIR)/packages/_CPack_Packages
	@ls $(CURDIR)/packages/*.deb

clean:
	rm -rf $(BUILD) $(BUILD_SAN) packages
