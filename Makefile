# The user's interface to the build: every target sets up what it needs.
#   make build   importable tree in $(BUILD)/lib
#   make test    every test
#   make run     the main job
#   make bench   the benchmarks
PYTHON ?= $(shell tools/find-python)
BUILD ?= build
CMAKE_FLAGS ?=
TESTS ?= tests
PYDEPS := $(BUILD)/pydeps
TEST_PATH := $(BUILD)/lib:$(BUILD)/testlib:platform:$(PYDEPS)

.PHONY: all build deps test run bench clean

all: build

deps:
	@tools/setup-deps "$(PYTHON)" "$(PYDEPS)"

build: deps
	cmake -S . -B $(BUILD)/cmake -DPython3_EXECUTABLE="$(PYTHON)" $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/cmake -j2
	mkdir -p $(BUILD)/lib/orvane/tessel
	cp -r python/orvane/tessel/. $(BUILD)/lib/orvane/tessel/

test: build
	PYTHONPATH=$(TEST_PATH) "$(PYTHON)" -m pytest -q $(TESTS) $(PYTEST_ARGS)

run: build
	PYTHONPATH=$(TEST_PATH) "$(PYTHON)" examples/demo.py

bench: build
	PYTHONPATH=$(TEST_PATH) "$(PYTHON)" bench/run.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
