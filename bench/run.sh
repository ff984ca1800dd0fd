#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/ beside the repository unless KESTAL_BENCH_BUILD_DIR
# says otherwise), runs the micro benchmarks briefly and kestal-bench with the arguments given
# here (none: the default durations), and writes bench/results.json (KESTAL_BENCH_RESULTS names
# another file). Exit status: kestal-bench's, or 1 when the build or a micro benchmark failed.
#
# kestal-bench runs in a network namespace of its own when the shell may make one (root), so that
# the fixed UDP ports of the library's arm link never meet another process using the library.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTAL_BENCH_BUILD_DIR:-$(dirname "$repo")/build-bench}
results=${KESTAL_BENCH_RESULTS:-$repo/bench/results.json}
export CCACHE_NOHASHDIR=1 CCACHE_DIR=${CCACHE_DIR:-/tmp/ccache}

launcher=()
if command -v ccache > /dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
micro=()
for file in "$repo"/bench/*_bench.cpp; do micro+=("$(basename "$file" .cpp)"); done

commit=$(git -C "$repo" rev-parse --short HEAD)
dirty=$(git -C "$repo" status --porcelain -- src include tools | wc -l)
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTAL_BUILD_BENCH=ON "${launcher[@]}" > /dev/null
cmake --build "$build" -j2 --target "${micro[@]}" kestal-bench

cpu=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
echo "commit $commit ($dirty changed files under src/ include/ tools/), $(nproc) cores, $cpu, kernel $(uname -r)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
started=$(date +%s)

work=$build/bench-work
mkdir -p "$work"
for name in "${micro[@]}"; do
  "$build/bench/$name" --benchmark_min_time=0.05 --benchmark_out="$work/$name.json" --benchmark_out_format=json
done

cd "$work"
rm -f "$work/e2e.json"
bench=("$build/bench/kestal-bench" --json "$work/e2e.json" "$@")
status=0
if unshare -n true 2> /dev/null; then
  unshare -n sh -c 'ip link set lo up && exec "$@"' sh "${bench[@]}" || status=$?
else
  echo "no network namespace available: kestal-bench runs on the host's loopback"
  "${bench[@]}" || status=$?
fi

load_after=$(cut -d' ' -f1-3 /proc/loadavg)
echo "load average after: $load_after; the whole run took $(( $(date +%s) - started )) s"
{
  printf '{\n"commit": "%s",\n"changed_files_under_src_include_tools": %s,\n' "$commit" "$dirty"
  printf '"machine": {"cores": %s, "cpu": "%s", "kernel": "%s", "load_after": "%s"},\n' \
    "$(nproc)" "$cpu" "$(uname -r)" "$load_after"
  printf '"micro": {\n'
  for i in "${!micro[@]}"; do
    printf '"%s": ' "${micro[$i]}"
    cat "$work/${micro[$i]}.json"
    if (( i + 1 < ${#micro[@]} )); then printf ',\n'; fi
  done
  printf '},\n"e2e": '
  if [ -s "$work/e2e.json" ]; then cat "$work/e2e.json"; else printf 'null\n'; fi
  printf '}\n'
} > "$results"
echo "wrote $results"
exit "$status"
