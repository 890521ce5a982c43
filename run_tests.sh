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

# Each libFuzzer target for a bounded time from a temporary copy of its seed
# corpus, so what the run discovers stays out of the repository; a crash or a
# mismatch with the reference fails the run and leaves its input under
# build/fuzz/artifacts.
log "fuzz targets (clang, libFuzzer + ASan + UBSan)"
ensure_fuzz_packages
CC="$FUZZ_CC" CXX="$FUZZ_CXX" cmake -S . -B build/fuzz -DQH_BUILD_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j2
fuzz_work="$(mktemp -d)"
trap 'rm -rf "$fuzz_work"' EXIT
mkdir -p build/fuzz/artifacts
for target in fuzz_parse_f32 fuzz_parse_i32 fuzz_engine; do
    cp -r "tests/fuzz/corpus/$target" "$fuzz_work/$target"
    if ! UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "build/fuzz/tests/fuzz/$target" \
        -max_total_time="${QH_FUZZ_SECONDS:-18}" -artifact_prefix="build/fuzz/artifacts/$target-" \
        "$fuzz_work/$target" 2>"$fuzz_work/$target.log"; then
        tail -n 60 "$fuzz_work/$target.log" >&2
        log "fuzz target $target failed"
        exit 1
    fi
    grep -E '^Done [0-9]+ runs' "$fuzz_work/$target.log" | sed "s/^/$target: /" >&2
done

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
