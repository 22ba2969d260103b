# Set-up, build and test entry points for cadrel; each target installs what it needs first.

PYTHON ?= /usr/bin/python3
export PYTHON

VENV := .venv
SETUP := scripts/setup.sh

# meson and ninja are PyPI's, pinned in requirements/build.txt and installed into $(VENV) by
# `setup.sh tools`: the same versions on Debian 12 and 13. meson finds ninja through NINJA.
MESON := $(CURDIR)/$(VENV)/bin/meson
export NINJA := $(CURDIR)/$(VENV)/bin/ninja

NATIVE_OPTS := -Dpython_module=false -Dnative_tests=true -Dbenchmarks=false
ASAN_OPTS := $(NATIVE_OPTS) -Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debugoptimized
TSAN_OPTS := $(NATIVE_OPTS) -Db_sanitize=thread -Db_lundef=false -Dbuildtype=debugoptimized
BENCH_OPTS := -Dpython_module=false -Dnative_tests=false -Dbenchmarks=true

# Sanitized code is several times slower: the tests' own timeouts assume a plain build, and
# one test at a time keeps the timing-bound tests from starving each other on few cores.
SANITIZER_TEST_FLAGS := --print-errorlogs --timeout-multiplier 2 --num-processes 1

# $(call configure,DIR,OPTIONS): leaves DIR configured with exactly OPTIONS. A directory
# set up with other options is wiped rather than reconfigured, since --reconfigure would
# keep options from its earlier life (and a directory set up by another meson is wiped too). Source changes need nothing here: ninja reruns meson.
define configure
	@if [ "$$(cat $(1)/.cadrel-options 2>/dev/null)" != "$(MESON) $(2)" ] || \
	    [ ! -f $(1)/build.ninja ]; then \
	    rm -rf $(1) && $(MESON) setup $(1) $(2) && \
	    echo '$(MESON) $(2)' >$(1)/.cadrel-options; \
	fi
endef

.PHONY: all demo test conformance test-native test-python test-other-pythons soak \
        sanitize sanitize-address sanitize-thread sanitize-python-address sanitize-python-thread \
        compile-free-threaded test-aarch64 python3.14 test-debug-python bench bench-native setup tools \
        packages clean

all: test

setup:
	@$(SETUP) venv

tools:
	@$(SETUP) tools

packages:
	@$(SETUP) packages

demo: setup
	$(VENV)/bin/python demo/demo.py
	$(VENV)/bin/python demo/cadrelio_demo.py

# Every suite runs even when an earlier one fails (or cadrel fails to build), so one run
# shows every failure.
test:
	@rc=0; \
	$(MAKE) --no-print-directory test-native || rc=1; \
	$(MAKE) --no-print-directory test-python || rc=1; \
	$(MAKE) --no-print-directory test-other-pythons || rc=1; \
	exit $$rc

test-native: tools
	$(call configure,build-native,$(NATIVE_OPTS))
	$(MESON) test -C build-native --print-errorlogs

# pytest exits 5 when it collected nothing; that is a broken suite, not a pass.
test-python: setup
	@rc=0; $(VENV)/bin/python -m pytest tests/python || rc=$$?; \
	if [ $$rc -eq 5 ]; then echo 'test-python: pytest collected no tests' >&2; rc=1; fi; \
	exit $$rc

# The pytest suite on the CPython versions from 3.11 to 3.14 other than PYTHON's,
# each in its own .venv-X.Y; a version this machine lacks is reported as SKIPPED.
test-other-pythons: tools
	scripts/test_other_pythons.sh tests/python

# CPython 3.14 from Debian's unstable suite, unpacked into .python3.14 (nothing installed).
python3.14: tools
	@scripts/prepare_python3.14.sh .python3.14 >/dev/null

# The pytest suite and CPython's asyncio tests on Debian's debug build of CPython 3.14, unpacked
# into .python3.14-dbg: the C API's assertions check every call the extension makes, and the
# leak tests count references too. aiohttp's stack comes as wheels built for the release
# interpreter, whose compiled parts are not fit to load here: their pure-Python versions run.
DEBUG_VENV := .venv-debug
NO_RELEASE_EXTENSIONS := AIOHTTP_NO_EXTENSIONS=1 MULTIDICT_NO_EXTENSIONS=1 YARL_NO_EXTENSIONS=1 \
    PROPCACHE_NO_EXTENSIONS=1 FROZENLIST_NO_EXTENSIONS=1
