# Shared set-up for the project's entry scripts: system packages, the
# CPython 3.10 interpreter and the project-local virtual environment.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

log() { printf '==> %s\n' "$*" >&2; }

ensure_system_packages() {
    install_missing_packages cmake g++ libgtest-dev libbenchmark-dev
}

# The fuzz targets only (run_tests.sh): libFuzzer comes with clang's runtime
# libraries; clang 16 is the first whose libstdc++ <source_location> works.
# GMP gives the exact rational reference for the float grammar.
FUZZ_CC=clang-16
FUZZ_CXX=clang++-16
ensure_fuzz_packages() {
    install_missing_packages clang-16 libclang-rt-16-dev libgmp-dev
}

install_missing_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    if ((${#missing[@]})); then
        log "installing Debian packages: ${missing[*]}"
        local sudo=""
        [[ $(id -u) -ne 0 ]] && sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# The module targets CPython 3.10; PYTHON=... overrides the search.
find_python() {
    if [[ -n "${PYTHON:-}" ]]; then
        echo "$PYTHON"
        return
    fi
    local roots=("$HOME/.pyenv")
    command -v pyenv >/dev/null 2>&1 && roots=("$(pyenv root)" "${roots[@]}")
    local cand
    for cand in "${roots[@]/%//versions/3.10*/bin/python3.10}" /usr/bin/python3.10 /usr/local/bin/python3.10; do
        for cand in $cand; do
            if [[ -x "$cand" ]] && "$cand" -c 'import sys; assert sys.version_info[:2] == (3, 10)' 2>/dev/null; then
                echo "$cand"
                return
            fi
        done
    done
    echo "error: CPython 3.10 not found; set PYTHON=/path/to/python3.10" >&2
    return 1
}

ensure_venv() {
    local py
    py="$(find_python)"
    if [[ ! -x "$VENV/bin/python" ]] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 10)' 2>/dev/null; then
        log "creating $VENV with $py"
        rm -rf "$VENV"
        "$py" -m venv "$VENV"
    fi
    "$VENV/bin/python" -m pip install -q --upgrade pip >/dev/null
    "$VENV/bin/python" -m pip install -q -r "$ROOT/tests/python/requirements.txt"
}

install_module() {
    log "building and installing quill_harbor into $VENV"
    "$VENV/bin/python" -m pip install -q "$ROOT"
}
