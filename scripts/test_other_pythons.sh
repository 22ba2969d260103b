#!/usr/bin/env bash
# Builds cadrel for each further CPython version and runs the pytest suite with it.
#
# Usage: test_other_pythons.sh [pytest arguments...]
#   PYTHON_VERSIONS  versions to test (default "3.12 3.13")
#   PYENV_ROOT       where the interpreters are looked for (default /root/.pyenv)
#
# Those interpreters have no pytest of their own (and there is no package index to fetch one),
# so the suite runs with Debian's pure-Python pytest and hypothesis put on their path. A version
# with no interpreter on this machine is reported as SKIPPED; it never counts as passed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pyenv_root=${PYENV_ROOT:-/root/.pyenv}
debian_packages=/usr/lib/python3/dist-packages

# Only the pure-Python packages that pytest and hypothesis need, not Debian's whole
# dist-packages (its compiled modules are built for Debian's own interpreter).
shim=$(mktemp -d)
trap 'rm -rf "$shim"' EXIT
for package in pytest _pytest pluggy iniconfig packaging py.py attr attrs tomli \
               exceptiongroup hypothesis sortedcontainers; do
    [ -e "$debian_packages/$package" ] && ln -s "$debian_packages/$package" "$shim/$package"
done

find_interpreter() {
    local version=$1 candidate
    for candidate in "$pyenv_root"/versions/"$version".*/bin/python"$version" \
                     /usr/bin/python"$version" /usr/local/bin/python"$version"; do
        [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
    return 1
}

status=0
summary=()
for version in ${PYTHON_VERSIONS:-3.12 3.13}; do
    if ! python=$(find_interpreter "$version"); then
        echo "=== python $version: SKIPPED (no interpreter found)"
        summary+=("$version SKIPPED (no interpreter)")
        continue
    fi
    out="$root/build-py$version"
    echo "=== python $version: $python"
    if ! "$root/scripts/build_for_python.sh" "$python" "$out"; then
        summary+=("$version FAILED (build)")
        status=1
        continue
    fi
    # Debian's pytest predates these versions; its assertion rewriter uses ast names that
    # they deprecate, which says nothing about cadrel.
    if (cd "$root" && PYTHONPATH="$out:$shim" "$python" -m pytest -p no:cacheprovider \
            -W "ignore::DeprecationWarning:_pytest.assertion.rewrite" "$@"); then
        summary+=("$version passed")
    else
        summary+=("$version FAILED")
        status=1
    fi
done
printf '=== other pythons: %s\n' "${summary[@]}"
exit "$status"
