#!/usr/bin/env bash
# Installs tarnwold with its test dependencies into the current python3
# (scripts/install.sh: an up-to-date install of this checkout is reused),
# then runs the Python test suite. Arguments go to pytest.
#
# TARNWOLD_PIP_ARGS adds options to the install, e.g. for an offline build
# against a distribution's own numpy and scikit-build-core:
#   TARNWOLD_PIP_ARGS="--no-build-isolation --no-index" bash scripts/test.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install.sh --extras test

# Run from the source root, which holds no importable tarnwold, so the tests
# exercise the installed extension module.
python3 -m pytest "$@"
