#!/bin/sh
# Runs a binding's example host and velkor-sim over UDP on 127.0.0.1 and checks the outcome:
# the simulator verified every reply, and the host accepted and answered every intact packet,
# refused the spoiled ones and decoded every event reported. The host is given port 0 as its
# first argument, prints "...: listening on 127.0.0.1:PORT", and stops with a summary line
# when its standard input ends.
#
# usage: run_host_exchange.sh VELKOR_SIM "SIM OPTIONS" HOST_COMMAND...
set -eu
. "$(dirname "$0")/../tests/support/await_port.sh"

sim=$1
sim_options=$2
shift 2
work=$(mktemp -d)
host_pid=

cleanup() {
  exec 3>&- 2>/dev/null || true
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- velkor-sim"
  cat "$work/sim.log" 2>/dev/null || true
  echo "--- host"
  tail -n 40 "$work/host.log" 2>/dev/null || true
  cat "$work/host.err" 2>/dev/null || true
  exit 1
}

number_after() {
  sed -n "/$1/{s/.*$2 \\([0-9]*\\).*/\\1/p;q;}" "$3"
}

mkfifo "$work/input"
: >"$work/host.log"
"$@" 0 <"$work/input" >"$work/host.log" 2>"$work/host.err" &
host_pid=$!
exec 3>"$work/input"  # the host's standard input, open until the simulator is done

await_port "$work/host.log" "$host_pid" '.*: listening on ' 20 ||
  fail "the host did not start, or printed no port within 20 s"

sim_status=0
# shellcheck disable=SC2086 # the options are a word list
timeout 90 "$sim" --port "$port" --quiet --timeout-ms 5000 $sim_options >"$work/sim.log" 2>&1 ||
  sim_status=$?

exec 3>&-  # end of input: the host prints its summary and ends
tries=0
while kill -0 "$host_pid" 2>/dev/null; do
  [ "$tries" -lt 200 ] || fail "the host did not stop within 20 s of its input ending"
  tries=$((tries + 1))
  sleep 0.1
done
host_status=0
wait "$host_pid" || host_status=$?
host_pid=

[ "$sim_status" -eq 0 ] || fail "velkor-sim exited with status $sim_status"
[ "$host_status" -eq 0 ] || fail "the host exited with status $host_status"
grep -q '^velkor-sim: every reply verified$' "$work/sim.log" || fail "no verdict from velkor-sim"

sent=$(number_after 'packets sent' 'packets sent' "$work/sim.log")
verified=$(number_after 'replies verified' 'replies verified' "$work/sim.log")
events=$(number_after 'events reported' 'events reported' "$work/sim.log")
grep 'packets accepted' "$work/host.log" >"$work/summary" || fail "no summary from the host"
accepted=$(number_after 'accepted' 'accepted' "$work/summary")
decoded=$(number_after 'events decoded' 'events decoded' "$work/summary")
replies=$(number_after 'replies sent' 'replies sent' "$work/summary")

[ "$sent" -gt 0 ] || fail "no packet sent"
[ "$verified" -eq "$sent" ] || fail "$verified replies verified for $sent packets"
[ "$accepted" -eq "$sent" ] || fail "host accepted $accepted packets, $sent were sent intact"
[ "$replies" -eq "$accepted" ] || fail "host sent $replies replies for $accepted packets"
[ "$decoded" -eq "$events" ] || fail "host decoded $decoded events, $events were reported"
echo "ok: $sent packets, $verified replies verified, $events events decoded"
