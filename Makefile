# ImgLift: make build | make run | make test | make bench | make format | make install | make uninstall
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
INSTALL_BUILD ?= build-install
DESTDIR ?=

.PHONY: build run test bench format format-check deps deps-run configure clean install uninstall

deps:
	scripts/install-deps.sh

deps-run:
	scripts/install-deps.sh --run

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: deps-run
	$(MAKE) build
	$(BUILD)/imglift $(ARGS)

# Every test, under one X server for the tests that need one (the rest use Qt's offscreen platform).
test: deps
	$(MAKE) format-check
	$(MAKE) build
	scripts/run-tests.sh $(BUILD)

bench: deps
	$(MAKE) build
	@for s in bench/*.sh; do [ -x "$$s" ] && "$$s" $(BUILD) || true; done

# Installs under $(DESTDIR)$(PREFIX) from a release build of its own (no tests, no benchmarks),
# in $(INSTALL_BUILD), which keeps the list of installed files for `make uninstall`.
install: deps-run
	@grep -qsx 'CMAKE_INSTALL_PREFIX:PATH=$(PREFIX)' $(INSTALL_BUILD)/CMakeCache.txt || \
	  cmake -S . -B $(INSTALL_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DIMGLIFT_TESTS=OFF -DIMGLIFT_BENCH=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(INSTALL_BUILD) -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(INSTALL_BUILD)
	@[ -n "$(DESTDIR)" ] || ! command -v update-desktop-database >/dev/null || \
	  update-desktop-database -q $(PREFIX)/share/applications

# Removes what the last `make install` put in place (give the same DESTDIR), then the program's
# folders that are left empty.
uninstall:
	@test -f $(INSTALL_BUILD)/install_manifest.txt || { echo "Nothing installed from $(INSTALL_BUILD)"; exit 1; }
	DESTDIR="$(DESTDIR)" scripts/uninstall.sh $(INSTALL_BUILD)/install_manifest.txt
	@[ -n "$(DESTDIR)" ] || ! command -v update-desktop-database >/dev/null || \
	  update-desktop-database -q $(PREFIX)/share/applications

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# The tree stays formatted: a file that clang-format would change fails the test run.
format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD)
