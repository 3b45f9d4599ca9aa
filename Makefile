# The two commands of the README: `make demo` and `make test`. Both install what is missing first.
BUILD ?= build
SANITIZED_BUILD ?= build-sanitized
# Seconds each fuzzer runs in `make test`, from a fixed seed so that the run is repeatable;
# `make fuzz FUZZ_SECONDS=3600 FUZZ_SEED=0` runs them longer from seeds of libFuzzer's choice.
FUZZ_SECONDS ?= 30
FUZZ_SEED ?= 1
JOBS := $(shell nproc)
# Compiler warnings are errors in CI.
CMAKE_ARGS += $(if $(CI),-DPLUMVANE_WERROR=ON,)
export CMAKE_ARGS

.PHONY: setup demo test sanitized fuzz bench clean

setup:
	BUILD_DIR=$(BUILD) MODELS=$(MODELS) scripts/setup

demo: setup
	scripts/demo $(BUILD)/plumvane out

test: setup sanitized fuzz
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The unit and end-to-end tests once more under AddressSanitizer and UndefinedBehaviorSanitizer,
# built with clang, which also builds the fuzzers.
sanitized: setup
	CC=clang CXX=clang++ cmake -S . -B $(SANITIZED_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPLUMVANE_SANITIZE=ON -DPLUMVANE_FUZZ=ON $(CMAKE_ARGS) >/dev/null
	cmake --build $(SANITIZED_BUILD) -j $(JOBS) -- --no-print-directory
	cd $(SANITIZED_BUILD) && ctest --output-on-failure -j $(JOBS) -L 'unit|e2e'

# The picture and video fuzzers, FUZZ_SECONDS each, from small valid files.
fuzz: sanitized
	scripts/fuzz $(SANITIZED_BUILD) $(FUZZ_SECONDS) $(FUZZ_SEED)

bench: setup
	$(BUILD)/plumvane_bench
	$(BUILD)/plumvane_cutout_bench $(BUILD)/plumvane testdata/astronaut.png
	bench/edge_bench.sh $(BUILD)
	bench/video_bench.sh $(BUILD)
	bench/people_bench.sh $(BUILD)
	$(BUILD)/plumvane_crowd_bench $(BUILD)/plumvane testdata
	bench/text_bench.sh $(BUILD)
	bench/poster_bench.sh $(BUILD)
	bench/real_posters.sh $(BUILD)
	bench/startup_bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(SANITIZED_BUILD) out
