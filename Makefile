# Entry points: make build | make test | make demo | make bench
BUILD ?= build
JOBS  ?= 2

.PHONY: all deps build test demo bench clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	scripts/test-env.sh ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 300

demo: build
	scripts/demo.sh $(BUILD)

bench: build
	@scripts/install-deps.sh --bench
	scripts/test-env.sh bench/run.sh $(BUILD)
	scripts/test-env.sh bench/startup.sh $(BUILD)

clean:
	rm -rf $(BUILD)
