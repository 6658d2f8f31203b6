#!/usr/bin/env bash
# Installs tarnwold from this checkout into the current python3, with the
# requirements of the extras named by --extras (comma-separated) and any
# further packages given as arguments:
#   bash scripts/install.sh --extras test
#   bash scripts/install.sh matplotlib
# The build is skipped when python3 already holds this checkout's build,
# made with the same options (scripts/install_state.py); the requirements
# are still installed, which costs nothing when they are.
#
# TARNWOLD_PIP_ARGS adds options to every pip call, e.g. for an offline build
# against a distribution's own numpy and scikit-build-core:
#   TARNWOLD_PIP_ARGS="--no-build-isolation --no-index" bash scripts/install.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

extras=""
if [[ "${1:-}" == "--extras" ]]; then
  extras=$2
  shift 2
fi
read -r -a pip_args <<< "${TARNWOLD_PIP_ARGS:-}"

if python3 scripts/install_state.py check "${pip_args[@]}"; then
  echo "tarnwold: the installed build is this checkout's; not rebuilt"
  mapfile -t wanted < <(python3 scripts/install_state.py requirements ${extras//,/ })
  python3 -m pip install -q "${pip_args[@]}" "${wanted[@]}" "$@"
else
  python3 -m pip install "${pip_args[@]}" ".${extras:+[$extras]}" "$@"
  python3 scripts/install_state.py record "${pip_args[@]}"
fi
