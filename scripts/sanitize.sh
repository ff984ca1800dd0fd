#!/usr/bin/env bash
# The whole suite under the sanitizers, the library under clang's lock analysis, and the fuzzers:
# what CI runs after the README's test command. Each step uses its CMake preset
# (CMakePresets.json) and its own build folder.
#
#   scripts/sanitize.sh                  thread-safety, asan-ubsan, tsan, then fuzz
#   scripts/sanitize.sh asan-ubsan fuzz  the steps named
#
# KESTAL_FUZZ_SECONDS: how long each fuzzer runs (default 30). The fuzzers start from the seed
# corpus that kestal-fuzz-seeds writes with the project's own encoders, in build-fuzz/corpus/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc 2>/dev/null || echo 2)
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(thread-safety asan-ubsan tsan fuzz)

KESTAL_WINDOWS_BUILD=0 KESTAL_FUZZ_DEPS=1 "$top/scripts/install-deps.sh"
for step in "${steps[@]}"; do
  started=$(date +%s)
  case "$step" in
    asan-ubsan | tsan)
      cmake --preset "$step" > /dev/null
      cmake --build --preset "$step" -j "$jobs"
      ctest --preset "$step" -j "$jobs"
      ;;
    thread-safety)
      # A lock annotation that the code breaks fails the build.
      cmake --preset thread-safety > /dev/null
      cmake --build --preset thread-safety -j "$jobs"
      ;;
    fuzz)
      cmake --preset fuzz > /dev/null
      cmake --build --preset fuzz -j "$jobs"
      corpus=$top/build-fuzz/corpus
      "$top/build-fuzz/tests/fuzz/kestal-fuzz-seeds" "$corpus"
      for fuzzer in "$top"/build-fuzz/tests/fuzz/kestal-*_fuzz; do
        name=${fuzzer##*/kestal-}
        echo "== $name for ${KESTAL_FUZZ_SECONDS:-30} s"
        log=$top/build-fuzz/$name.log
        # A finding ends the run with a non-zero status and leaves crash-* in build-fuzz/.
        if ! (cd "$top/build-fuzz" && "$fuzzer" -max_total_time="${KESTAL_FUZZ_SECONDS:-30}" -print_final_stats=1 \
                "$corpus/$name" > "$log" 2>&1); then
          tail -n 60 "$log"
          echo "== $name failed (the whole output: $log)"
          exit 1
        fi
        grep -E "^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec)" "$log" || true
      done
      ;;
    *)
      echo "unknown step: $step (thread-safety, asan-ubsan, tsan or fuzz)" >&2
      exit 2
      ;;
  esac
  echo "== $step took $(($(date +%s) - started)) s"
done
