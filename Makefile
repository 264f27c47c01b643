# Front door for a fresh Debian machine: `make demo` and `make test`.
BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifeq ($(SKELV_WERROR),ON)
CMAKE_FLAGS += -DSKELV_WERROR=ON
endif

.PHONY: all deps build demo test bench clean

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

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DSKELV_BUILD_TESTS=OFF -DSKELV_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS)
	for b in build-bench/bench/*_bench; do $$b; done

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) build-bench demo
