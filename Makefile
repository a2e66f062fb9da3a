# The user's interface to the build: every target sets up what it needs.
#   make build   importable tree in $(BUILD)/lib
#   make test    every test
#   make run     the main job
#   make bench   the benchmarks
#   make wheel   the folder of wheels that installs offline, in dist/
#   make sdist   the sdist, in dist/
#   make asan    every test with the libraries under ASan and UBSan
#   make test-all  build and test every supported interpreter
#   make stubtest  the type stubs against the real modules
PYTHON ?= $(shell tools/find-python)
BUILD ?= build
CMAKE_FLAGS ?=
# ONLY="coffer configuration" builds just those modules (default: all).
ONLY ?=
empty :=
space := $(empty) $(empty)
TESTS ?= tests
PYDEPS := $(BUILD)/pydeps
TEST_PATH := $(BUILD)/lib:$(BUILD)/testlib:platform:$(PYDEPS)

.PHONY: all build deps test test-all stubtest asan run bench wheel sdist clean

all: build

deps:
	@tools/setup-deps "$(PYTHON)" "$(PYDEPS)"

build: deps
	cmake -S . -B $(BUILD)/cmake -DPython3_EXECUTABLE="$(PYTHON)" -DTESSEL_ONLY="$(subst $(space),;,$(strip $(ONLY)))" $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/cmake -j2
	mkdir -p $(BUILD)/lib/orvane/tessel
	cp -r python/orvane/tessel/. $(BUILD)/lib/orvane/tessel/

test: build
	PYTHONPATH=$(TEST_PATH) "$(PYTHON)" -m pytest -q $(TESTS) $(PYTEST_ARGS)

test-all:
	tools/test-all $(VERSIONS)

# mypy.stubtest with Debian's CPython 3.11 and mypy, on libraries built for it.
MODULES := coffer configuration tabulon frayle logic arbel sigil
STUBTEST_PYTHON ?= /usr/bin/python3.11
STUBTEST_BUILD ?= build-stubtest
stubtest:
	$(MAKE) build PYTHON=$(STUBTEST_PYTHON) BUILD=$(STUBTEST_BUILD)
	PYTHONPATH=$(STUBTEST_BUILD)/lib:platform $(STUBTEST_PYTHON) -m mypy.stubtest \
		--allowlist tests/typing/stubtest-allowlist.txt $(addprefix orvane.tessel.,$(MODULES))

# The libraries under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# whole suite run with them (see tools/asan-check).
ASAN_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
ASAN_BUILD ?= build-asan
# Tests that reach none of our native code: the command line (pure Python
# over the modules the other tests cover), the type checker, the packaging.
ASAN_SKIP ?= --ignore=tests/test_cli.py --ignore=tests/test_typing.py -m "not packaging"
asan:
	$(MAKE) build BUILD=$(ASAN_BUILD) CMAKE_FLAGS='-DTESSEL_EXTRA_FLAGS="$(ASAN_FLAGS)" $(CMAKE_FLAGS)'
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

bench: build
	PYTHONPATH=$(TEST_PATH) "$(PYTHON)" bench/run.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
