#!/bin/sh
# velkor-inspect --live on the loopback interface while velkor-host and velkor-sim talk over
# 127.0.0.1: every packet of the exchange is printed as it comes, and Ctrl-C (SIGINT) prints a
# summary that counts them, by family and by key text; with --json each report is a line of its
# own and the summary the last. Without capture rights the test is
# skipped (exit status 77); when it runs as root it also checks that an unprivileged user gets
# the message that names the missing right.
#
# usage: run_live_capture.sh BIN_DIR CARDS_FILE
set -eu
# Cross builds run their programs under an emulator (qemu-user), named by their tests.
run=${VELKOR_EMULATOR:-}

bin=$1
cards=$2
work=$(mktemp -d)
host_pid=
inspect_pid=

cleanup() {
  [ -z "$inspect_pid" ] || kill "$inspect_pid" 2>/dev/null || true
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  for log in inspect.out inspect.err host.log sim.log; do
    echo "--- $log (last lines)"
    tail -n 30 "$work/$log" 2>/dev/null || true
  done
  exit 1
}

# wait_for FILE PATTERN PID WHAT: up to 10 s for a line matching PATTERN while PID runs.
wait_for() {
  tries=0
  until grep -q "$2" "$1" 2>/dev/null; do
    kill -0 "$3" 2>/dev/null || return 1
    [ "$tries" -lt 100 ] || fail "$4 within 10 s"
    tries=$((tries + 1))
    sleep 0.1
  done
}

: >"$work/host.log"
$run "$bin/velkor-host" --port 0 --cards "$cards" >"$work/host.log" 2>&1 &
host_pid=$!
wait_for "$work/host.log" "listening on" "$host_pid" "velkor-host printed no port" ||
  fail "velkor-host did not start"
port=$(sed -n 's/^velkor-host: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/host.log")

# capture OUTPUT [options]: velkor-inspect --live on lo around one simulator run, stopped with
# SIGINT; its standard output goes to OUTPUT.
capture() {
  file=$1
  shift
  : >"$work/inspect.err"
  $run "$bin/velkor-inspect" --live lo --filter "udp port $port" "$@" >"$file" 2>"$work/inspect.err" &
  inspect_pid=$!
  if ! wait_for "$work/inspect.err" "capturing on lo" "$inspect_pid" \
      "velkor-inspect did not start capturing"; then
    if grep -q "no permission to capture" "$work/inspect.err"; then
      echo "SKIP: no capture rights here: $(cat "$work/inspect.err")"
      exit 77
    fi
    fail "velkor-inspect ended before capturing"
  fi

  timeout 60 $run "$bin/velkor-sim" --port "$port" --quiet --timeout-ms 5000 --devices 2 --rounds 1 \
    --seed 21 >"$work/sim.log" 2>&1 || fail "velkor-sim failed"

  # Every datagram of the exchange arrived before the simulator ended; give the printing a moment.
  sleep 0.3
  kill -INT "$inspect_pid"
  status=0
  tries=0
  while kill -0 "$inspect_pid" 2>/dev/null; do
    [ "$tries" -lt 100 ] || fail "velkor-inspect did not stop within 10 s of SIGINT"
    tries=$((tries + 1))
    sleep 0.1
  done
  wait "$inspect_pid" || status=$?
  inspect_pid=
  [ "$status" -eq 0 ] || fail "velkor-inspect ended with status $status after SIGINT"
}

capture "$work/inspect.out"
out=$work/inspect.out
printed=$(grep -c '^packet [0-9]* (lo frame ' "$out" || true)
summary=$(sed -n 's/^summary: \([0-9]*\) packets on lo .*/\1/p' "$out")
[ -n "$summary" ] || fail "no summary after SIGINT"
[ "$printed" -gt 0 ] || fail "no packet printed"
[ "$summary" -eq "$printed" ] || fail "summary counts $summary packets, $printed printed"
incoming=$(sed -n 's/^  by key text: .*incoming \([0-9]*\).*/\1/p' "$out")
outgoing=$(sed -n 's/^  by key text: .*outgoing \([0-9]*\).*/\1/p' "$out")
[ "${incoming:-0}" -gt 0 ] && [ "${outgoing:-0}" -gt 0 ] ||
  fail "the summary does not count both directions"
[ $((incoming + outgoing)) -eq "$summary" ] || fail "key text counts do not add up to $summary"
grep -q '^  by family: .*poll [0-9]' "$out" || fail "the summary counts no poll"

# With --json: one object a line, the summary last.
capture "$work/inspect.json" --json
lines=$(wc -l <"$work/inspect.json")
reports=$(grep -c '^{"index":[0-9]*,"source":{"interface":"lo","frame":' "$work/inspect.json" || true)
tail -n 1 "$work/inspect.json" | grep -q "^{\"summary\":{\"interface\":\"lo\",\"packets\":$reports," ||
  fail "JSON: the last line is no summary of $reports packets: $(tail -n 1 "$work/inspect.json")"
[ "$reports" -gt 0 ] && [ "$reports" -eq $((lines - 1)) ] ||
  fail "JSON: $reports reports in $lines lines"

# Without the right to capture, the message says which right is missing. The unprivileged user
# may not enter the build folder (a clone in root's home): it runs a copy, with the libraries
# the build links beside it, from a folder of its own.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  mkdir "$work/unprivileged"
  cp -L "$bin/velkor-inspect" "$bin"/lib*.so* "$work/unprivileged/" 2>/dev/null ||
    cp -L "$bin/velkor-inspect" "$work/unprivileged/"
  chmod 755 "$work" "$work/unprivileged"
  chmod -R a+rX "$work/unprivileged"
  status=0
  setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
    "$work/unprivileged/velkor-inspect" --live lo >/dev/null 2>"$work/denied.err" || status=$?
  [ "$status" -eq 1 ] || fail "an unprivileged capture ended with status $status"
  grep -q "no permission to capture on lo: .*CAP_NET_RAW" "$work/denied.err" ||
    fail "unprivileged capture: $(cat "$work/denied.err")"
fi
echo "PASS: $printed packets captured live, summary agrees"
