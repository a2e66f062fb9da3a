# The user's interface to the build: every target sets up what it needs.
#   make build   importable tree in $(BUILD)/lib
#   make test    every test
#   make run     the main job
#   make bench   the benchmarks (COUNT=instructions: instructions per
#                operation, counted by callgrind, instead of times)
#   make wheel   the folder of wheels that installs offline, in dist/
#   make sdist   the sdist, in dist/
#   make debug   every test on the debug build (build-checks/): -O1 -g, and the
#                frame checks its invariants as it runs (TESSEL_CHECKS)
#   make asan    every test on the debug build under ASan and UBSan
#   make test-all  build and test every supported interpreter
#   make stubtest  the type stubs against the real modules
#   make diff    random programs on this build and on the one without fast
#                paths ($(BUILD)-nofast), which must print the same
# FAST_PATHS=off (with build, test, debug, asan, ...) compiles the fast paths
# out, so that every operation takes its plain route; those builds go to
# folders of their own (build-nofast, ...), beside the others.
PYTHON ?= $(shell tools/find-python)
FAST_PATHS ?= on
ifeq ($(filter on off,$(FAST_PATHS)),)
$(error FAST_PATHS is on or off, not "$(FAST_PATHS)")
endif
NOFAST := $(if $(filter off,$(FAST_PATHS)),-nofast)
BUILD ?= build$(NOFAST)
# The debug build's switches; `make debug` and `make asan` set them.
CHECKS ?= off
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=
# ONLY="coffer configuration" builds just those modules (default: all).
ONLY ?=
empty :=
space := $(empty) $(empty)
TESTS ?= tests
PYDEPS := $(BUILD)/pydeps
TEST_PATH := $(BUILD)/lib:$(BUILD)/testlib:platform:$(PYDEPS)

.PHONY: all build deps test test-all stubtest diff debug asan run bench wheel sdist clean

all: build

deps:
	@tools/setup-deps "$(PYTHON)" "$(PYDEPS)"

build: deps
	cmake -S . -B $(BUILD)/cmake -DPython3_EXECUTABLE="$(PYTHON)" -DTESSEL_ONLY="$(subst $(space),;,$(strip $(ONLY)))" \
		-DTESSEL_FAST_PATHS=$(FAST_PATHS) -DTESSEL_CHECKS=$(CHECKS) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/cmake -j2
	mkdir -p $(BUILD)/lib/orvane/tessel
	cp -r python/orvane/tessel/. $(BUILD)/lib/orvane/tessel/

test: build
	PYTHONPATH=$(TEST_PATH) "$(PYTHON)" -m pytest -q $(TESTS) $(PYTEST_ARGS)

test-all:
	tools/test-all $(VERSIONS)

# mypy.stubtest with Debian's CPython 3.11 and mypy, on libraries built for it.
MODULES := $(shell sed -e '/^[[:space:]]*\#/d' modules.txt)
STUBTEST_PYTHON ?= /usr/bin/python3.11
STUBTEST_BUILD ?= build-stubtest$(NOFAST)
stubtest:
	$(MAKE) build PYTHON=$(STUBTEST_PYTHON) BUILD=$(STUBTEST_BUILD)
	PYTHONPATH=$(STUBTEST_BUILD)/lib:platform $(STUBTEST_PYTHON) -m mypy.stubtest \
		--allowlist tests/typing/stubtest-allowlist.txt $(addprefix orvane.tessel.,$(MODULES))

# The differential fuzzer (tests/differential): each random program runs on
# both builds and must print the same; TESSEL_DIFF_SECONDS is its time budget
# (default 90), TESSEL_DIFF_SEED reruns a base seed, DIFF_ARGS adds options.
DIFF_PLAIN ?= $(BUILD)-nofast
diff:
	$(MAKE) build FAST_PATHS=on BUILD=$(BUILD)
	$(MAKE) build FAST_PATHS=off BUILD=$(DIFF_PLAIN)
	"$(PYTHON)" tests/differential/driver.py --python "$(PYTHON)" --fast $(BUILD) --plain $(DIFF_PLAIN) $(DIFF_ARGS)

# The debug build and the whole suite on it.
DEBUG_BUILD ?= build-checks$(NOFAST)
debug:
	$(MAKE) test BUILD=$(DEBUG_BUILD) CHECKS=on BUILD_TYPE=Debug

# The debug build under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# whole suite run with them (see tools/asan-check).
ASAN_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
ASAN_BUILD ?= build-asan$(NOFAST)
# Tests that reach none of our native code: the command line (pure Python
# over the modules the other tests cover), the type checker, the packaging.
ASAN_SKIP ?= --ignore=tests/test_cli.py --ignore=tests/test_typing.py -m "not packaging"
asan:
	$(MAKE) build BUILD=$(ASAN_BUILD) CHECKS=on BUILD_TYPE=Debug CMAKE_FLAGS='-DTESSEL_EXTRA_FLAGS="$(ASAN_FLAGS)" $(CMAKE_FLAGS)'
	tools/asan-check "$(PYTHON)" $(ASAN_BUILD) $(ASAN_BUILD)/lib:$(ASAN_BUILD)/testlib:platform:$(ASAN_BUILD)/pydeps $(TESTS) $(ASAN_SKIP) $(PYTEST_ARGS)

# The build speaks only when it fails; RUN_ARGS replaces --example.
run:
	@mkdir -p $(BUILD)
	@$(MAKE) --no-print-directory build >$(BUILD)/run-build.log 2>&1 || { cat $(BUILD)/run-build.log; exit 1; }
	@PYTHONPATH=$(TEST_PATH) "$(PYTHON)" -m orvane.tessel $(if $(RUN_ARGS),$(RUN_ARGS),--example)

# Both through the build backend that pip uses (tools/backend); the wheel
# keeps its CMake tree in $(BUILD)/wheel for incremental rebuilds.
wheel: deps
	"$(PYTHON)" tools/build_wheel.py --build-dir $(BUILD)/wheel dist

sdist:
	"$(PYTHON)" tools/build_wheel.py --sdist dist

# COUNT=instructions counts instructions per operation under valgrind's
# callgrind instead of timing; those figures decide the goals.
COUNT ?= time
bench: build
	PYTHONPATH=$(TEST_PATH) "$(PYTHON)" bench/run.py --count=$(COUNT) $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
