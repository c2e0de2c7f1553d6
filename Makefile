# ImgLift: make build | make run | make test | make bench | make format | make install | make uninstall
#          make deb | make deb-check
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
INSTALL_BUILD ?= build-install
DESTDIR ?=
DEB_BUILD ?= build-deb
# The clean system of `make deb-check` and the packages it downloads, kept between runs.
DEB_CACHE ?= $(BUILD)/deb-check

.PHONY: build run test bench format format-check deps deps-run configure clean install uninstall \
	deb deb-check

deps:
	scripts/install-deps.sh

deps-run:
	scripts/install-deps.sh --run

CONFIGURE = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(BUILD)/build.ninja:
	$(CONFIGURE)

configure: $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: deps-run
	$(MAKE) build
	$(BUILD)/imglift $(ARGS)

# Every test, under one X server for the tests that need one (the rest use Qt's offscreen platform).
test: deps
	$(MAKE) format-check
	@# Configured again: a build configured by `make run` before GoogleTest was there has no tests.
	$(CONFIGURE)
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

# imglift_<version>_<arch>.deb here, from a release build of its own in $(DEB_BUILD) with Debian's
# build flags (hardening included), stripped, its dependencies from dpkg-shlibdeps; lintian
# checks it, and any error or a warning that README's packaging section does not explain fails.
deb:
	scripts/install-deps.sh --deb
	cmake -S . -B $(DEB_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMGLIFT_TESTS=OFF \
	  -DIMGLIFT_BENCH=OFF -DIMGLIFT_NET_ASAN=OFF -DCMAKE_INSTALL_PREFIX=/usr \
	  -DCMAKE_C_FLAGS="$$(dpkg-buildflags --get CFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)"
	cmake --build $(DEB_BUILD) -j $(JOBS)
	rm -rf $(DEB_BUILD)/package imglift_*.deb
	cpack --config $(DEB_BUILD)/CPackConfig.cmake -B $(DEB_BUILD)/package
	cp $(DEB_BUILD)/package/imglift_*.deb .
	scripts/lintian-check.sh imglift_*.deb

# Installs the package on a clean Debian 12 in a temporary folder and runs it there (root only).
deb-check: deb
	scripts/install-deps.sh
	scripts/deb-check.sh imglift_*.deb $(DEB_CACHE)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# The tree stays formatted: a file that clang-format would change fails the test run.
format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(DEB_BUILD) imglift_*.deb
