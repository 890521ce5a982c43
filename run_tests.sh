#!/usr/bin/env bash
# Every test, from a fresh machine: installs what is missing, then runs each
# stage in turn and ends with one table of the stages, their pass and fail
# counts and their times. A stage that fails does not stop the later ones;
# the exit status is non-zero if any failed. Each stage's full output is kept
# in build/test-logs/ and the tail of a failing one is printed.
#
#   QH_PYTHONS="3.10 3.11 3.12 3.13"  interpreters for the Python suite
#   QH_FUZZ_SECONDS=18                 time per libFuzzer target
#   QH_STRESS_SECONDS=30               the concurrency stress test (primary interpreter)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/common.sh"
cd "$ROOT"

LOGS="$ROOT/build/test-logs"
mkdir -p "$LOGS"
STAGES=()
RESULTS=()
FAILED=0
RUN_START=$SECONDS

# stage NAME COUNTER COMMAND...: runs COMMAND with its output in a log;
# COUNTER reads "passed failed" from that log.
stage() {
    local name="$1" counter="$2"
    shift 2
    local log="$LOGS/$(echo "$name" | tr -c 'A-Za-z0-9.\n' '-').log"
    log "$name"
    local start=$SECONDS
    "$@" >"$log" 2>&1
    local rc=$?
    local counts
    counts="$($counter "$log")"
    local status=pass
    if ((rc != 0)); then
        status=FAIL
        FAILED=1
        tail -n 60 "$log" >&2
        log "$name failed (exit $rc); full output in $log"
    fi
    STAGES+=("$name")
    RESULTS+=("$status|${counts% *}|${counts#* }|$((SECONDS - start))")
}

ctest_counts() {
    # "100% tests passed out of N", or "P% tests passed, F tests failed out of N".
    local line total failed
    line="$(grep -E 'tests passed.* out of [0-9]+' "$1" | tail -n 1)"
    if [[ -z "$line" ]]; then echo "- -"; return; fi
    total="$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")"
    failed="$(grep -oE '[0-9]+ tests failed' <<<"$line" | grep -oE '[0-9]+' || echo 0)"
    echo "$((total - failed)) $failed"
}

pytest_counts() {
    local line passed failed errors
    line="$(grep -E '^(=+ )?[0-9]+ (passed|failed)|^(=+ )?.*[0-9]+ (passed|failed|error)' "$1" | tail -n 1)"
    passed="$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+' || true)"
    failed="$(grep -oE '[0-9]+ failed' <<<"$line" | grep -oE '[0-9]+' || true)"
    errors="$(grep -oE '[0-9]+ errors?' <<<"$line" | grep -oE '[0-9]+' || true)"
    echo "${passed:-0} $(( ${failed:-0} + ${errors:-0} ))"
}

# Lines the stage itself writes: "ok <what>" and "FAIL <what>".
line_counts() {
    echo "$(grep -c '^ok ' "$1") $(grep -c '^FAIL ' "$1")"
}

# ------------------------------------------------------------------ C++

engine_release() {
    cmake -S . -B build/tests -DQH_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release &&
        cmake --build build/tests -j2 &&
        ctest --test-dir build/tests --output-on-failure -j2
}

engine_sanitized() {
    cmake -S . -B build/sanitize -DQH_BUILD_TESTS=ON -DQH_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
        cmake --build build/sanitize -j2 &&
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            ctest --test-dir build/sanitize --output-on-failure -j2
}

# Each libFuzzer target for a bounded time from a temporary copy of its seed
# corpus, so what the run discovers stays out of the repository; a crash or a
# mismatch with the reference fails it and leaves its input under
# build/fuzz/artifacts.
fuzz_targets() {
    ensure_fuzz_packages || return 1
    CC="$FUZZ_CC" CXX="$FUZZ_CXX" cmake -S . -B build/fuzz -DQH_BUILD_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
        cmake --build build/fuzz -j2 || return 1
    local work target rc=0
    work="$(mktemp -d)"
    mkdir -p build/fuzz/artifacts
    for target in fuzz_parse_f32 fuzz_parse_i32 fuzz_engine; do
        cp -r "tests/fuzz/corpus/$target" "$work/$target"
        if UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "build/fuzz/tests/fuzz/$target" \
            -max_total_time="${QH_FUZZ_SECONDS:-18}" -artifact_prefix="build/fuzz/artifacts/$target-" \
            "$work/$target" 2>"$work/$target.log"; then
            echo "ok $target: $(grep -E '^Done [0-9]+ runs' "$work/$target.log")"
        else
            tail -n 60 "$work/$target.log"
            echo "FAIL $target"
            rc=1
        fi
    done
    rm -rf "$work"
    return $rc
}

