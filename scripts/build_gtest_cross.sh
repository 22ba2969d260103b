#!/usr/bin/env bash
# Builds GoogleTest from Debian's sources (package googletest) with a cross compiler into
# static libraries, with pkg-config files that meson's gtest dependency finds. Debian has no
# GoogleTest library for other architectures that installs beside the machine's own.
#
# Usage: build_gtest_cross.sh CXX OUTDIR    e.g. aarch64-linux-gnu-g++ build-gtest-aarch64
# Rebuilt only when the compiler or the sources changed.
set -euo pipefail
cxx=$1
mkdir -p "$2"
out=$(cd "$2" && pwd)
src=/usr/src/googletest/googletest
[ -f "$src/src/gtest-all.cc" ] || { echo "no GoogleTest sources in $src" >&2; exit 1; }

stamp="$cxx $("$cxx" -dumpfullversion) $(cat /usr/share/doc/googletest/changelog.Debian.gz 2>/dev/null | sha256sum)"
if [ "$(cat "$out/.stamp" 2>/dev/null)" = "$stamp" ] && [ -f "$out/lib/libgtest_main.a" ]; then
    exit 0
fi
echo "building GoogleTest with $cxx into $out"
rm -rf "$out/lib" "$out/obj" "$out/pkgconfig"
mkdir -p "$out/lib" "$out/obj" "$out/pkgconfig"
flags=(-std=c++20 -O2 -pthread -I"$src/include" -I"$src")
"$cxx" "${flags[@]}" -c "$src/src/gtest-all.cc" -o "$out/obj/gtest-all.o" &
"$cxx" "${flags[@]}" -c "$src/src/gtest_main.cc" -o "$out/obj/gtest_main.o"
wait $!
ar=${cxx%g++}ar
"$ar" rcs "$out/lib/libgtest.a" "$out/obj/gtest-all.o"
"$ar" rcs "$out/lib/libgtest_main.a" "$out/obj/gtest_main.o"

version=$(sed -n 's/^set(GOOGLETEST_VERSION \([0-9.]*\)).*/\1/p' /usr/src/googletest/CMakeLists.txt)
cat >"$out/pkgconfig/gtest.pc" <<PC
Name: gtest
Description: GoogleTest built for $cxx
Version: ${version:-0}
Libs: -L$out/lib -lgtest -pthread
Cflags: -I$src/include
PC
cat >"$out/pkgconfig/gtest_main.pc" <<PC
Name: gtest_main
Description: GoogleTest's main() built for $cxx
Version: ${version:-0}
Requires: gtest = ${version:-0}
Libs: -L$out/lib -lgtest_main
PC
printf '%s' "$stamp" >"$out/.stamp"
