# The commands of a fresh machine: `make run`, `make test` and `make demo`.
BUILD_DIR ?= build
JOBS ?= 2

.PHONY: setup build run test demo clean bench

setup:
	./scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j$(JOBS)

run: build
	$(BUILD_DIR)/bin/tavro --service

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

# The simulated DVR, the service and tavro-central with the demo site, until Ctrl-C.
demo: build
	./tools/demo/demo.sh $(BUILD_DIR)

bench: build
	$(MAKE) -C bench BUILD_DIR=$(abspath $(BUILD_DIR))

clean:
	rm -rf $(BUILD_DIR)
