# The two commands that matter: `make demo` and `make test`.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all bootstrap configure build test demo install bench clean

all: build

$(BUILD)/.bootstrapped: scripts/bootstrap
	bash scripts/bootstrap $(BUILD)/deps
	@touch $@

bootstrap: $(BUILD)/.bootstrapped

configure: bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure --timeout 600

demo: build
	bash scripts/demo $(BUILD)

install: build
	cmake --install $(BUILD)

bench: build
	bash scripts/bench $(BUILD)

clean:
	rm -rf $(BUILD)
