#!/usr/bin/env bash
# Compiles the extension against another interpreter's headers without meson
# (meson 1.0 cannot introspect CPython >= 3.12 without distutils) and checks
# that the interpreter imports it. Usage: build_for_python.sh PYTHON OUTDIR
set -euo pipefail
python=$1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
sources=$(ls "$root"/src/runtime/*.cpp "$root"/src/binding/*.cpp "$root"/src/loop/*.cpp)
# shellcheck disable=SC2086
${CXX:-g++} -std=c++20 -O2 -fPIC -shared -fvisibility=hidden -Wall -Wextra -Wpedantic -Werror -Wno-maybe-uninitialized \
    -I"$root/src" -I"$include" $sources -o "$out/cadrel$suffix" -pthread
"$python" -c "import sys; sys.path.insert(0, '$out'); import cadrel; loop = cadrel.CadrelLoop(); \
print(sys.version.split()[0], 'imports', cadrel.__file__)"
