# The commands of a fresh machine: `make run`, `make test` and `make demo`.
BUILD_DIR ?= build
JOBS ?= 2

.PHONY: setup build run test sanitize fuzz demo clean bench package browser-test

setup:
	./scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j$(JOBS)

run: build
	$(BUILD_DIR)/bin/tavro --service

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS) $(TEST_ARGS)

# The whole test suite built with AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer, in its own build directory; any report fails it.
SANITIZE_DIR ?= build-asan
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:fast_unwind_on_malloc=0 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitize: setup
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRO_SANITIZE=ON
	cmake --build $(SANITIZE_DIR) -j$(JOBS)
	$(SANITIZER_ENV) ctest --test-dir $(SANITIZE_DIR) --output-on-failure -j$(JOBS) $(SANITIZE_CTEST_ARGS)

# Each libFuzzer target for FUZZ_SECONDS, built with clang in its own
# build directory; fails on the first crash or broken property.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = http_request http_response alarm_page outputs_request command_session session_cookie
fuzz: setup
	./fuzz/setup.sh
	CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRO_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(FUZZ_DIR) -j$(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	./fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The simulated DVR, the service and tavro-central with the demo site, until Ctrl-C.
demo: build
	./tools/demo/demo.sh $(BUILD_DIR)

bench: build
	$(MAKE) -C bench BUILD_DIR=$(abspath $(BUILD_DIR))

# The browser tests, with Debian's chromium installed first when it is missing.
browser-test: build
	command -v chromium > /dev/null || { SUDO=; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
		$$SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y --no-install-recommends chromium; }
	ctest --test-dir $(BUILD_DIR) -R '^tools_browser(_tls)?$$' --output-on-failure

# The Debian package, into $(BUILD_DIR)/package/.
package: build
	cd $(BUILD_DIR) && cpack -B package

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR)
