# Two commands do all set-up on a fresh Debian machine.
BUILD ?= build
JOBS ?= $(shell nproc)
FUZZ_S ?= 60

.PHONY: all deps configure build test demo demo-driver bench fuzz soak clean

all: build

deps:
	@scripts/deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	@scripts/test-ratio.sh
	cd $(BUILD) && ctest --output-on-failure

demo: build
	cmake --build $(BUILD) --target demo

# The demo's story with the production DLL against the kernel test driver.
demo-driver: build
	scripts/driver-lane.sh $(BUILD) $(BUILD)/bin/drav_host.exe --driver

bench: build
	scripts/run-bench.sh $(BUILD)

# Each fuzz target for FUZZ_S seconds, natively under the sanitizers.
fuzz: deps
	scripts/fuzz.sh $(BUILD)/fuzz $(FUZZ_S)

# The long soak (SOAK_S=seconds, SEED=n to replay).
SOAK_S ?= 600
soak: build
	cd $(BUILD)/bin && ../wine-run.sh drav_soak.exe $(SOAK_S)

clean:
	rm -rf $(BUILD)
