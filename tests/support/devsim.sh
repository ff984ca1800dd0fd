# Sourced by the suite's shell tests: start_devsim SIMULATOR DIR starts kestal-devsim on 127.0.0.1
# and a free port, writing its output into DIR; sets $sim (its process) and $port. The caller's
# exit trap kills $sim.
start_devsim() {
  "$1" --port 0 --quiet --duration-s 60 > "$2/sim.out" &
  sim=$!
  for _ in $(seq 50); do grep -q listening "$2/sim.out" && break; sleep 0.1; done
  port=$(sed -n 's/^kestal-devsim: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$2/sim.out")
  [ -n "$port" ] || { echo "the simulator did not start: $(cat "$2/sim.out")"; exit 1; }
}
