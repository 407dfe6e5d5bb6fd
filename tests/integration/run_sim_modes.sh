#!/bin/sh
# velkor-sim's larger runs against velkor-host, as processes over UDP on 127.0.0.1:
#   shared   300 devices on 16 sockets: every reply verified, the host's counts match, and the
#            report holds every device and the cards file's cards
#   load     --load 2: exit status 0 and a load line that parses, with a rate above 0
#   killed   the host killed mid-run: the run ends early, exit status 1, report incomplete
#   signal   SIGTERM to the simulator mid-load: exit status 1, report written, ended by signal
#
# usage: run_sim_modes.sh BIN_DIR CARDS_FILE MODE
set -eu
# Cross builds run their programs under an emulator (qemu-user), named by their tests.
run=${VELKOR_EMULATOR:-}
. "$(dirname "$0")/../support/await_port.sh"

bin=$1
cards=$2
mode=$3
work=$(mktemp -d)
host_pid=
sim_pid=

cleanup() {
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- velkor-sim (last lines)"
  tail -n 40 "$work/sim.log" 2>/dev/null || true
  echo "--- velkor-host (last lines)"
  tail -n 20 "$work/host.log" 2>/dev/null || true
  exit 1
}

number_after() {
  sed -n "/$1/{s/.*$2 \\([0-9]*\\).*/\\1/p;q;}" "$3"
}

start_host() {
  : >"$work/host.log"
  $run "$bin/velkor-host" --port 0 --quiet --cards "$cards" >"$work/host.log" 2>&1 &
  host_pid=$!
  await_port "$work/host.log" "$host_pid" 'velkor-host: listening on ' 10 ||
    fail "velkor-host did not start, or printed no port within 10 s"
}

stop_host() {
  kill -TERM "$host_pid" 2>/dev/null || true
  wait "$host_pid" || fail "velkor-host did not stop cleanly"
  host_pid=
}

# Waits up to $1 seconds for the simulator in the background; its exit status in $status.
wait_sim() {
  tries=0
  while kill -0 "$sim_pid" 2>/dev/null; do
    [ "$tries" -lt $(($1 * 10)) ] || fail "velkor-sim did not end within $1 s"
    tries=$((tries + 1))
    sleep 0.1
  done
  status=0
  wait "$sim_pid" || status=$?
  sim_pid=
}

report=$work/report.json
start_host
case $mode in
shared)
  status=0
  timeout 90 $run "$bin/velkor-sim" --port "$port" --devices 300 --sockets 16 --rounds 1 --seed 5 \
    --faults duplicate --timeout-ms 5000 --quiet --report "$report" >"$work/sim.log" 2>&1 ||
    status=$?
  stop_host
  [ "$status" -eq 0 ] || fail "velkor-sim exited with status $status"
  sent=$(number_after 'packets sent' 'packets sent' "$work/sim.log")
  accepted=$(number_after 'accepted' 'accepted' "$work/host.log")
  [ "$accepted" -eq "$sent" ] || fail "host accepted $accepted packets, $sent were sent"
  devices=$(grep -c '"serial": "[0-9A-F]\{14\}"' "$report") || true
  [ "$devices" -eq 300 ] || fail "the report lists $devices devices"
  grep -q '"complete": true' "$report" || fail "the report is not complete"
  for card in 1001 1002 40213377 1099511627775; do
    grep -q "\"cardNumber\": $card," "$report" || fail "card $card is not in any device's state"
  done
  echo "ok: 300 devices on 16 sockets, $sent packets, report complete"
  ;;
load)
  status=0
  timeout 60 $run "$bin/velkor-sim" --port "$port" --devices 40 --sockets 8 --load 2 \
    --timeout-ms 5000 --retries 2 --report "$report" >"$work/sim.log" 2>&1 || status=$?
  stop_host
  [ "$status" -eq 0 ] || fail "velkor-sim exited with status $status"
  line=$(grep '^velkor-sim: load ' "$work/sim.log") || fail "no load line"
  echo "$line" | grep -Eq '^velkor-sim: load 2 s, [0-9]+ exchanges, [0-9]+\.[0-9] exchanges/s, latency p50 [0-9]+ us, p99 [0-9]+ us, p99\.9 [0-9]+ us, max [0-9]+ us$' ||
    fail "load line does not parse: $line"
  rate=$(echo "$line" | sed 's/.* \([0-9]*\)\.[0-9] exchanges\/s.*/\1/')
  exchanges=$(echo "$line" | sed 's/.*, \([0-9]*\) exchanges,.*/\1/')
  [ "$exchanges" -gt 0 ] && [ "$rate" -gt 0 ] || fail "no exchanges: $line"
  grep -q '"complete": true' "$report" || fail "the report is not complete"
  echo "ok: $line"
  ;;
killed)
  $run "$bin/velkor-sim" --port "$port" --devices 8 --rounds 100000 --quiet --report "$report" \
    >"$work/sim.log" 2>&1 &
  sim_pid=$!
  sleep 1
  kill -KILL "$host_pid"
  wait "$host_pid" 2>/dev/null || true
  host_pid=
  wait_sim 10
  [ "$status" -eq 1 ] || fail "velkor-sim exited with status $status"
  grep -q '"complete": false' "$report" || fail "the report does not say it is incomplete"
  grep -q '"ended": "host stopped answering"' "$report" || fail "the report does not say why"
  grep -q 'host stopped answering' "$work/sim.log" || fail "velkor-sim did not say why"
  echo "ok: the host's end ended the run"
  ;;
signal)
  $run "$bin/velkor-sim" --port "$port" --devices 8 --load 60 --report "$report" \
    >"$work/sim.log" 2>&1 &
  sim_pid=$!
  sleep 1
  kill -TERM "$sim_pid"
  wait_sim 10
  stop_host
  [ "$status" -eq 1 ] || fail "velkor-sim exited with status $status"
  grep -q '"ended": "signal"' "$report" || fail "the report does not say it was stopped"
  grep -q '"complete": false' "$report" || fail "the report does not say it is incomplete"
  grep -q '^velkor-sim: load 60 s, ' "$work/sim.log" || fail "no load line"
  echo "ok: stopped by SIGTERM, report written"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
