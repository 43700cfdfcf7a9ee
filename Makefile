# Two commands do all set-up on a fresh Debian machine.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench soak clean

all: build

deps:
	@scripts/deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure

demo: build
	cmake --build $(BUILD) --target demo

bench: build
	scripts/run-bench.sh $(BUILD)

# The long soak (SOAK_S=seconds, SEED=n to replay).
SOAK_S ?= 600
soak: build
	cd $(BUILD)/bin && ../wine-run.sh drav_soak.exe $(SOAK_S)

clean:
	rm -rf $(BUILD)
