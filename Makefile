# Front door: every target first installs missing system packages, then configures and builds.
BUILD  ?= build
JOBS   ?= $(shell nproc)
TYPE   ?= RelWithDebInfo
CMAKE_EXTRA ?=

.PHONY: all deps configure build run test bench fuzz install package clean

all: build

deps:
	@./tools/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(TYPE) $(CMAKE_EXTRA) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/app/vxpiano

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

bench: build
	cd $(BUILD) && ./bench/vxbench

clean:
	rm -rf build build-*