# ------------------------------------------------------------------ Python

# The suite against the package installed into the primary environment.
python_primary() {
    ensure_venv && install_module &&
        "$VENV/bin/python" -m pytest tests/python -q -p no:cacheprovider
}

# The same suite against a UBSan build of the module, loaded ahead of the
# installed one; subprocess tests inherit PYTHONPATH and so use it too.
python_ubsan() {
    cmake -S . -B build/ubsan-module -DQH_BUILD_MODULE=ON -DQH_UBSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$VENV/bin/python" &&
        cmake --build build/ubsan-module -j2 &&
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH="$ROOT/build/ubsan-module/src/bindings" \
            QH_STRESS_SECONDS=10 "$VENV/bin/python" -m pytest tests/python -q -p no:cacheprovider
}

# Another supported interpreter, in its own environment.
python_version() {
    local version="$1" py
    py="$(find_python_version "$version")" || return 1
    local dir="$ROOT/.venv-$version"
    make_venv "$dir" "$py" "$ROOT/tests/python/requirements.txt" &&
        "$dir/bin/python" -m pip install -q "$ROOT" &&
        QH_STRESS_SECONDS=5 "$dir/bin/python" -m pytest tests/python -q -p no:cacheprovider
}

# The stubs against the installed module: mypy's stubtest.
stubs_check() {
    "$VENV/bin/python" -m pip install -q mypy || return 1
    local mod rc=0
    for mod in quill_harbor quill_harbor_columnar; do
        if (cd "$LOGS" && "$VENV/bin/python" -m mypy.stubtest "$mod"); then
            echo "ok stubtest $mod"
        else
            echo "FAIL stubtest $mod"
            rc=1
        fi
    done
    return $rc
}

# A repaired, self-contained wheel, installed into a fresh environment and
# run with the system copies of every library it bundles hidden.
wheel_check() {
    bash "$ROOT/scripts/wheel_check.sh"
}

# ------------------------------------------------------------------ run

ensure_system_packages

stage "engine + batch (Release)" ctest_counts engine_release
stage "engine + batch (ASan+UBSan)" ctest_counts engine_sanitized
stage "fuzz targets (libFuzzer)" line_counts fuzz_targets
PRIMARY_VERSION="$("$(find_python)" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || echo '?')"
stage "python $PRIMARY_VERSION (installed)" pytest_counts python_primary
stage "python (UBSan module)" pytest_counts python_ubsan
for version in ${QH_PYTHONS:-3.11 3.12 3.13}; do
    [[ "$version" == "$PRIMARY_VERSION" ]] && continue
    stage "python $version (installed)" pytest_counts python_version "$version"
done
stage "type stubs (stubtest)" line_counts stubs_check
stage "wheel (repaired, bundled libs hidden)" line_counts wheel_check

printf '\n%-40s %-6s %8s %8s %8s\n' "stage" "result" "passed" "failed" "seconds"
printf '%s\n' "------------------------------------------------------------------------"
for i in "${!STAGES[@]}"; do
    IFS='|' read -r status passed failed secs <<<"${RESULTS[$i]}"
    printf '%-40s %-6s %8s %8s %8s\n' "${STAGES[$i]}" "$status" "$passed" "$failed" "$secs"
done
printf '%s\n' "------------------------------------------------------------------------"
printf '%-40s %-6s %8s %8s %8s\n' "total" "$( ((FAILED)) && echo FAIL || echo pass)" "" "" "$((SECONDS - RUN_START))"
exit $FAILED
