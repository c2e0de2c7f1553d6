# ImgLift: make build | make run | make test | make bench | make format
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: build run test bench format format-check deps deps-run configure clean

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

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# The tree stays formatted: a file that clang-format would change fails the test run.
format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD)
