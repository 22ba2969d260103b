#!/usr/bin/env bash
# Builds the extension with a sanitizer through the project's meson build and runs pytest on it
# in the .venv interpreter (Debian's python3, not instrumented), with the sanitizer's runtime
# preloaded. The build directory comes first on the module path, ahead of the plain build
# installed in .venv; a check before the run makes sure the sanitized module is the one loaded.
#
# Usage: sanitized_pytest.sh address|address-leaks|thread OUTDIR [pytest arguments...]
#
# address: AddressSanitizer + UndefinedBehaviorSanitizer over the whole suite. The interpreter's
#   object allocator is switched off (PYTHONMALLOC=malloc) so that freed host objects are
#   poisoned too. LeakSanitizer runs at the test process's exit; a leak counts when its
#   allocation stack passes through the extension, while leaks wholly inside the interpreter
#   (objects it keeps until exit) are only counted and listed as ignored.
# address-leaks: the same, with allocation stacks taken by the slow unwinder. The interpreter
#   has no frame pointers, so only that one sees past its frames to ours: with the fast one, a
#   host object leaked by the extension looks like the interpreter's own. Several times slower,
#   so it is meant for the tests that exercise the binding's own objects.
# thread: ThreadSanitizer over the tests given.
set -euo pipefail
kind=$1
out=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
venv=${VENV:-$root/.venv}
python=$venv/bin/python
cxx=${CXX:-g++}
# The interpreter does not link the C++ runtime; a preloaded sanitizer must find its
# exception-throwing entry point at start-up, so libstdc++ is preloaded after it.
libstdcxx=$("$cxx" -print-file-name=libstdc++.so)

unwind=""
case "$kind" in
address-leaks)
    unwind="fast_unwind_on_malloc=0:malloc_context_size=30:"
    kind=address
    ;;
esac

case "$kind" in
address)
    # vptr checks are left out: they probe memory through a pipe, and some tests exhaust the
    # descriptor limit on purpose, which makes every such probe report a false error.
    sanitize=address,undefined
    flags="-fno-omit-frame-pointer -fno-sanitize=vptr -fno-sanitize-recover=undefined"
    preload="$("$cxx" -print-file-name=libasan.so) $libstdcxx"
    ;;
thread)
    sanitize=thread
    flags="-fno-omit-frame-pointer"
    preload="$("$cxx" -print-file-name=libtsan.so) $libstdcxx"
    ;;
*)
    echo "usage: $0 address|address-leaks|thread OUTDIR [pytest arguments...]" >&2
    exit 2
    ;;
esac

# meson's python module builds for the interpreter that runs meson: the venv's. A directory
# set up with other options is set up anew.
options="-Dpython_module=true -Dnative_tests=false -Dbenchmarks=false -Db_sanitize=$sanitize
 -Db_lundef=false -Doptimization=1 -Ddebug=true -Dcpp_args=$flags"
if [ "$(cat "$out/.cadrel-options" 2>/dev/null)" != "$python $options" ] ||
    [ ! -f "$out/build.ninja" ]; then
    rm -rf "$out"
    "$venv/bin/meson" setup "$out" -Dpython_module=true -Dnative_tests=false \
        -Dbenchmarks=false -Db_sanitize="$sanitize" -Db_lundef=false -Doptimization=1 \
        -Ddebug=true -Dcpp_args="$flags" >/dev/null
    printf '%s' "$python $options" >"$out/.cadrel-options"
fi
NINJA=$venv/bin/ninja "$venv/bin/meson" compile -C "$out" >/dev/null
out=$(cd "$out" && pwd)
# An importable tree as the wheel lays it out: cadrel beside the cadrelio package, whose
# native core sits inside it.
site=$out/site
rm -rf "$site" && mkdir -p "$site/cadrelio"
ln -s "$out"/cadrel.*.so "$site/"
ln -s "$out"/_native.*.so "$site/cadrelio/"
cp "$root"/python/cadrelio/* "$site/cadrelio/"
LD_PRELOAD=$preload ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$site" "$python" -c "
import sys, cadrel, cadrelio, cadrelio._native
for module in (cadrel, cadrelio, cadrelio._native):
    if not module.__file__.startswith('$site/'):
        sys.exit('sanitized_pytest: ' + module.__name__ + ' was loaded from ' + module.__file__ + ', not from $site')
cadrel.CadrelLoop()
cadrelio.new_event_loop().close()"
out=$site

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
rc=0
if [ "$kind" = address ]; then
    # Errors abort (abort_on_error); leaks alone leave the exit status to the report check
    # below (exitcode=0). A small quarantine still catches use after free while keeping the
    # suite's memory-growth checks meaningful (the default 256 MiB quarantine looks like growth).
    LD_PRELOAD=$preload PYTHONMALLOC=malloc PYTHONPATH="$out${PYTHONPATH:+:$PYTHONPATH}" \
    ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:exitcode=0:quarantine_size_mb=16:${unwind}log_path=$logs/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        "$python" -m pytest -p no:cacheprovider "$@" || rc=$?
else
    # The reports decide here too (exitcode=0): Python 3.13 (3.13.5 on Debian 13) leaves its threads
    # unjoined at exit, which ThreadSanitizer reports as leaks (and would turn into exit status
    # 66 of every test program that exits with a daemon thread); the report check tells those
    # from a thread of ours. A race still stops the process (halt_on_error) and fails the run.
    LD_PRELOAD=$preload PYTHONPATH="$out${PYTHONPATH:+:$PYTHONPATH}" \
    TSAN_OPTIONS="halt_on_error=1:exitcode=0:second_deadlock_stack=1:history_size=7:suppressions=$root/scripts/tsan-python.supp:log_path=$logs/tsan" \
        "$python" -m pytest -p no:cacheprovider "$@" || rc=$?
fi

"$python" "$root/scripts/sanitizer_reports.py" "$logs" || rc=1
exit "$rc"
