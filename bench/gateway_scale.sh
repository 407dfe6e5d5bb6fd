#!/bin/sh
# The gateway at scale, in two runs of SECONDS each on loopback:
#   A: one gateway on a scratch SQLite store (--db velkor.db), DEVICES simulated devices;
#   B: two gateways sharing one database of a scratch PostgreSQL (tests/support/
#      scratch_postgres.sh), each in its own folder on its own ports, DEVICES/2 devices against
#      each from two simulators side by side, with different seeds so that their serials differ;
#   C (only when asked for, RUNS="B C"): the same simulators against one gateway on PostgreSQL,
#      the figure two gateways are compared with.
# Every device is admitted at first contact (--admit any) and, in load mode, keeps one event
# report of 8 records outstanding (--traffic events --events-per-report 8): the traffic that
# writes, every report committed before its reply. Polls store nothing; bench/gateway_bench.sh
# measures them.
#
# Per run: packets/s (the simulators' verified exchanges per second, summed), p99 latency (the
# worse simulator's), events stored per second of load (the gateways' events_stored, summed,
# over SECONDS), each gateway's peak resident memory (VmHWM just before it is stopped) and the
# events lost: those a simulator saw acknowledged (a verified reply) that the store lacks.
# When the simulators reported at most CHECK_EVENTS events (environment, default 10,000,000),
# their reports (--report) and the store, read back page by page through GET /api/v1/events,
# are compared device by device as multisets of records (serial, raw); stored records no
# simulator reported are counted too, as extra. That takes about 20 s and a few GB of memory
# per million events (the defaults make about 4 million a run). Above the limit only the counts
# are compared: events verified (from the reports) against events_stored, which cannot tell a
# lost event from an unacknowledged one stored. The last lines say which comparison each run
# got. The reports take about 110 bytes per event (1 GB at 10 million): check the room in TMPDIR.
#
# RUNS="A" or RUNS="B" makes one run alone. Exit status 1 when a simulator saw a reply that did
# not verify, a gateway did not stop cleanly, or an event was lost or extra; exchanges left
# unanswered at saturation are counted in the table instead.
#
# usage: gateway_scale.sh [BIN_DIR] [SECONDS] [DEVICES]   (default build/bin 60 10000)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:-build/bin}" && pwd)
seconds=${2:-60}
devices=${3:-10000}
check_events=${CHECK_EVENTS:-10000000}
pg=$here/../tests/support/scratch_postgres.sh
. "$here/../tests/support/await_port.sh"

[ "$devices" -ge 2 ] && [ "$devices" -le 10000 ] || { echo "DEVICES: 2..10000" >&2; exit 2; }
[ "$seconds" -ge 1 ] || { echo "SECONDS: at least 1" >&2; exit 2; }

work=$(mktemp -d)
chmod 711 "$work"  # as root, the PostgreSQL server runs as nobody and needs to reach $work/pg
gateways=  # "PID:NAME" of the gateways running
sims=      # PIDs of the simulators running
pg_started=
failed=

cleanup() {
  for p in $sims; do kill -TERM "$p" 2>/dev/null || true; done
  for g in $gateways; do kill -TERM "${g%%:*}" 2>/dev/null || true; done
  for g in $gateways; do await_exit "${g%%:*}" 30 || kill -KILL "${g%%:*}" 2>/dev/null || true; done
  [ -z "$pg_started" ] || sh "$pg" stop "$work/pg" >/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# await_exit PID SECONDS: waits for a child of this shell to end and reaps it; sets `status`.
# Returns 1 when it is still running after SECONDS.
await_exit() {
  _tries=0
  while :; do
    case $(ps -o stat= -p "$1" 2>/dev/null || true) in '' | Z*) break ;; esac
    [ "$_tries" -lt $(($2 * 10)) ] || return 1
    _tries=$((_tries + 1))
    sleep 0.1
  done
  status=0
  wait "$1" 2>/dev/null || status=$?
}

