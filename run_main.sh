#!/usr/bin/env bash
# The main job on a fresh machine: installs what building needs, makes .venv,
# builds and installs the package with the command's extra (`.[cli]`, the
# README's install line: nothing else), then runs the
# quill-harbor command over a synthetic book of 1,000,000 loans (made once
# and kept in build/main/): every schedule streamed to Parquet, then the
# portfolio's cash flows with a plot, then a projection under three scenarios.
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
log "main job done in $((SECONDS - start)) s; outputs in $out"
