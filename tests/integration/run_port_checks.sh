#!/bin/sh
# The processes fail fast and clearly instead of hanging: a second velkor-host on a port in
# use exits at once with a message that says so, and velkor-sim against a closed port exits
# non-zero within its first reply timeout.
#
# usage: run_port_checks.sh BIN_DIR
set -eu
# Cross builds run their programs under an emulator (qemu-user), named by their tests.
run=${VELKOR_EMULATOR:-}

bin=$1
work=$(mktemp -d)
host_pid=

cleanup() {
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  for log in "$work"/*; do
    echo "--- $log"
    cat "$log"
  done
  exit 1
}

: >"$work/first.log"  # exists before the background host opens it
$run "$bin/velkor-host" --port 0 --quiet >"$work/first.log" 2>&1 &
host_pid=$!
port=
tries=0
while [ -z "$port" ]; do
  port=$(sed -n 's/^velkor-host: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/first.log")
  [ -n "$port" ] && break
  [ "$tries" -lt 100 ] || fail "velkor-host printed no port within 10 s"
  tries=$((tries + 1))
  sleep 0.1
done

status=0
timeout 10 $run "$bin/velkor-host" --port "$port" >"$work/second.log" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "a second host on port $port started"
[ "$status" -ne 124 ] || fail "a second host on port $port hung"
grep -q "port $port on 127.0.0.1 is already in use" "$work/second.log" ||
  fail "no clear message for a port in use"

kill -TERM "$host_pid" 2>/dev/null || true
wait "$host_pid" || fail "velkor-host did not stop cleanly"
host_pid=

# The port is closed now: the simulator's first packet finds nobody.
status=0
timeout 20 $run "$bin/velkor-sim" --port "$port" --devices 2 --rounds 1 --timeout-ms 500 \
  >"$work/sim.log" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "velkor-sim against a closed port exited with $status"
grep -q 'host unreachable' "$work/sim.log" || fail "velkor-sim did not say the host is unreachable"
echo "ok: port in use refused, closed port reported"
