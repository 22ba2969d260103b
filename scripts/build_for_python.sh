#!/usr/bin/env bash
# Compiles the extension against one interpreter's headers without meson (meson 1.0 cannot
# introspect CPython >= 3.12, which lacks distutils) and checks that the interpreter imports it.
#
# Usage: build_for_python.sh PYTHON OUTDIR
#   OPT_FLAGS   optimisation and instrumentation flags (default -O2), e.g. for a sanitizer build
#   PRELOAD     a library to preload into PYTHON for the import check (a sanitizer's runtime)
# Objects are rebuilt only when a source or header is newer than the module.
set -euo pipefail
python=$1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
opt_flags=${OPT_FLAGS:--O2}
mkdir -p "$out/obj"

include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
module="$out/cadrel$suffix"

# A build made with other flags or headers is not reused.
stamp="$opt_flags|$include"
if [ "$(cat "$out/.flags" 2>/dev/null)" != "$stamp" ]; then
    rm -f "$out"/obj/*.o "$module"
    printf '%s' "$stamp" >"$out/.flags"
fi

newest_source=$(find "$root/src" -type f -newer "$module" 2>/dev/null | head -n 1 || true)
if [ ! -f "$module" ] || [ -n "$newest_source" ]; then
    rm -f "$out"/obj/*.o
    # shellcheck disable=SC2086
    printf '%s\n' "$root"/src/runtime/*.cpp "$root"/src/binding/*.cpp "$root"/src/loop/*.cpp |
        xargs -P "$(nproc)" -I{} sh -c '
            source=$1; shift
            dir=$(basename "$(dirname "$source")")
            exec "$@" -c "$source" -o "'"$out"'/obj/${dir}_$(basename "$source" .cpp).o"
        ' _ {} ${CXX:-g++} -std=c++20 $opt_flags -fPIC -fvisibility=hidden \
            -Wall -Wextra -Wpedantic -Werror -Wno-maybe-uninitialized \
            -I"$root/src" -I"$include"
    # shellcheck disable=SC2086
    ${CXX:-g++} $opt_flags -shared "$out"/obj/*.o -o "$module" -pthread
fi

LD_PRELOAD=${PRELOAD:-} ASAN_OPTIONS=detect_leaks=0 "$python" -c "import sys; sys.path.insert(0, '$out'); \
import cadrel; loop = cadrel.CadrelLoop(); print(sys.version.split()[0], 'imports', cadrel.__file__)"
