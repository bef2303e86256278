# Shared by the tools scripts: finding Python 3.13 and making the .venv.

# Prints the path of a Python 3.13 interpreter ($QUILLET_PYTHON first).
find_python() {
    local candidate
    for candidate in "${QUILLET_PYTHON:-}" python3.13 python3; do
        [ -n "$candidate" ] || continue
        if command -v "$candidate" >/dev/null 2>&1 &&
            "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
            command -v "$candidate"
            return
        fi
    done
    if command -v pyenv >/dev/null 2>&1; then
        for candidate in "$(pyenv root)"/versions/3.13*/bin/python3.13; do
            [ -x "$candidate" ] && { echo "$candidate"; return; }
        done
    fi
    echo "Python 3.13 not found: install it or set QUILLET_PYTHON to its path" >&2
    return 1
}

# Creates .venv (if missing) and installs the package into it with the given
# extras, building in build/<build_dir> so that repeated runs are incremental.
install_package() {
    local extras=$1 build_dir=$2
    shift 2
    local python
    python=$(find_python)
    [ -x .venv/bin/python ] || "$python" -m venv .venv
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q ".${extras}" \
        --config-settings=build-dir="build/${build_dir}" "$@"
}
