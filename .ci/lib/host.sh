# shellcheck shell=bash
# Host stages of .ci/run: prerequisites, layout, C++ tests, Python tests and
# type stubs. Sourced by .ci/run, which defines ROOT, TEST_COMMAND and
# WERROR_PIP_ARGS.
#
# The stage functions run with errexit (see "stage" in .ci/run), so a
# failing cd ends its stage.
# shellcheck disable=SC2164

prerequisites() {
  apt-get update
  apt-get install -y --no-install-recommends g++ cmake ninja-build debootstrap clang-format
  python3 --version
  g++ --version | head -n 1
  cmake --version | head -n 1
  echo "ninja $(ninja --version)"
}

# The committed layout: .clang-format over the C++ sources (Debian's
# clang-format, whose version fixes the result) and the ruff rules of
# pyproject.toml over the Python code (a pinned ruff, for the same reason).
readonly RUFF_VERSION=0.17.6

host_layout() {
  cd "$ROOT"
  clang-format --version
  find src tests/cpp -name '*.cpp' -o -name '*.hpp' -o -name '*.inc' | sort |
    xargs clang-format --dry-run -Werror
  python3 -m pip install "ruff==$RUFF_VERSION"
  python3 -m ruff check .
}

host_ctest() {
  local build=$ROOT/build/ctest-host
  cmake -S "$ROOT" -B "$build" -G Ninja \
    -DTARNWOLD_BUILD_MODULE=OFF -DTARNWOLD_BUILD_TESTS=ON -DTARNWOLD_WERROR=ON
  cmake --build "$build"
  ctest --test-dir "$build" --output-on-failure --no-tests=error
}

# The module is built with warnings as errors, like the core.
host_pytest() {
  cd "$ROOT"
  if ! grep -qxF "$TEST_COMMAND" README.md; then
    echo "README.md no longer gives the test command '$TEST_COMMAND'" >&2
    return 1
  fi
  python3 --version
  TARNWOLD_PIP_ARGS=$WERROR_PIP_ARGS bash -c "$TEST_COMMAND"
}

# Uses the tarnwold that host-pytest installed into python3.
host_stubtest() {
  cd "$ROOT"
  python3 -m pip install "mypy>=1.11"
  python3 -m mypy --version
  python3 -m mypy.stubtest tarnwold tarnwold_tools._select
  python3 -m mypy --strict tests/typing/tarnwold_usage.py
}
