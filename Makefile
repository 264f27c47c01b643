# Front door for a fresh Debian machine: `make demo` and `make test`.
BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
FUZZ_BUILD_DIR ?= build-fuzz
CROSS_BUILD_DIR ?= build-aarch64
FUZZ_SECONDS ?= 6
FUZZERS = layout_fuzzer frame_code_fuzzer video_structure_fuzzer tone_detector_fuzzer beep_detector_fuzzer
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifeq ($(SKELV_WERROR),ON)
CMAKE_FLAGS += -DSKELV_WERROR=ON
endif

.PHONY: all deps build demo test test-asan cross-aarch64 fuzz bench clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

demo: build
	./scripts/demo.sh $(BUILD_DIR)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, but for the tests
# labelled slow (long signals and big clips, which the plain run covers), which are not even
# built. GStreamer's plugin registry is scanned first by an uninstrumented tool, so that no
# sanitized process does it.
# Line tables are all a sanitizer's report needs, and -O1 keeps its stacks whole: both also
# shorten the build.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKELV_SANITIZE=ON -DSKELV_SLOW_TESTS=OFF \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	gst-inspect-1.0 > /dev/null
	cd $(ASAN_BUILD_DIR) && ctest --output-on-failure -j $(JOBS) -LE slow

# The pure libraries and their unit tests cross-compiled for 64-bit ARM, where only the
# portable paths exist; the tests run under qemu-user, but for those labelled slow (not
# built). No debug information: nothing is debugged there, and it is most of the build's time.
cross-aarch64: deps
	cmake -S . -B $(CROSS_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKELV_PURE_ONLY=ON -DSKELV_SLOW_TESTS=OFF \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake $(CMAKE_FLAGS)
	cmake --build $(CROSS_BUILD_DIR) -j $(JOBS)
	cd $(CROSS_BUILD_DIR) && ctest --output-on-failure -j $(JOBS) -LE slow

# Each fuzz target for FUZZ_SECONDS, growing its corpus in the build directory.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DSKELV_BUILD_TESTS=OFF -DSKELV_BUILD_FUZZERS=ON
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target fuzzers
	for f in $(FUZZERS); do \
	  mkdir -p $(FUZZ_BUILD_DIR)/corpus/$$f && \
	  $(FUZZ_BUILD_DIR)/fuzz/$$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD_DIR)/$$f- $(FUZZ_BUILD_DIR)/corpus/$$f || exit 1; \
	done

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DSKELV_BUILD_TESTS=OFF -DSKELV_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS)
	for b in build-bench/bench/*_bench; do $$b; done

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(FUZZ_BUILD_DIR) $(CROSS_BUILD_DIR) build-bench demo
