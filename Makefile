# The two commands of a fresh machine: `make run` and `make test`.
BUILD_DIR ?= build
JOBS ?= 2

.PHONY: setup build run test clean

setup:
	./scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j$(JOBS)

run: build
	$(BUILD_DIR)/bin/tavro --service

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD_DIR)
