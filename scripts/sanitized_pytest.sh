#!/usr/bin/env bash
# Builds the extension with a sanitizer and runs pytest on it in Debian's interpreter, with the
# sanitizer's runtime preloaded (the interpreter itself is not instrumented).
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
python=${PYTHON:-/usr/bin/python3}
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
    flags="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=undefined"
    preload="$("$cxx" -print-file-name=libasan.so) $libstdcxx"
    ;;
thread)
    flags="-O1 -g -fno-omit-frame-pointer -fsanitize=thread"
    preload="$("$cxx" -print-file-name=libtsan.so) $libstdcxx"
    ;;
*)
    echo "usage: $0 address|address-leaks|thread OUTDIR [pytest arguments...]" >&2
    exit 2
    ;;
esac

OPT_FLAGS=$flags PRELOAD=$preload "$root/scripts/build_for_python.sh" "$python" "$out" >/dev/null
OPT_FLAGS=$flags PRELOAD=$preload "$root/scripts/build_cadrelio_for_python.sh" "$python" "$out" >/dev/null

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
    LD_PRELOAD=$preload PYTHONPATH="$out${PYTHONPATH:+:$PYTHONPATH}" \
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=7:suppressions=$root/scripts/tsan-python.supp:log_path=$logs/tsan" \
        "$python" -m pytest -p no:cacheprovider "$@" || rc=$?
fi

"$python" "$root/scripts/sanitizer_reports.py" "$logs" || rc=1
exit "$rc"
