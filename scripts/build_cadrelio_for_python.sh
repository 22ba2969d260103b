#!/usr/bin/env bash
# Builds the cadrelio package (its native core and its Python sources) for one interpreter
# without meson, into OUTDIR/cadrelio, next to what build_for_python.sh puts in OUTDIR.
#
# Usage: build_cadrelio_for_python.sh PYTHON OUTDIR     (then run with PYTHONPATH=OUTDIR)
#   OPT_FLAGS   optimisation and instrumentation flags (default -O2)
#   PRELOAD     a library to preload into PYTHON for the import check (a sanitizer's runtime)
set -euo pipefail
python=$1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
opt_flags=${OPT_FLAGS:--O2}
package="$out/cadrelio"
objects="$out/obj-cadrelio"
mkdir -p "$package" "$objects"

include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
module="$package/_native$suffix"

stamp="$opt_flags|$include"
if [ "$(cat "$objects/.flags" 2>/dev/null)" != "$stamp" ]; then
    rm -f "$objects"/*.o "$module"
    printf '%s' "$stamp" >"$objects/.flags"
fi

newest_source=$(find "$root/src" -type f -newer "$module" 2>/dev/null | head -n 1 || true)
if [ ! -f "$module" ] || [ -n "$newest_source" ]; then
    rm -f "$objects"/*.o
    # The binding helpers the core uses; never the cadrel module's own type or loop.
    # shellcheck disable=SC2086
    printf '%s\n' "$root"/src/runtime/*.cpp "$root"/src/aio/*.cpp \
        "$root"/src/binding/{arguments,conversions,errors,host_calls,host_ref,exit_gate}.cpp |
        xargs -P "$(nproc)" -I{} sh -c '
            source=$1; shift
            dir=$(basename "$(dirname "$source")")
            exec "$@" -c "$source" -o "'"$objects"'/${dir}_$(basename "$source" .cpp).o"
        ' _ {} ${CXX:-g++} -std=c++20 $opt_flags -fPIC -fvisibility=hidden \
            -Wall -Wextra -Wpedantic -Werror -Wno-maybe-uninitialized \
            -I"$root/src" -I"$include"
    # shellcheck disable=SC2086
    ${CXX:-g++} $opt_flags -shared "$objects"/*.o -o "$module" -pthread
fi
cp "$root"/python/cadrelio/*.py "$root"/python/cadrelio/*.pyi "$root"/python/cadrelio/py.typed "$package/"
ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="${PRELOAD:-}" PYTHONPATH="$out" "$python" -c 'import cadrelio, asyncio; print("cadrelio OK on", __import__("sys").version.split()[0]); assert cadrelio.run(asyncio.sleep(0, 1)) == 1'