# start NAME OPTIONS...: a gateway in $work/NAME; sets gw_pid, gw_udp and gw_http.
start() {
  name=$1
  shift
  mkdir -p "$work/$name"
  : >"$work/$name/out"
  (cd "$work/$name" && exec "$bin/velkor-gateway" --listen 127.0.0.1:0 --http 127.0.0.1:0 \
    --token bench --admit any "$@" >out 2>&1) &
  gw_pid=$!
  gateways="$gateways $gw_pid:$name"
  if ! await_port "$work/$name/out" "$gw_pid" 'udp ' 60 ||
    ! await_port "$work/$name/out" "$gw_pid" 'http http:\/\/' 10; then
    echo "gateway $name did not start:" >&2
    cat "$work/$name/out" >&2
    exit 1
  fi
  gw_http=$port
  gw_udp=$(sed -n 's/^udp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/$name/out")
}

# stop PID NAME: reads the gateway's peak resident memory (VmHWM, in MiB, into `mib`) and
# stops it with SIGTERM. Marks the run failed when it does not stop within 60 s or stops with
# an error.
stop() {
  kb=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB$/\1/p' "/proc/$1/status" 2>/dev/null) || kb=0
  mib=$(echo "$kb" | awk '{ printf "%.0f", $1 / 1024 }')
  kill -TERM "$1"
  if ! await_exit "$1" 60; then
    echo "gateway $2 did not stop within 60 s" >&2
    kill -KILL "$1" 2>/dev/null || true
    await_exit "$1" 10 || true
    failed=1
  elif [ "$status" -ne 0 ]; then
    echo "gateway $2 stopped with status $status:" >&2
    tail -n 20 "$work/$2/out" >&2
    failed=1
  fi
  gateways=$(echo "$gateways" | tr ' ' '\n' | grep -v "^$1:" | tr '\n' ' ') || true
}

# sim NAME UDP_PORT DEVICES SEED: a simulator in the background, its output in
# $work/NAME.out and its report in $work/NAME.json; adds its PID to `sims`.
sim() {
  timeout $((seconds + 300)) "$bin/velkor-sim" --port "$2" --devices "$3" --seed "$4" \
    --load "$seconds" --traffic events --events-per-report 8 --timeout-ms 2000 --retries 2 \
    --quiet --report "$work/$1.json" >"$work/$1.out" 2>&1 &
  sims="$sims $!"
  eval "sim_pid_$1=\$!"
}

# await_sim NAME: waits for it, echoes its load and summary lines to stderr; sets `rate`,
# `p99` (us) and `reported` (events). A simulator that saw a failure fails the run.
await_sim() {
  eval "p=\$sim_pid_$1"
  out=$work/$1.out
  await_exit "$p" $((seconds + 310)) || { echo "simulator $1 did not end" >&2; exit 1; }
  sims=$(echo "$sims" | tr ' ' '\n' | grep -vx "$p" | tr '\n' ' ') || true
  line=$(grep '^velkor-sim: load ' "$out" || true)
  if [ -z "$line" ]; then
    echo "simulator $1 (status $status) printed no load line:" >&2
    tail -n 20 "$out" >&2
    exit 1
  fi
  echo "  $1: $line" >&2
  # At saturation some exchanges go unanswered within the timeout and its retries (datagrams
  # dropped by a full socket buffer, replies late): counted, not failures. A reply that does not
  # verify is one.
  missing=$(sed -n 's/.*replies verified .*, missing \([0-9]*\).*/\1/p' "$out")
  wrong=$(sed -n 's/.*replies verified .*, failed \([0-9]*\),.*/\1/p' "$out")
  if [ "$status" -ne 0 ] && { [ "${wrong:-1}" -ne 0 ] || [ "${missing:-0}" -eq 0 ]; }; then
    echo "  $1 saw failures (status $status):" >&2
    sed -n '/replies verified/p;/^velkor-sim: [A-Z]/p' "$out" | sed 's/^/    /' >&2
    failed=1
  fi
  set -- $(echo "$line" |
    sed 's/.*, \([0-9.]*\) exchanges\/s, latency p50 [0-9]* us, p99 \([0-9]*\) us,.*/\1 \2/')
  rate=$1 p99=$2
  reported=$(sed -n 's/^ *events reported \([0-9]*\).*/\1/p' "$out")
}

# events_stored HTTP_PORT: the gateway's events_stored counter.
events_stored() {
  curl -sf --max-time 30 -H 'Authorization: Bearer bench' \
    "http://127.0.0.1:$1/api/v1/link" |
    python3 -c 'import json, sys; print(json.load(sys.stdin)["events_stored"])'
}

# Compares the simulators' reports with the store read back through one gateway's API;
# prints "verified stored lost extra".
cat >"$work/check.py" <<'EOF'
import collections
import json
import sys
import urllib.request

http, reports = sys.argv[1], sys.argv[2:]
reported, verified, stored = (collections.Counter() for _ in range(3))
serials = set()
for path in reports:
    with open(path) as f:
        report = json.load(f)
    for device in report["devices"]:
        serial = device["serial"].upper()
        if serial in serials:
            sys.exit(f"serial {serial} appears twice in the reports")
        serials.add(serial)
        for event in device["events"]:
            key = serial + event["raw"].upper()
            reported[key] += 1
            if event["verified"]:
                verified[key] += 1
    del report
after = 0
while True:
    request = urllib.request.Request(
        f"http://127.0.0.1:{http}/api/v1/events?after={after}&limit=1000",
        headers={"Authorization": "Bearer bench"})
    with urllib.request.urlopen(request, timeout=60) as response:
        page = json.load(response)
    if not page["events"]:
        break
    for event in page["events"]:
        stored[event["device"].upper() + event["raw"].upper()] += 1
    after = page["next"]
lost = sum((verified - stored).values())
extra = sum((stored - reported).values())
print(sum(verified.values()), sum(stored.values()), lost, extra)
EOF

# finish RUN GATEWAYS DEVICES SIMS...: after the simulators SIMS ran against the gateways in
# `run_gateways` ("PID:NAME:HTTP_PORT ..."), gathers the figures, stops the gateways and adds
# the run's row to the table.
finish() {
  run=$1 n_gateways=$2 n_devices=$3
  shift 3
  total_rate=0 worst_p99=0 total_reported=0 total_missing=0 reports=
  for sim_name in "$@"; do
    await_sim "$sim_name"
    total_rate=$(echo "$total_rate $rate" | awk '{ printf "%.1f", $1 + $2 }')
    [ "$p99" -le "$worst_p99" ] || worst_p99=$p99
    total_reported=$((total_reported + reported))
    total_missing=$((total_missing + ${missing:-0}))
    reports="$reports $work/$sim_name.json"
  done
  stored=0
  for g in $run_gateways; do
    count=$(events_stored "${g##*:}") || { echo "cannot read /api/v1/link of ${g#*:}" >&2; exit 1; }
    stored=$((stored + count))
  done
  first_http=$(echo "$run_gateways" | awk '{ print $1 }')
  first_http=${first_http##*:}
  if [ "$total_reported" -le "$check_events" ]; then
    echo "  comparing each device's events with the store..." >&2
    result=$(python3 "$work/check.py" "$first_http" $reports) ||
      { echo "the comparison failed" >&2; exit 1; }
    set -- $result
    verified=$1 listed=$2 lost=$3 extra=$4
    check="per-device multisets of (serial, raw): $verified verified, $listed in the store"
    if [ "$listed" -ne "$stored" ]; then
      echo "  the store lists $listed events, the gateways counted $stored" >&2
      failed=1
    fi
  else
    verified=0
    for r in $reports; do
      n=$(grep -c '"verified": true' "$r") || true
      verified=$((verified + ${n:-0}))
    done
    lost=$((verified > stored ? verified - stored : 0))
    extra=$((stored > total_reported ? stored - total_reported : 0))
    check="counts ($total_reported events reported > CHECK_EVENTS): $verified verified, $stored stored"
  fi
  [ "$lost" -eq 0 ] && [ "$extra" -eq 0 ] || failed=1
  memory=
  for g in $run_gateways; do
    pid=${g%%:*} rest=${g#*:}
    stop "$pid" "${rest%%:*}"
    memory="$memory${memory:+ / }$mib"
  done
  rm -f $reports
  p99_ms=$(echo "$worst_p99" | awk '{ printf "%.1f", $1 / 1000 }')
  per_second=$(echo "$stored $seconds" | awk '{ printf "%.0f", $1 / $2 }')
  lost_text=$lost
  [ "$extra" -eq 0 ] || lost_text="$lost ($extra extra)"
  rows="$rows$(printf '%-16s | %8s | %7s | %9s | %6s | %15s | %15s | %10s | %s' "$run" \
    "$n_gateways" "$n_devices" "$total_rate" "$p99_ms" "$per_second" "$memory" \
    "$total_missing" "$lost_text")
"
  checks="$checks  $run: $check
"
}

rows=
checks=
echo "velkor-gateway at scale: $devices devices, $seconds s of event reports (8 records) per run ($(nproc) cores)"

run_a() {
  echo "A: one gateway, SQLite (synchronous=FULL)"
  start sqlite --db velkor.db
  run_gateways="$gw_pid:sqlite:$gw_http"
  sim sim_a "$gw_udp" "$devices" 1
  finish "A SQLite" 1 "$devices" sim_a
}

run_b() {
  echo "B: two gateways, one PostgreSQL database"
  pg_started=1
  rm -rf "$work/pg"  # an empty database for each run
  url=$(sh "$pg" start "$work/pg")
  echo "  $url"
  start pg1 --db "$url"
  run_gateways="$gw_pid:pg1:$gw_http"
  udp1=$gw_udp
  start pg2 --db "$url"
  run_gateways="$run_gateways $gw_pid:pg2:$gw_http"
  half=$((devices / 2))
  sim sim_b1 "$udp1" "$half" 1
  sim sim_b2 "$gw_udp" $((devices - half)) 2
  finish "B PostgreSQL" 2 "$devices" sim_b1 sim_b2
  sh "$pg" stop "$work/pg"
  pg_started=
}

run_c() {
  echo "C: one gateway, PostgreSQL"
  pg_started=1
  rm -rf "$work/pg"  # an empty database for each run
  url=$(sh "$pg" start "$work/pg")
  echo "  $url"
  start pg --db "$url"
  run_gateways="$gw_pid:pg:$gw_http"
  half=$((devices / 2))
  sim sim_c1 "$gw_udp" "$half" 1
  sim sim_c2 "$gw_udp" $((devices - half)) 2
  finish "C PostgreSQL" 1 "$devices" sim_c1 sim_c2
  sh "$pg" stop "$work/pg"
  pg_started=
}

for r in ${RUNS:-A B}; do
  case $r in
    A) run_a ;;
    B) run_b ;;
    C) run_c ;;
    *) echo "RUNS: A, B and/or C" >&2; exit 2 ;;
  esac
done

echo
printf '%-16s | %8s | %7s | %9s | %6s | %15s | %15s | %10s | %s\n' run gateways devices \
  packets/s "p99 ms" "events stored/s" "MiB per gateway" unanswered lost
printf '%s' "$rows"
echo "unanswered: exchanges with no reply within the timeout and 2 retries (their events may be"
echo "  stored: the reply, not the event, was late or dropped)"
echo "lost: events acknowledged to a simulator but not in the store; checked by"
printf '%s' "$checks"
[ -z "$failed" ] || { echo "FAILED: see above" >&2; exit 1; }
