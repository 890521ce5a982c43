#!/usr/bin/env bash
# The main job on a fresh machine: installs what building needs, makes .venv,
# builds and installs the package with the command's extra (`.[cli]`, the
# README's install line: nothing else), then runs the
# quill-harbor command over a synthetic book of 1,000,000 loans (made once
# and kept in build/main/): every schedule streamed to Parquet, then the
# portfolio's cash flows with a plot, then a projection under three scenarios;
# then a synthetic agency loan-level history of about 2,000,000 loan-months
# (made once and kept in build/main/): its realized performance by vintage
# with a plot, and a backtest of the book's scenarios against it.
# Extra arguments go to every command.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/common.sh"
cd "$ROOT"

ensure_build_packages
make_venv "$VENV" "$(find_python)"
install_module cli

out="$ROOT/build/main"
mkdir -p "$out"
# The book carries a product column (for the projection by segment) since
# its second version; an older cached book does not, hence the name.
book="$out/book-1m-v2.parquet"
cli="$VENV/bin/quill-harbor"
start=$SECONDS
if [[ ! -f "$book" ]]; then
    "$cli" sample --loans 1000000 -o "$book"
fi
"$cli" schedules "$book" -o "$out/schedules.parquet" --errors skip --progress "$@"
"$cli" cashflows "$book" -o "$out/cashflows.csv" --plot "$out/cashflows.png" --progress "$@"
# Three scenarios (base, fast prepayment, stress default) by product, dated
# from the end of the year; the summary table closes the run.
"$cli" project "$book" -o "$out/projection.parquet" --scenarios "$ROOT/examples/scenarios.json" --by product \
    --as-of 2026-12-31 --plot "$out/projection.png" --progress "$@"
# The history: 60,000 loans over 36 months, about 1,930,000 records in the
# fannie-mae layout, written beside its final name and moved into place whole.
history="$out/history-2m-fannie-mae"
if [[ ! -d "$history" ]]; then
    rm -rf "$history.partial"
    "$cli" sample-history --loans 60000 --months 36 --layout fannie-mae --cpr 9 --cdr 1.5 --severity 35 \
        -o "$history.partial"
    mv "$history.partial" "$history"
fi
"$cli" performance "$history" --layout fannie-mae --by vintage --window 12 -o "$out/performance.parquet" \
    --plot "$out/performance.png" --roll-rates "$out/roll-rates.csv" --progress
"$cli" backtest "$history" --layout fannie-mae --as-of 2020-12 --scenarios "$ROOT/examples/scenarios.json" \
    -o "$out/backtest.parquet" --plot "$out/backtest.png" --progress
log "main job done in $((SECONDS - start)) s; outputs in $out"
