#!/usr/bin/env bash
# Every test, C++ and Python, from a fresh machine: installs what is missing,
# then runs the engine suite (plain and under ASan+UBSan) and the module suite
# (installed package, then a UBSan build of the module).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/common.sh"
cd "$ROOT"

ensure_system_packages

log "engine tests (Release)"
cmake -S . -B build/tests -DQH_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j2
ctest --test-dir build/tests --output-on-failure

log "engine tests (ASan + UBSan)"
cmake -S . -B build/sanitize -DQH_BUILD_TESTS=ON -DQH_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/sanitize -j2
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/sanitize --output-on-failure

if [[ -d tests/python ]] && ls tests/python/test_*.py >/dev/null 2>&1; then
    ensure_venv
    install_module
    log "module tests (installed package)"
    "$VENV/bin/python" -m pytest tests/python -q -p no:cacheprovider

    # The same suite against a UBSan build of the module, loaded ahead of the
    # installed one; subprocess tests inherit PYTHONPATH and so use it too.
    log "module tests (UBSan build)"
    cmake -S . -B build/ubsan-module -DQH_BUILD_MODULE=ON -DQH_UBSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
    cmake --build build/ubsan-module -j2
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH="$ROOT/build/ubsan-module/src/lib" \
        "$VENV/bin/python" -m pytest tests/python -q -p no:cacheprovider
fi
