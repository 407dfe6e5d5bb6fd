#!/bin/sh
# The gateway's throughput and latency against its floor, in one run: 1,000 simulated devices in
# load mode on loopback, each keeping one packet outstanding.
#   floor:   velkor-gateway --echo-only (the same socket code; PreparePackage + SendDeviceEcho,
#            nothing stored)
#   gateway: velkor-gateway on a scratch SQLite store (synchronous=FULL, every event committed
#            before its reply)
# for (i) polls and (ii) event reports of 8 records each. Prints each load line and the ratios.
#
# usage: gateway_bench.sh [BIN_DIR] [SECONDS] [DEVICES]   (default build/bin 10 1000)
set -eu

bin=$(cd "${1:-build/bin}" && pwd)
seconds=${2:-10}
devices=${3:-1000}
work=$(mktemp -d)
pid=

cleanup() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start() {  # start NAME OPTIONS...: a gateway in its own folder; sets pid and port
  name=$1
  shift
  mkdir -p "$work/$name"
  : >"$work/$name/out"
  (cd "$work/$name" && exec "$bin/velkor-gateway" --listen 127.0.0.1:0 --http 127.0.0.1:0 \
    --token bench "$@" >out 2>&1) &
  pid=$!
  port=
  while [ -z "$port" ]; do
    port=$(sed -n 's/^udp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/$name/out")
    kill -0 "$pid" 2>/dev/null || { cat "$work/$name/out"; exit 1; }
    sleep 0.1
  done
}

stop() {
  kill -TERM "$pid"
  wait "$pid" || true
  pid=
}

load() {  # load TRAFFIC: prints "rate p50 p99 max" of one load run against $port
  line=$("$bin/velkor-sim" --port "$port" --devices "$devices" --load "$seconds" \
    --traffic "$1" --events-per-report 8 --timeout-ms 2000 --retries 2 --quiet |
    grep '^velkor-sim: load ')
  echo "  $1: $line" >&2
  echo "$line" | sed 's/.*, \([0-9.]*\) exchanges\/s, latency p50 \([0-9]*\) us, p99 \([0-9]*\) us, max \([0-9]*\) us.*/\1 \2 \3 \4/'
}

echo "velkor-gateway benchmark: $devices devices, $seconds s per run ($(nproc) cores)"
echo "floor (--echo-only):"
start floor --echo-only
floor_polls=$(load polls)
floor_events=$(load events)
stop
echo "gateway (SQLite, synchronous=FULL):"
start gateway --admit any --db velkor.db
gw_polls=$(load polls)
gw_events=$(load events)
stop

ratio() { echo "$1 $2" | awk '{ printf "%.2f", $1 / $2 }'; }
set -- $floor_polls
fp_rate=$1 fp_p99=$3
set -- $floor_events
fe_rate=$1 fe_p99=$3
set -- $gw_polls
gp_rate=$1 gp_p99=$3
set -- $gw_events
ge_rate=$1 ge_p99=$3
echo "ratios (target):"
echo "  polls:  rate $(ratio "$gp_rate" "$fp_rate") x floor (>= 0.8), p99 $(ratio "$gp_p99" "$fp_p99") x floor (<= 2)"
echo "  events: rate $(ratio "$ge_rate" "$fe_rate") x floor (>= 0.5), p99 $(ratio "$ge_p99" "$fe_p99") x floor (<= 2)"
