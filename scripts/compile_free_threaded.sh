#!/usr/bin/env bash
# Compiles every source of the extension against CPython 3.14's headers as a free-threaded
# build would (Py_GIL_DISABLED defined), with the project's warnings as errors, so that the
# free-threaded paths at least build while no free-threaded interpreter runs the suite here.
#
# Usage: compile_free_threaded.sh OUTDIR
#   PYTHON314  a CPython 3.14 to take the headers from (default: prepared in .python3.14)
#   CXX        the compiler (default g++)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$1
python=${PYTHON314:-$("$root/scripts/prepare_python3.14.sh" "$root/.python3.14")}
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
mkdir -p "$out"
rm -f "$out"/*.o

# The flags meson gives the extension (warning_level=3, werror, C++20, release), plus the
# define that a free-threaded interpreter's pyconfig.h carries.
flags=(-std=c++20 -O3 -DNDEBUG -fPIC -fvisibility=hidden -pthread
       -Wall -Wextra -Wpedantic -Werror -Wno-maybe-uninitialized
       -DPy_GIL_DISABLED=1 -I"$root/src" -I"$include")
echo "free-threaded compile: ${CXX:-g++} ${flags[*]}"
printf '%s\n' "$root"/src/*/*.cpp |
    xargs -P "$(nproc)" -I{} sh -c '
        source=$1; out=$2; shift 2
        object="$out/$(basename "$(dirname "$source")")_$(basename "$source" .cpp).o"
        "$@" -c "$source" -o "$object" || { echo "FAILED: $source" >&2; exit 1; }
    ' _ {} "$out" "${CXX:-g++}" "${flags[@]}"
count=$(find "$out" -name '*.o' | wc -l)
echo "free-threaded compile: $count sources built against $include"
