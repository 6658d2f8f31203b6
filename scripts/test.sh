#!/usr/bin/env bash
# Builds and installs tarnwold with its test dependencies into the current
# python3, then runs the Python test suite. Arguments go to pytest.
#
# TARNWOLD_PIP_ARGS adds options to the install, e.g. for an offline build
# against a distribution's own numpy and scikit-build-core:
#   TARNWOLD_PIP_ARGS="--no-build-isolation --no-index" bash scripts/test.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

read -r -a pip_args <<< "${TARNWOLD_PIP_ARGS:-}"
python3 -m pip install "${pip_args[@]}" ".[test]"

# Run from the source root, which holds no importable tarnwold, so the tests
# exercise the installed extension module.
python3 -m pytest "$@"
