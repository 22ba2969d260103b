#!/usr/bin/env bash
# Builds cadrel for each further CPython version and runs the pytest suite with it.
#
# Usage: test_other_pythons.sh [pytest arguments...]
#   PYTHON_VERSIONS  versions to test (default: 3.11 to 3.14 less the version of PYTHON,
#                    the interpreter `make test-python` already ran the suite with)
#   PYENV_ROOT       where the interpreters are looked for (default: pyenv's own answer,
#                    else /root/.pyenv)
#
# Each version gets its own venv, .venv-X.Y, made by scripts/setup.sh: the pinned test tools
# from PyPI and cadrel built from this tree through its own meson build (rebuilt only when the
# sources changed). CPython 3.14 is prepared from Debian's unstable suite into .python3.14
# when no installed 3.14 is found. A version with no interpreter on this machine (or one that
# cannot be prepared) is reported as SKIPPED; it never counts as passed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pyenv_root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo /root/.pyenv)}

find_interpreter() {
    local version=$1 candidate
    for candidate in "$pyenv_root"/versions/"$version".*/bin/python"$version" \
                     /usr/bin/python"$version" /usr/local/bin/python"$version"; do
        [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
    if [ "$version" = 3.14 ]; then
        "$root/scripts/prepare_python3.14.sh" "$root/.python3.14" && return 0
    fi
    return 1
}

default_versions() {
    local own version
    own=$("${PYTHON:-/usr/bin/python3}" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
    for version in 3.11 3.12 3.13 3.14; do
        [ "$version" = "$own" ] || printf '%s ' "$version"
    done
}

status=0
summary=()
for version in ${PYTHON_VERSIONS:-$(default_versions)}; do
    if ! python=$(find_interpreter "$version"); then
        # 3.14 is prepared when not installed: its failure (no network, the suite moved on)
        # is printed above, and the version is still only skipped, never passed.
        echo "=== python $version: SKIPPED (no interpreter found)"
        summary+=("$version SKIPPED (no interpreter)")
        continue
    fi
    venv=".venv-$version"
    echo "=== python $version: $python ($("$python" -c 'import sys; print(sys.version.split()[0])'))"
    if ! (cd "$root" && PYTHON=$python VENV=$venv scripts/setup.sh venv); then
        summary+=("$version FAILED (build)")
        status=1
        continue
    fi
    # pytest exits 5 when it collected nothing: a broken suite, not a pass.
    rc=0
    (cd "$root" && "$venv/bin/python" -m pytest -p no:cacheprovider "$@") || rc=$?
    if [ "$rc" -eq 0 ]; then
        summary+=("$version passed")
    else
        [ "$rc" -eq 5 ] && summary+=("$version FAILED (no tests collected)") ||
            summary+=("$version FAILED")
        status=1
    fi
done
printf '=== other pythons: %s\n' "${summary[@]}"
exit "$status"
