# shellcheck shell=bash
# Sanitizer stages of .ci/run: the module and the C++ tests under
# AddressSanitizer with UndefinedBehaviorSanitizer, LeakSanitizer over the
# module's calls, fuzzing, and the C++ tests under ThreadSanitizer. Sourced
# by .ci/run, which defines ROOT, CACHE and STAGE_SKIPPED.
#
# The interpreter is not instrumented, so the sanitizer runtimes are
# preloaded into it (they must come first in the process). Every report ends
# the process with a failure. LeakSanitizer stays off for whole test runs,
# since CPython leaves memory unreachable at exit by design; asan-leaks checks
# the module's own leaks instead.
#
# The stage functions run with errexit (see "stage" in .ci/run), so a
# failing cd ends its stage.
# shellcheck disable=SC2164

readonly SANITIZE_DIR=$ROOT/build/sanitize
readonly ASAN_VENV=$SANITIZE_DIR/asan-venv
readonly FUZZ_SECONDS=60
# allocator_may_return_null: a malloc beyond any memory returns NULL, which
# CPython and NumPy report as MemoryError, as in a plain build. (The
# runtime's operator new still aborts; tests of that path skip when
# TARNWOLD_SANITIZER is set.)
readonly ASAN_COMMON=halt_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
readonly UBSAN_SETTINGS=halt_on_error=1:print_stacktrace=1

# with_asan OPTIONS COMMAND...: runs COMMAND under the ASan+UBSan runtime with
# the extra ASan OPTIONS. PYTHONMALLOC=malloc gives every Python object a
# heap block of its own, so a use of a freed object is caught as well.
with_asan() {
  local options=$1
  shift
  env LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS="$ASAN_COMMON:$options" UBSAN_OPTIONS="$UBSAN_SETTINGS" LSAN_OPTIONS="${LSAN_OPTIONS:-}" \
    PYTHONMALLOC=malloc TARNWOLD_SANITIZER=address "$@"
}

# sanitized_ctest NAME SANITIZER: builds the C++ tests with the sanitizer and
# runs them. ASLR is off for the run: ThreadSanitizer of this compiler
# generation cannot map its shadow under the higher randomisation of newer
# kernels.
sanitized_ctest() {
  local build=$SANITIZE_DIR/$1
  cmake -S "$ROOT" -B "$build" -G Ninja \
    -DTARNWOLD_BUILD_MODULE=OFF -DTARNWOLD_BUILD_TESTS=ON -DTARNWOLD_SANITIZE="$2"
  cmake --build "$build"
  ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=1" UBSAN_OPTIONS="$UBSAN_SETTINGS" \
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    setarch "$(uname -m)" -R ctest --test-dir "$build" --output-on-failure --no-tests=error
}

# The module unstripped, so that reports name functions and lines.
asan_build() {
  cd "$ROOT"
  python3 -m venv --clear --system-site-packages "$ASAN_VENV"
  "$ASAN_VENV/bin/python" -m pip install "scikit-build-core>=0.11" "numpy>=2.0"
  "$ASAN_VENV/bin/python" -m pip install --no-build-isolation \
    -C cmake.define.TARNWOLD_SANITIZE=address -C install.strip=false \
    -C build-dir="$SANITIZE_DIR/asan-module" ".[test]"
  # The venv must import its own, instrumented module.
  local module
  module=$(with_asan detect_leaks=0 "$ASAN_VENV/bin/python" -c \
    'import sys, tarnwold; assert tarnwold.__file__.startswith(sys.prefix); print(tarnwold.__file__)')
  echo "module: $module"
  ldd "$module" | grep -E 'lib(asan|ubsan)'
}

asan_ctest() {
  sanitized_ctest asan-ctest address
}

asan_pytest() {
  cd "$ROOT"
  with_asan detect_leaks=0 "$ASAN_VENV/bin/python" -m pytest -p no:cacheprovider
}

# tests/test_leaks.py run as a script calls every function on every path;
# LeakSanitizer then logs what is unreachable at exit, and .ci/module_leaks.py
# fails on any block allocated below one of the module's frames. Full
# unwinding reaches those frames through libpython, which keeps no frame
# pointers; use_tls=0 keeps this runtime version from crashing on the
# dynamic thread-local storage of the worker threads. CPython always leaves
# blocks unreachable at exit, so a run without any log means that
# LeakSanitizer did not check: .ci/module_leaks.py fails then.
lsan_module() {
  cd "$ROOT"
  local logs=$SANITIZE_DIR/lsan out
  rm -rf "$logs"
  mkdir -p "$logs"
  # The driver's exit status is LeakSanitizer's whenever it reported anything.
  out=$(LSAN_OPTIONS=use_tls=0 with_asan "detect_leaks=1:fast_unwind_on_malloc=0:log_path=$logs/report" \
    "$ASAN_VENV/bin/python" tests/test_leaks.py) || true
  echo "$out"
  if ! grep -qE '^all [0-9]+ cases ran$' <<<"$out"; then
    echo "the leak driver did not run to its end" >&2
    return 1
  fi
  shopt -s nullglob
  python3 .ci/module_leaks.py "$logs"/report.*
}

tsan_ctest() {
  sanitized_ctest tsan-ctest thread
}

# Coverage-guided fuzzing runs on a plain build, where atheris sees the
# coverage of the drawing code; the corpus is kept in the cache, so that it
# grows from run to run. Under the preloaded ASan runtime atheris gets no
# coverage feedback (the runtime takes over its hooks), so a search there
# would be blind: instead every input of the corpus is replayed once under
# ASan+UBSan. Without an atheris for this Python the stage is skipped, not
# failed.
fuzz() {
  cd "$ROOT"
  local venv=$SANITIZE_DIR/fuzz-venv corpus=$CACHE/fuzz-corpus inputs
  local -a options=(-timeout=60 -rss_limit_mb=4096 -print_final_stats=1
    "-artifact_prefix=$SANITIZE_DIR/fuzz-")
  python3 -m venv --clear --system-site-packages "$venv"
  if ! "$venv/bin/python" -m pip install atheris; then
    echo "atheris cannot be installed for $(python3 -V 2>&1): fuzzing skipped"
    return "$STAGE_SKIPPED"
  fi
  "$venv/bin/python" -m pip install "scikit-build-core>=0.11" "numpy>=2.0"
  "$venv/bin/python" -m pip install --no-build-isolation -C build-dir="$SANITIZE_DIR/fuzz-module" .
  # Each run adds the inputs that reached something new, superseded ones
  # included (atheris cannot merge); a corpus grown large starts over.
  if [[ -d $corpus ]] && (($(find "$corpus" -type f | wc -l) > 2000)); then
    rm -rf "$corpus"
  fi
  mkdir -p "$corpus"
  echo "plain build: coverage-guided search for ${FUZZ_SECONDS}s"
  "$venv/bin/python" tests/fuzz/fuzz_arguments.py "${options[@]}" \
    -max_total_time="$FUZZ_SECONDS" "$corpus"
  inputs=$(find "$corpus" -type f | wc -l)
  if ((inputs == 0)); then
    echo "the search left no corpus to replay" >&2
    return 1
  fi
  echo "ASan+UBSan build: replaying the $inputs inputs of the corpus once each (no search)"
  "$ASAN_VENV/bin/python" -m pip install atheris
  # -runs=0: run the corpus, then stop before generating any input.
  with_asan detect_leaks=0:quarantine_size_mb=64 "$ASAN_VENV/bin/python" tests/fuzz/fuzz_arguments.py \
    "${options[@]}" -runs=0 "$corpus"
}
