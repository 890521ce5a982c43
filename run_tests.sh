#!/usr/bin/env bash
# Every test, from a fresh machine: installs what is missing, then runs the
# stages, up to QH_JOBS of them side by side (each waiting for the stages it
# needs), and ends with one table of the stages in the order listed, their
# pass and fail counts and their times, and a closing line of the counts. A
# stage that fails does not stop the others; the exit status is non-zero if
# any failed. Each stage's full output is kept in build/test-logs/ and the
# tail of a failing one is printed.
#
#   QH_PYTHONS="3.10 3.11 3.12 3.13"  interpreters for the Python suite
#   QH_OTHER_MARKERS=boundary          what the interpreters other than the primary run
#                                      (the primary runs every test; '' runs every test)
#   QH_JOBS=3                          stages run side by side
#   QH_PYTEST_WORKERS=2                pytest-xdist workers of each Python suite
#   QH_FUZZ_SECONDS=18                 time per libFuzzer target
#   QH_STRESS_SECONDS=30               the concurrency stress test (primary interpreter)
#   QH_STAGES='lint|types'             only the stages whose names match this extended regex
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/common.sh"
cd "$ROOT"

LOGS="$ROOT/build/test-logs"
RESULTS="$LOGS/results"
rm -rf "$RESULTS"
mkdir -p "$LOGS" "$RESULTS"
RUN_START=$SECONDS

# Test modules that run only in a stage of their own, never in the generic
# Python suites (each such stage runs its module itself).
OWN_STAGE_TESTS=(test_spark.py)

# ------------------------------------------------------------------ stages

# stage [--after NAME]... NAME COUNTER COMMAND...: lists a stage. It starts
# once every stage it comes after has ended (whatever their result) and a
# slot is free, and runs COMMAND with its output in a log; COUNTER reads
# "passed failed" from that log. Stages start in the order listed.
STAGE_NAMES=()
STAGE_AFTER=()
STAGE_COMMANDS=()
stage() {
    local after=""
    while [[ "$1" == --after ]]; do
        after+="$2"$'\n'
        shift 2
    done
    if [[ -n "${QH_STAGES:-}" ]] && ! grep -qE -- "$QH_STAGES" <<<"$1"; then
        return
    fi
    STAGE_NAMES+=("$1")
    STAGE_AFTER+=("$after")
    shift
    STAGE_COMMANDS+=("$(printf '%q ' "$@")")
}

stage_slug() { tr -c 'A-Za-z0-9.\n' '-' <<<"$1"; }

# run_stage INDEX: one stage, its result in $RESULTS/INDEX as
# "status|passed|failed|seconds".
run_stage() {
    local i="$1" name="${STAGE_NAMES[$1]}"
    local log="$LOGS/$(stage_slug "$name").log" start=$SECONDS
    local -a command
    eval "command=(${STAGE_COMMANDS[$i]})"
    local counter="${command[0]}"
    log "$name: started"
    "${command[@]:1}" >"$log" 2>&1 </dev/null
    local rc=$? status=pass counts
    counts="$($counter "$log")"
    if ((rc != 0)); then
        status=FAIL
        # One failing tail at a time, so that stages ending together do not interleave.
        (
            flock 9
            printf '\n---- %s failed (exit %d); the last lines of %s:\n' "$name" "$rc" "$log" >&2
            tail -n 60 "$log" >&2
            printf -- '---- end of %s\n' "$name" >&2
        ) 9>"$LOGS/.print.lock"
    fi
    log "$name: $status in $((SECONDS - start)) s"
    printf '%s|%s|%s|%s\n' "$status" "${counts% *}" "${counts#* }" "$((SECONDS - start))" >"$RESULTS/$i.tmp"
    mv "$RESULTS/$i.tmp" "$RESULTS/$i"
}

stage_ready() {
    local dep j
    while IFS= read -r dep; do
        [[ -z "$dep" ]] && continue
        for j in "${!STAGE_NAMES[@]}"; do
            [[ "${STAGE_NAMES[$j]}" == "$dep" && ! -e "$RESULTS/$j" ]] && return 1
        done
    done <<<"${STAGE_AFTER[$1]}"
    return 0
}

