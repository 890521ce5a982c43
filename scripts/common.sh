# Shared set-up for the project's entry scripts: system packages, the
# CPython 3.10 interpreter and the project-local virtual environment.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

log() { printf '==> %s\n' "$*" >&2; }

# What building the package needs, and what the tests add to it (GoogleTest,
# Google Benchmark, GMP and MPFR as exact oracles for the power tests, and
# ccache, one compiler cache for every build of a test run).
BUILD_PACKAGES=(cmake g++)
TEST_PACKAGES=(libgtest-dev libbenchmark-dev libgmp-dev libmpfr-dev ccache)
ensure_build_packages() {
    install_missing_packages "${BUILD_PACKAGES[@]}"
}
ensure_system_packages() {
    install_missing_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
}

# The fuzz targets only (run_tests.sh): libFuzzer comes with clang's runtime
# libraries; clang 16 is the first whose libstdc++ <source_location> works.
# GMP gives the exact rational reference for the float grammar.
FUZZ_CC=clang-16
FUZZ_CXX=clang++-16
ensure_fuzz_packages() {
    install_missing_packages clang-16 libclang-rt-16-dev libgmp-dev
}

# The Spark tests only (run_tests.sh): the Java runtime pyspark starts. Where
# it cannot be installed the stage still runs, and its tests skip saying why.
SPARK_PACKAGES=(openjdk-17-jre-headless)
ensure_spark_packages() {
    install_missing_packages "${SPARK_PACKAGES[@]}" ||
        log "could not install ${SPARK_PACKAGES[*]}: the Spark tests will skip"
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

# An interpreter of version X.Y from pyenv or the usual places.
find_python_version() {
    local want="$1"
    local roots=("$HOME/.pyenv")
    command -v pyenv >/dev/null 2>&1 && roots=("$(pyenv root)" "${roots[@]}")
    local cand
    for cand in "${roots[@]/%//versions/$want*/bin/python$want}" "/usr/bin/python$want" "/usr/local/bin/python$want"; do
        for cand in $cand; do
            if [[ -x "$cand" ]] && "$cand" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$want'" 2>/dev/null; then
                echo "$cand"
                return
            fi
        done
    done
    echo "error: CPython $want not found; install it with pyenv (pyenv install $want)" >&2
    return 1
}

# The primary interpreter, CPython 3.10; PYTHON=... overrides the search.
find_python() {
    if [[ -n "${PYTHON:-}" ]]; then
        echo "$PYTHON"
        return
    fi
    find_python_version 3.10
}

# make_venv DIR PYTHON [REQUIREMENTS_FILE...]: a virtual environment at DIR
# for that interpreter (made again if it holds another version), with pip
# current and the requirement files installed.
make_venv() {
    local dir="$1" py="$2"
    shift 2
    local version
    version="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    if [[ ! -x "$dir/bin/python" ]] || ! "$dir/bin/python" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$version'" 2>/dev/null; then
        log "creating $dir with $py"
        rm -rf "$dir"
        "$py" -m venv "$dir"
    fi
    "$dir/bin/python" -m pip install -q --upgrade pip >/dev/null
    local req
    for req in "$@"; do
        "$dir/bin/python" -m pip install -q -r "$req"
    done
}

# The test environment: the primary interpreter with the test requirements.
ensure_venv() {
    make_venv "$VENV" "$(find_python)" "$ROOT/tests/python/requirements.txt"
}

# install_module [EXTRA]: builds the package and installs it into $VENV,
# with that extra's dependencies when one is named (run_main.sh: cli).
install_module() {
    log "building and installing quill_harbor${1:+[$1]} into $VENV"
    "$VENV/bin/python" -m pip install -q "$ROOT${1:+[$1]}"
}
