#!/bin/sh
# Runs velkor-host and velkor-sim as processes over UDP on 127.0.0.1 and checks the outcome:
# the simulator verified every reply (exit status 0), the host refused exactly the spoiled
# packets, decoded every event reported and sent one reply per accepted packet, and both
# processes ended on their own terms.
#
# usage: run_exchange.sh BIN_DIR CARDS_FILE [velkor-sim options...]
set -eu
# Cross builds run their programs under an emulator (qemu-user), named by their tests.
run=${VELKOR_EMULATOR:-}
. "$(dirname "$0")/../support/await_port.sh"

bin=$1
cards=$2
shift 2
work=$(mktemp -d)
host_pid=

cleanup() {
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- velkor-sim"
  cat "$work/sim.log" 2>/dev/null || true
  echo "--- velkor-host (last lines)"
  tail -n 40 "$work/host.log" 2>/dev/null || true
  cat "$work/host.err" 2>/dev/null || true
  exit 1
}

# A number from a summary line: the word after "$2" in the first line matching "$1".
number_after() {
  sed -n "/$1/{s/.*$2 \\([0-9]*\\).*/\\1/p;q;}" "$3"
}

: >"$work/host.log"  # exists before the background host opens it
$run "$bin/velkor-host" --port 0 --cards "$cards" >"$work/host.log" 2>"$work/host.err" &
host_pid=$!
await_port "$work/host.log" "$host_pid" 'velkor-host: listening on ' 10 ||
  fail "velkor-host did not start, or printed no port within 10 s"

sim_status=0
# A generous reply timeout: a loaded machine (sanitizers, parallel tests) must not read as a
# missing reply. It only costs time when a reply really is missing.
timeout 90 $run "$bin/velkor-sim" --port "$port" --quiet --timeout-ms 5000 "$@" >"$work/sim.log" 2>&1 || sim_status=$?

# A host that is gone already (it crashed) shows in its exit status.
kill -TERM "$host_pid" 2>/dev/null || true
host_status=0
wait "$host_pid" || host_status=$?
host_pid=

[ "$sim_status" -eq 0 ] || fail "velkor-sim exited with status $sim_status"
[ "$host_status" -eq 0 ] || fail "velkor-host exited with status $host_status"
grep -q '^velkor-sim: every reply verified$' "$work/sim.log" || fail "no verdict from velkor-sim"

sent=$(number_after 'packets sent' 'packets sent' "$work/sim.log")
verified=$(number_after 'replies verified' 'replies verified' "$work/sim.log")
events=$(number_after 'events reported' 'events reported' "$work/sim.log")
corrupt=$(number_after 'faults injected' 'corrupt-block' "$work/sim.log")
serial=$(number_after 'faults injected' 'wrong-serial' "$work/sim.log")
truncated=$(number_after 'faults injected' 'truncated' "$work/sim.log")
answered=$(number_after 'faults injected' 'spoiled packets answered' "$work/sim.log")
spoiled=$((corrupt + serial + truncated))

summary=$(grep '^velkor-host: packets accepted' "$work/host.log") || fail "no summary from velkor-host"
echo "$summary" >"$work/host.summary"
accepted=$(number_after 'accepted' 'accepted' "$work/host.summary")
refused=$(number_after 'refused' 'refused' "$work/host.summary")
decoded=$(number_after 'events decoded' 'events decoded' "$work/host.summary")
replies=$(number_after 'replies sent' 'replies sent' "$work/host.summary")

[ "$sent" -gt 0 ] || fail "no packet sent"
[ "$verified" -eq "$sent" ] || fail "$verified replies verified for $sent packets"
[ "$answered" -eq 0 ] || fail "$answered spoiled packets were answered"
[ "$refused" -eq "$spoiled" ] || fail "host refused $refused packets, $spoiled were spoiled"
[ "$accepted" -eq "$sent" ] || fail "host accepted $accepted packets, $sent were sent intact"
[ "$replies" -eq "$accepted" ] || fail "host sent $replies replies for $accepted packets"
[ "$decoded" -eq "$events" ] || fail "host decoded $decoded events, $events were reported"

echo "ok: $sent packets, $verified replies verified, $events events, $spoiled spoiled and refused"
