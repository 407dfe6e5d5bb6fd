#!/bin/sh
# The main job: the example host and simulated devices talking over UDP on 127.0.0.1.
# Starts velkor-host on a free port, runs velkor-sim against it for a few seconds (devices of
# both generations, every packet family, a few faults), stops the host, and shows the
# exchange as the host sees it, then both summaries. Exits with the simulator's status.
#
# usage: run_demo.sh [BIN_DIR]   (default build/bin)
set -eu

bin=${1:-build/bin}
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
host_pid=
tail_pid=

cleanup() {
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  [ -z "$tail_pid" ] || kill "$tail_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

: >"$work/host.log"  # exists before the background host opens it
"$bin/velkor-host" --port 0 --cards "$root/examples/host/cards.txt" \
  >"$work/host.log" 2>"$work/host.err" &
host_pid=$!

# The host prints the port it got; wait for that line (5 s at most) or for the host to fail.
port=
tries=0
while [ -z "$port" ]; do
  port=$(sed -n 's/^velkor-host: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/host.log")
  [ -n "$port" ] && break
  if ! kill -0 "$host_pid" 2>/dev/null || [ "$tries" -ge 50 ]; then
    cat "$work/host.err" >&2
    echo "run_demo: velkor-host did not start" >&2
    exit 1
  fi
  tries=$((tries + 1))
  sleep 0.1
done

echo "== The exchange as velkor-host sees it (<- device packet, -> reply)"
tail -n +1 -f --pid="$host_pid" "$work/host.log" &
tail_pid=$!

status=0
"$bin/velkor-sim" --port "$port" --devices 4 --rounds 2 --seed 6 --faults all \
  --interval-ms 20 --quiet >"$work/sim.log" 2>&1 || status=$?

kill -TERM "$host_pid" 2>/dev/null || true
wait "$host_pid" || status=1
host_pid=
wait "$tail_pid" || true
tail_pid=

echo
echo "== Summary"
tail -n 1 "$work/host.log"
cat "$work/sim.log"
exit "$status"