test-debug-python: tools
	@python=$$(scripts/prepare_python3.14.sh .python3.14-dbg debug) && \
	PYTHON=$$python VENV=$(DEBUG_VENV) $(SETUP) venv && \
	rc=0 && $(NO_RELEASE_EXTENSIONS) $(DEBUG_VENV)/bin/python -m pytest -p no:cacheprovider tests/python || rc=$$?; \
	if [ $$rc -eq 5 ]; then echo 'test-debug-python: pytest collected no tests' >&2; rc=1; fi; \
	$(DEBUG_VENV)/bin/python scripts/conformance.py --require 95 || rc=1; \
	$(DEBUG_VENV)/bin/python scripts/conformance.py --transports --require 95 || rc=1; \
	exit $$rc

# Every extension source compiled as for a free-threaded interpreter (Py_GIL_DISABLED),
# warnings as errors, against 3.14's headers.
compile-free-threaded: python3.14
	scripts/compile_free_threaded.sh build-free-threaded

# The runtime and its native tests cross-compiled for 64-bit Arm and run under qemu-aarch64.
# Emulation is several times slower, hence the longer timeouts and one test at a time.
AARCH64_OPTS := $(NATIVE_OPTS) --cross-file cross/aarch64-linux-gnu.ini
test-aarch64: tools
	@$(SETUP) cross-packages
	scripts/build_gtest_cross.sh aarch64-linux-gnu-g++ build-gtest-aarch64
	$(call configure,build-aarch64,$(AARCH64_OPTS))
	$(MESON) test -C build-aarch64 --print-errorlogs --timeout-multiplier 3 --num-processes 1

# Long load tests, left out of `make test`; each prints its throughput and peak memory.
# CPython's own asyncio tests on cadrelio.Loop, on every interpreter that has a venv (the
# default one, and those `make test` prepared): a pass table per module, failing below 95%;
# the transport modules (servers, streams, TLS, sendfile, subprocesses, Unix endpoints) likewise.
conformance: setup
	@rc=0; for venv in $(VENV) $$(ls -d $(VENV)-3.* 2>/dev/null); do \
	    echo "=== conformance: $$venv"; \
	    $$venv/bin/python scripts/conformance.py --require 95 || rc=1; \
	    $$venv/bin/python scripts/conformance.py --transports --require 95 || rc=1; \
	done; exit $$rc

soak: setup
	$(VENV)/bin/python -m pytest tests/python -m soak -s

sanitize:
	@rc=0; \
	$(MAKE) --no-print-directory sanitize-address || rc=1; \
	$(MAKE) --no-print-directory sanitize-thread || rc=1; \
	$(MAKE) --no-print-directory sanitize-python-address || rc=1; \
	$(MAKE) --no-print-directory sanitize-python-thread || rc=1; \
	exit $$rc

sanitize-address: tools
	$(call configure,build-asan,$(ASAN_OPTS))
	ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	$(MESON) test -C build-asan $(SANITIZER_TEST_FLAGS)

sanitize-thread: tools
	$(call configure,build-tsan,$(TSAN_OPTS))
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	$(MESON) test -C build-tsan $(SANITIZER_TEST_FLAGS)

# The whole pytest suite against an AddressSanitizer+UBSan build of the extension, then the
# tests of the binding's own host objects again with full allocation stacks for leak checking.
LEAK_CHECKED_TESTS := $(addprefix tests/python/,test_module.py test_class.py \
    test_argument_matching.py test_conversions.py test_loop_state.py test_messages.py)

sanitize-python-address: setup
	@rc=0; \
	scripts/sanitized_pytest.sh address build-py-asan tests/python || rc=1; \
	scripts/sanitized_pytest.sh address-leaks build-py-asan $(LEAK_CHECKED_TESTS) || rc=1; \
	exit $$rc

# The pytest suite against a ThreadSanitizer build. Fork tests are left out: TSan cannot
# start threads in the child of a multi-threaded fork, and its runtime may hang such a child
# (the AddressSanitizer run covers them).
TSAN_LEFT_OUT := --ignore tests/python/test_fork.py \
    --deselect tests/python/test_worker_isolation.py::test_a_child_forked_while_workers_release_references_does_not_hang
sanitize-python-thread: setup
	scripts/sanitized_pytest.sh thread build-py-tsan tests/python $(TSAN_LEFT_OUT)

# asyncio's loop, PyPI's uvloop (pinned in requirements/bench.txt) and CadrelLoop in one run.
BENCH_ARGS ?= --repeats 5
bench:
	@$(SETUP) bench
	$(VENV)/bin/python bench/loop_bench.py $(BENCH_ARGS)

bench-native: tools
	$(call configure,build-bench,$(BENCH_OPTS))
	$(MESON) compile -C build-bench
	./build-bench/bench_channel
	./build-bench/bench_timers

clean:
	rm -rf build-native build-asan build-tsan build-bench build-echo-load build-py-asan build-py-tsan \
	       build-free-threaded build-aarch64 build-gtest-aarch64 \
	       $(VENV) .venv-3.* .python3.14 $(DEBUG_VENV) .python3.14-dbg
