# The two commands that matter: `make demo` and `make test`.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all bootstrap configure build test demo install bench quality clean test-asan test-tsan fuzz test-arm64

all: build

$(BUILD)/.bootstrapped: scripts/bootstrap
	bash scripts/bootstrap $(BUILD)/deps
	@touch $@

bootstrap: $(BUILD)/.bootstrapped

configure: bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# The approval page's browser test drives Debian's Chromium with playwright-core;
# without them (no npm registry reachable) that one test reports itself skipped.
$(BUILD)/.browser-tools: scripts/bootstrap-browser
	bash scripts/bootstrap-browser || \
	  echo "bootstrap: the browser test's tools could not be installed; that test will be skipped" >&2
	@touch $@

# The build is configured again once the browser tools are in, so that on a new
# machine the browser test is part of the run rather than left out.
test: build $(BUILD)/.browser-tools
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	cd $(BUILD) && ctest --output-on-failure --timeout 600

# Only what the demo runs: no tests, no benchmarks, no browser tools.
DEMO_TARGETS = talvane-render talvane-service talvane-make-clip talvane_demo_bundle
demo: configure
	cmake --build $(BUILD) -j$(JOBS) --target $(DEMO_TARGETS)
	bash scripts/demo $(BUILD)

install: build
	cmake --install $(BUILD)

bench: build
	bash scripts/bench $(BUILD)

# Synthetic shots with known truth through the bundle, Classic beside Refined.
quality: build
	bash scripts/quality $(BUILD)

# The whole suite under AddressSanitizer + UBSan, and under ThreadSanitizer,
# each in a build of its own (build-asan, build-tsan).
test-asan: bootstrap
	JOBS=$(JOBS) bash scripts/sanitize address

test-tsan: bootstrap
	JOBS=$(JOBS) bash scripts/sanitize thread

# Every libFuzzer target for FUZZ_SECONDS (default 30) each, built by clang in build-fuzz.
FUZZ_SECONDS ?= 30
fuzz: bootstrap
	JOBS=$(JOBS) FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/fuzz

# The imaging and render kernels and their tests cross-built for aarch64 and run
# under qemu-user, so the NEON paths are tested on this machine (build-arm64).
test-arm64: bootstrap
	bash scripts/test-arm64

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-arm64
