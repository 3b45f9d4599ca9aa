# The two commands of the README: `make demo` and `make test`. Both install what is missing first.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS := $(shell nproc)
# Compiler warnings are errors in CI.
CMAKE_ARGS += $(if $(CI),-DPLUMVANE_WERROR=ON,)
export CMAKE_ARGS

.PHONY: setup demo test unit-sanitized bench clean

setup:
	BUILD_DIR=$(BUILD) MODELS=$(MODELS) scripts/setup

demo: setup
	scripts/demo $(BUILD)/plumvane out

test: setup unit-sanitized
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The unit tests once more under AddressSanitizer and UndefinedBehaviorSanitizer.
unit-sanitized: setup
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPLUMVANE_SANITIZE=ON $(CMAKE_ARGS) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target plumvane_unit_tests
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS) -L unit

bench: setup
	$(BUILD)/plumvane_bench
	$(BUILD)/plumvane_cutout_bench $(BUILD)/plumvane testdata/astronaut.png
	bench/video_bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) out
