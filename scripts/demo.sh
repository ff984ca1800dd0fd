#!/usr/bin/env bash
# The library at work against the built-in device simulator, without hardware:
#   ./scripts/demo.sh            over TCP on 127.0.0.1
#   ./scripts/demo.sh --storage  over a 50 MiB disk image used as the mailbox
# Installs what is missing, builds the tools, starts kestal-devsim, runs `kestal demo`
# against it and stops everything again.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTAL_BUILD_DIR:-$top/build}
mode=network
case "${1:-}" in
  "") ;;
  --storage) mode=storage ;;
  *) echo "usage: $0 [--storage]" >&2; exit 2 ;;
esac

KESTAL_WINDOWS_BUILD=0 "$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${KESTAL_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target kestal kestal-devsim

work=$(mktemp -d /tmp/kestal-demo-XXXXXX)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"  # the library's log file goes here

if [ "$mode" = storage ]; then
  "$build/tools/kestal-devsim" --storage disk.img --create-image --quiet >sim.log 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do grep -q "serving the mailbox" sim.log && break; sleep 0.1; done
  grep -q "serving the mailbox" sim.log || { cat sim.log >&2; exit 1; }
  "$build/tools/kestal" --transport storage --disk disk.img demo
else
  "$build/tools/kestal-devsim" --listen 127.0.0.1 --port 0 --quiet >sim.log 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do grep -q "listening on" sim.log && break; sleep 0.1; done
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' sim.log)
  [ -n "$port" ] || { cat sim.log >&2; exit 1; }
  "$build/tools/kestal" --transport network --host 127.0.0.1 --port "$port" demo
fi
echo "log of this run: $(wc -l <LogKestalHostCommService.txt) lines in LogKestalHostCommService.txt"