# run_stages: every listed stage, at most QH_JOBS at a time.
run_stages() {
    local jobs="${QH_JOBS:-3}" i
    local -A started=()
    local running
    while :; do
        running=0
        for i in "${!STAGE_NAMES[@]}"; do
            [[ -n "${started[$i]:-}" && ! -e "$RESULTS/$i" ]] && running=$((running + 1))
        done
        for i in "${!STAGE_NAMES[@]}"; do
            ((running < jobs)) || break
            [[ -n "${started[$i]:-}" ]] && continue
            stage_ready "$i" || continue
            run_stage "$i" &
            started[$i]=$!
            running=$((running + 1))
        done
        ((${#started[@]} == ${#STAGE_NAMES[@]})) && break
        sleep 1
    done
    wait
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

# The closing line of every pytest run in the log ("N passed, N failed, N
# errors ... in S s"), summed: a suite runs as a parallel and a serial pass.
pytest_counts() {
    grep -E '^(=+ )?[0-9]+ (passed|failed|errors?|skipped|deselected|xfailed|xpassed|warnings?)\b.* in [0-9.]+s' "$1" |
        awk '{ for (i = 2; i <= NF; i++) { w = $i; sub(/[,=]+$/, "", w)
                 if (w == "passed") p += $(i-1); else if (w == "failed" || w == "error" || w == "errors") f += $(i-1) } }
             END { printf "%d %d\n", p, f }'
}

# Lines the stage itself writes: "ok <what>" and "FAIL <what>".
line_counts() {
    echo "$(grep -c '^ok ' "$1") $(grep -c '^FAIL ' "$1")"
}

# ------------------------------------------------------------------ C++

# One compiler cache for every build of the run (the four wheels, the test
# builds, the sanitized ones): the engine's objects are the same for every
# interpreter, so only the bindings compile again per wheel. No base folder:
# rewriting the sources' paths as relative ones would change the abort
# sites' file names, which the prefix map shortens from the absolute path.
use_compiler_cache() {
    command -v ccache >/dev/null 2>&1 || return 0
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
    export CCACHE_NOHASHDIR=1 CCACHE_SLOPPINESS=pch_defines,time_macros
    export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-4G}"
}

engine_release() {
    cmake -S . -B build/tests -DQH_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release &&
        cmake --build build/tests -j2 --target engine_tests batch_tests &&
        ctest --test-dir build/tests --output-on-failure -j2
}

engine_sanitized() {
    cmake -S . -B build/sanitize -DQH_BUILD_TESTS=ON -DQH_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
        cmake --build build/sanitize -j2 --target engine_tests batch_tests &&
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

# pytest_suite PYTHON [MARKERS]: the suite (or the tests matching the marker
# expression), side by side on QH_PYTEST_WORKERS workers, then the tests marked
# serial (they time themselves or count threads and processes) one at a time.
pytest_suite() {
    local py="$1" only="${2:-}" f rc=0
    local -a select=() serial=(-m serial)
    if [[ -n "$only" ]]; then
        select=(-m "($only) and not serial")
        serial=(-m "($only) and serial")
    else
        select=(-m "not serial")
    fi
    # The workers must collect the same test ids, and an id made from a set
    # follows the string hash: one seed per suite, random, shown for reruns.
    export PYTHONHASHSEED="${PYTHONHASHSEED:-$((RANDOM * 32768 + RANDOM))}"
    echo "PYTHONHASHSEED=$PYTHONHASHSEED"
    local -a ignores=()
    for f in "${OWN_STAGE_TESTS[@]}"; do ignores+=("--ignore=tests/python/$f"); done
    "$py" -m pytest tests/python -q -p no:cacheprovider -n "${QH_PYTEST_WORKERS:-2}" "${select[@]}" "${ignores[@]}" ||
        rc=1
    "$py" -m pytest tests/python -q -p no:cacheprovider "${serial[@]}" "${ignores[@]}"
    local serial=$?
    ((serial == 0 || serial == 5)) || rc=1  # 5: no test is marked serial
    return $rc
}

# install_wheel PYTHON VERSION: builds the package's wheel for that
# interpreter once (into build/dist/VERSION, compiled in its own
# scikit-build folder) and installs it.
install_wheel() {
    local py="$1" dist="$ROOT/build/dist/$2"
    rm -rf "$dist"
    mkdir -p "$dist"
    "$py" -m pip wheel -q --no-deps -w "$dist" "$ROOT" &&
        "$py" -m pip install -q --no-deps --force-reinstall "$dist"/quill_harbor-*.whl
}

# The primary environment: the test requirements and the package, from the
# wheel the later stages reuse.
python_environment() {
    ensure_venv && install_wheel "$VENV/bin/python" "$PRIMARY_VERSION" && echo "ok $VENV"
}

# The suite against the package installed into the primary environment.
python_primary() {
    pytest_suite "$VENV/bin/python"
}

# The suite against a UBSan build of the module, loaded ahead of the
# installed one; subprocess tests inherit PYTHONPATH and so use it too. The
# tests that drive the package from the outside run on the primary only.
python_ubsan() {
    cmake -S . -B build/ubsan-module -DQH_BUILD_MODULE=ON -DQH_UBSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$VENV/bin/python" &&
        cmake --build build/ubsan-module -j2 || return 1
    local built
    built="$(find "$ROOT/build/ubsan-module" -name 'quill_harbor.cpython-*.so' -printf '%h\n' | head -n 1)"
    [[ -n "$built" ]] || { echo "no quill_harbor extension under build/ubsan-module"; return 1; }
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH="$built" QH_STRESS_SECONDS=10 \
        pytest_suite "$VENV/bin/python" "not orchestration"
}

# Another supported interpreter, in its own environment.
python_version() {
    local version="$1" py
    py="$(find_python_version "$version")" || return 1
    local dir="$ROOT/.venv-$version"
    make_venv "$dir" "$py" "$ROOT/tests/python/requirements.txt" &&
        install_wheel "$dir/bin/python" "$version" &&
        QH_STRESS_SECONDS=5 pytest_suite "$dir/bin/python" "${QH_OTHER_MARKERS:-boundary}"
}

# ruff's lint and format check over the Python packages (pyproject.toml).
lint_check() {
    local rc=0
    if "$VENV/bin/python" -m ruff check python; then echo "ok ruff check"; else echo "FAIL ruff check"; rc=1; fi
    if "$VENV/bin/python" -m ruff format --check python; then echo "ok ruff format"; else echo "FAIL ruff format"; rc=1; fi
    return $rc
}

# mypy over quill_harbor_columnar (pyproject.toml).
type_check() {
    if "$VENV/bin/python" -m mypy --cache-dir "$ROOT/build/mypy-cache"; then
        echo "ok mypy"
    else
        echo "FAIL mypy"
        return 1
    fi
}

# The stubs against the installed module: mypy's stubtest.
stubs_check() {
    local mod rc=0
    for mod in quill_harbor quill_harbor_columnar; do
        if (cd "$LOGS" && "$VENV/bin/python" -m mypy.stubtest --mypy-config-file /dev/null "$mod"); then
            echo "ok stubtest $mod"
        else
            echo "FAIL stubtest $mod"
            rc=1
        fi
    done
    return $rc
}

# A repaired, self-contained wheel, installed into a fresh environment and
# run with the system copies of every library it bundles hidden; the wheel
# is the one the primary environment installed.
wheel_check() {
    QH_WHEEL="$(ls "$ROOT/build/dist/$PRIMARY_VERSION"/quill_harbor-*.whl)" bash "$ROOT/scripts/wheel_check.sh"
}

# The README's install line, the first `pip install` line of its ```sh blocks.
readme_install_line() {
    awk '/^```sh$/ { inside = 1; next } /^```/ { inside = 0 } inside && /^pip install / { print; exit }' \
        "$ROOT/README.md" | grep .
}

# new_user_run WORK OUTPUTS -- COMMAND...: COMMAND in WORK must exit 0 and
# leave every OUTPUT there, not empty.
new_user_run() {
    local work="$1" outputs=() out
    shift
    while [[ "$1" != -- ]]; do outputs+=("$1"); shift; done
    shift
    local what rc
    what="$(basename "$1") $2"
    (cd "$work" && "$@")
    rc=$?
    if ((rc != 0)); then
        echo "FAIL $what: exit status $rc"
        return 1
    fi
    for out in "${outputs[@]}"; do
        [[ -s "$work/$out" ]] || { echo "FAIL $what: no $out"; return 1; }
    done
    echo "ok $what: ${outputs[*]}"
}

# A new user's install: a new environment with nothing but the README's
# install line, then the command on a 20,000-loan book. A dependency that
# the install line does not bring fails here.
new_user_install() {
    local dir="$ROOT/build/new-user" line py
    line="$(readme_install_line)" || { echo "FAIL README.md states no pip install line"; return 1; }
    py="$(find_python)" || return 1
    rm -rf "$dir"
    mkdir -p "$dir/work"
    "$py" -m venv "$dir/venv" || return 1
    if (cd "$ROOT" && env -u PYTHONPATH PATH="$dir/venv/bin:$PATH" bash -e -c "$line"); then
        echo "ok $line"
    else
        echo "FAIL $line"
        return 1
    fi
    local cli="$dir/venv/bin/quill-harbor" work="$dir/work" rc=0
    (
        unset PYTHONPATH
        new_user_run "$work" book.parquet -- "$cli" sample --loans 20000 -o book.parquet &&
            new_user_run "$work" schedules.parquet -- "$cli" schedules book.parquet -o schedules.parquet &&
            new_user_run "$work" cashflows.csv cashflows.png -- \
                "$cli" cashflows book.parquet -o cashflows.csv --plot cashflows.png &&
            new_user_run "$work" projection.parquet projection.png -- \
                "$cli" project book.parquet -o projection.parquet --cpr 8 --cdr 1.5 --severity 35 --lag 6 \
                --by product --as-of 2026-12-31 --plot projection.png
    )
}

# The Spark layer against a real local[2] session, in its one module: its
# Java runtime and the extra "spark" (pyspark) are installed here only, and
# the other Python stages leave the module out.
python_spark() {
    ensure_spark_packages
    local -a reqs
    mapfile -t reqs < <("$VENV/bin/python" -c '
import importlib.metadata as m
from packaging.requirements import Requirement
for r in map(Requirement, m.requires("quill_harbor") or []):
    if r.marker is not None and r.marker.evaluate({"extra": "spark"}):
        r.marker = None
        print(r)')
    ((${#reqs[@]})) || return 1
    "$VENV/bin/python" -m pip install -q "${reqs[@]}" &&
        QH_SPARK_DOCS=1 "$VENV/bin/python" -m pytest tests/python/test_spark.py "tests/python/test_docs.py::test_page[docs/spark.md]" \
            -q -rs -p no:cacheprovider
}

# ------------------------------------------------------------------ run

ensure_system_packages
ensure_fuzz_packages
use_compiler_cache
PRIMARY_VERSION="$("$(find_python)" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || echo '?')"
PRIMARY="python $PRIMARY_VERSION environment"

# Longest chains first: the primary environment, which most Python stages
# need, and the slowest builds.
stage "$PRIMARY" line_counts python_environment
stage "engine + batch (ASan+UBSan)" ctest_counts engine_sanitized
stage --after "$PRIMARY" "python $PRIMARY_VERSION (installed)" pytest_counts python_primary
stage --after "$PRIMARY" "python (UBSan module)" pytest_counts python_ubsan
stage "engine + batch (Release)" ctest_counts engine_release
stage "fuzz targets (libFuzzer)" line_counts fuzz_targets
stage --after "$PRIMARY" "python (Spark, local[2])" pytest_counts python_spark
for version in ${QH_PYTHONS:-3.11 3.12 3.13}; do
    [[ "$version" == "$PRIMARY_VERSION" ]] && continue
    stage "python $version (installed)" pytest_counts python_version "$version"
done
stage --after "$PRIMARY" "new user's install" line_counts new_user_install
stage --after "$PRIMARY" "lint (ruff)" line_counts lint_check
stage --after "$PRIMARY" "types (mypy)" line_counts type_check
stage --after "$PRIMARY" "type stubs (stubtest)" line_counts stubs_check
stage --after "$PRIMARY" "wheel (repaired, bundled libs hidden)" line_counts wheel_check

run_stages

FAILED=0
PASSED_ALL=0
FAILED_ALL=0
printf '\n%-40s %-6s %8s %8s %8s\n' "stage" "result" "passed" "failed" "seconds"
printf '%s\n' "------------------------------------------------------------------------"
for i in "${!STAGE_NAMES[@]}"; do
    IFS='|' read -r status passed failed secs <"$RESULTS/$i"
    [[ "$status" == pass ]] || FAILED=1
    [[ "$passed" =~ ^[0-9]+$ ]] && PASSED_ALL=$((PASSED_ALL + passed))
    [[ "$failed" =~ ^[0-9]+$ ]] && FAILED_ALL=$((FAILED_ALL + failed))
    printf '%-40s %-6s %8s %8s %8s\n' "${STAGE_NAMES[$i]}" "$status" "$passed" "$failed" "$secs"
done
printf '%s\n' "------------------------------------------------------------------------"
printf '%-40s %-6s %8s %8s %8s\n' "total" "$( ((FAILED)) && echo FAIL || echo pass)" "$PASSED_ALL" "$FAILED_ALL" \
    "$((SECONDS - RUN_START))"
# A failing stage that counted no failed test still counts as one failure.
((FAILED && FAILED_ALL == 0)) && FAILED_ALL=1
printf 'tests: %d passed, %d failed\n' "$PASSED_ALL" "$FAILED_ALL"
exit $FAILED
