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
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(TYPE) $(if $(PREFIX),-DCMAKE_INSTALL_PREFIX=$(PREFIX)) $(CMAKE_EXTRA) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/app/vxpiano

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

bench: build
	cd $(BUILD) && ./bench/vxbench

# The program has its data directory compiled in, so PREFIX is set when configuring;
# DESTDIR (for staging) only moves the files.
install: PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

# A Debian package installs into /usr: $(BUILD)/vxpiano_VERSION_ARCH.deb.
package: PREFIX ?= /usr
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf build build-*
