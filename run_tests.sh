#!/usr/bin/env bash
# Every test, C++ and Python, from a fresh machine: installs what is missing,
# then runs the engine suite (plain and under ASan+UBSan) and the module suite.
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
    log "module tests"
    "$VENV/bin/python" -m pytest tests/python -q
fi
