#!/usr/bin/env bash
# The main job on a fresh machine: installs what is missing, builds and
# installs the module into .venv, and reports on the bundled sample portfolio.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/common.sh"
cd "$ROOT"

ensure_system_packages
ensure_venv
install_module
"$VENV/bin/python" examples/portfolio.py "$@"
