#!/bin/sh
# Two sessions in one process, each to its own simulator (frames of 5000 and 7000 bytes), and the
# process-wide service beside them on a third (9000 bytes): the example kestal-two-devices checks
# that each gets only its own frames and that the second and third stream on with no frame missing
# once the first is stopped and its simulator killed. Each writes its own log file, which names its
# own device and no other.
#   two_devices_test.sh SIMULATOR EXAMPLE [RUNNER]   (RUNNER: e.g. wine for the Windows build)
set -eu
sim=$1 example=$2 runner=${3:-}
dir=$(mktemp -d /tmp/kestal-two-XXXXXX)
pids=
trap 'kill $pids 2>/dev/null || true; rm -rf "$dir"' EXIT
for n in 1 2 3; do
  "$sim" --listen 127.0.0.1 --port 0 --quiet --duration-s 60 --fps 30 --image-size $((3000 + 2000 * n)) \
    > "$dir/sim$n.out" &
  pids="$pids $!"
  eval "sim$n=$!"
done
for n in 1 2 3; do
  for _ in $(seq 50); do grep -q listening "$dir/sim$n.out" && break; sleep 0.1; done
  eval "port$n=\$(sed -n 's/^kestal-devsim: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' \"$dir/sim$n.out\")"
done
[ -n "$port1" ] && [ -n "$port2" ] && [ -n "$port3" ] || { echo "the simulators did not start"; exit 1; }
(cd "$dir" && exec $runner "$example" 127.0.0.1 "$port1" 127.0.0.1 "$port2" 3 127.0.0.1 "$port3") > "$dir/out" 2>&1 &
run=$!
pids="$pids $run"
for _ in $(seq 300); do grep -q "device 1 stopped" "$dir/out" && break; sleep 0.1; done
kill "$sim1" 2>/dev/null || true  # the first device goes away while the second streams
status=0
wait "$run" || status=$?
cat "$dir/out"
[ "$status" = 0 ] || { echo "kestal-two-devices exited with $status"; exit 1; }
grep -q "^device 1: [0-9]* frames of 5000 bytes, 0 of another size" "$dir/out"
grep -q "^device 2: [0-9]* frames of 7000 bytes, 0 of another size" "$dir/out"
grep -q "^device 3: [0-9]* frames of 9000 bytes, 0 of another size" "$dir/out"
grep -q "^device 2: [1-9][0-9]* frames after device 1 stopped, 0 frame numbers missing" "$dir/out"
grep -q "^device 3: [1-9][0-9]* frames after device 1 stopped, 0 frame numbers missing" "$dir/out"
# Each log file names its own device's endpoint, and no other, and holds its workers' lines.
for n in 1 2 3; do
  log="$dir/LogKestalHostCommService$([ $n = 3 ] || echo "-$n").txt"
  eval "own=\$port$n"
  grep -q "loop recv thread started" "$log" && grep -Eq "Device endpoint .*:$own([^0-9]|$)" "$log" &&
    ! grep "Device endpoint" "$log" | grep -Evq ":$own([^0-9]|$)" ||
    { echo "$log does not hold device $n's lines alone"; exit 1; }
done
