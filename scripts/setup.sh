#!/usr/bin/env bash
# Installs what cadrel builds with and installs cadrel into .venv; silent when nothing changed.
#
# Usage: scripts/setup.sh packages   Debian packages only (native builds need no venv)
#        scripts/setup.sh venv       packages, then .venv with cadrel installed from this tree
# PYTHON names the interpreter (default /usr/bin/python3): the first python3 on PATH may
# lack Debian's packages, which the venv must see through --system-site-packages.
set -euo pipefail

cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-/usr/bin/python3}"
VENV=.venv
STAMP="$VENV/.cadrel-source-hash"

PACKAGES=(
    meson ninja-build pkg-config g++
    python3-dev python3-venv python3-pip python3-mesonpy
    python3-pytest python3-hypothesis python3-uvloop python3-numpy
    libgtest-dev
)

say() { printf 'setup: %s\n' "$*"; }

is_installed() {
    # dpkg -s also answers for removed packages that left config files, so read the status.
    dpkg -s "$1" 2>/dev/null | grep -qx 'Status: install ok installed'
}

install_packages() {
    local missing=() p
    for p in "${PACKAGES[@]}"; do
        is_installed "$p" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    say "installing ${missing[*]}"
    # A fresh machine has no package lists yet; one update serves the whole install.
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

venv_matches_python() {
    [ -x "$VENV/bin/python" ] && [ -x "$VENV/bin/pip" ] &&
        [ "$(readlink -f "$VENV/bin/python")" = "$(readlink -f "$(command -v "$PYTHON")")" ]
}

make_venv() {
    venv_matches_python && return 0
    say "creating $VENV with $PYTHON"
    rm -rf "$VENV"
    "$PYTHON" -m venv --system-site-packages "$VENV"
}

source_hash() {
    # Everything that goes into the wheel; a change in any of it means a rebuild.
    find src python stubs meson.build meson_options.txt pyproject.toml -type f -print0 2>/dev/null |
        LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1
}

install_cadrel() {
    local hash
    hash="$(source_hash)"
    if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$hash" ] &&
        compgen -G "$VENV/lib/python3*/site-packages/cadrel*.so" >/dev/null; then
        return 0
    fi
    say "building and installing cadrel into $VENV"
    rm -f "$STAMP"
    # Offline: the build tools come from Debian (hence no build isolation) and cadrel has
    # no dependencies. --force-reinstall because the version does not change with the sources.
    local rc=0
    "$VENV/bin/pip" install -q --disable-pip-version-check --no-index --no-build-isolation \
        --no-deps --force-reinstall . || rc=$?
    # meson-python leaves its native file in the source tree; it is of no further use.
    rm -f .mesonpy-native-file.ini
    [ "$rc" -eq 0 ] || return "$rc"
    printf '%s\n' "$hash" >"$STAMP"
}

case "${1:-venv}" in
    packages) install_packages ;;
    venv) install_packages && make_venv && install_cadrel ;;
    *) echo "usage: $0 [packages|venv]" >&2; exit 2 ;;
esac
