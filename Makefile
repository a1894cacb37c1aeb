# Front door: every target first installs the system packages it needs that are missing
# (tools/packages/*.txt), then configures and builds. run, build, install and package need only
# what the program needs; test, bench and fuzz add their own lists.
BUILD  ?= build
JOBS   ?= $(shell nproc)
TYPE   ?= RelWithDebInfo
CMAKE_EXTRA ?=
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?=
DEPS   ?= build

.PHONY: all deps configure build run test test-asan test-tsan bench fuzz install package clean

all: build

deps:
	@./tools/install-deps.sh $(DEPS)

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(TYPE) $(if $(PREFIX),-DCMAKE_INSTALL_PREFIX=$(PREFIX)) $(CMAKE_EXTRA) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/app/vxpiano

# Target-specific: the lists reach the deps prerequisite too.
test: DEPS = build test
test: build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j$(JOBS)

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, or ThreadSanitizer.
test-asan:
	@$(MAKE) --no-print-directory test BUILD=build-asan CMAKE_EXTRA="-DVX_SANITIZE=address"

test-tsan:
	@$(MAKE) --no-print-directory test BUILD=build-tsan CMAKE_EXTRA="-DVX_SANITIZE=thread"

bench: DEPS = build test bench
bench: build
	cd $(BUILD) && ./bench/vxbench

# libFuzzer targets in their own clang build; each runs FUZZ_SECONDS (or FUZZ_RUNS executions,
# whichever ends first) in a single process.
fuzz: DEPS = build fuzz
fuzz: deps
	@cmake -S tests/fuzz -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=$(TYPE) \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS)
	@./tools/run_fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_RUNS)

# The program has its data directory compiled in, so PREFIX is set when configuring;
# DESTDIR (for staging) only moves the files.
install: PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

# Debian packages installing into /usr: $(BUILD)/vxpiano_VERSION_ARCH.deb (the program) and
# $(BUILD)/libvxgfx-dev_VERSION_ARCH.deb (the graphics library for other programs).
package: PREFIX ?= /usr
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf build build-*
