#!/bin/sh
# The gateway against its floors, on loopback, closed and open loop. Servers:
#   echo-only:     velkor-gateway --echo-only (recvmmsg/sendmmsg batches, PreparePackage +
#                  SendDeviceEcho, nothing stored)
#   durable-floor: velkor-gateway --durable-floor FILE (the same, but each batch's event reports
#                  appended to FILE and fdatasync'd before the batch's replies: the disk's own
#                  limit for stored-before-acknowledged)
#   sqlite:        velkor-gateway --admit any on a scratch SQLite store (synchronous=FULL)
#   postgresql:    velkor-gateway --admit any on a scratch PostgreSQL server
#                  (tests/support/scratch_postgres.sh: fsync and synchronous_commit on)
# For each number of devices (1,000 and 10,000) and each traffic (polls; event reports of 8
# records), every server gets a closed-loop run (each device keeps one packet outstanding: the
# capacity), then open-loop runs (velkor-sim --rate: the fleet sends on a fixed schedule,
# latency from each packet's due time) at 10%, 50% and 90% of the gateway's capacity, the lower
# of the SQLite and the PostgreSQL gateway's closed-loop rates for that traffic; the floors run
# at the same offered rates, so each ratio compares like with like. Each server starts afresh
# (an empty store) for each traffic and number of devices, and meets the fleet first in 2 s of
# polls that are not measured (a site's devices are known: first contacts are not its load).
# Every run is that fleet (--fleet-seed) with a seed of its own, so no report repeats an earlier
# one's bytes.
#
# Prints a row per run and the ratios against the targets, and writes OUT/gateway_bench.dat
# (one line per run) and OUT/gateway_bench.png (p99 against offered load, log scale, one line
# per server, one panel per traffic and number of devices; needs gnuplot, Debian package
# gnuplot-nox, which `make bench-gateway` installs). About 20 minutes at the default 8 s a run.
# The stores live under TMPDIR (default /tmp): it must be on the disk to measure, not a tmpfs.
#
# usage: gateway_bench.sh [BIN_DIR] [SECONDS] [OUT]   (default build/bin 8 BIN_DIR/../bench-gateway)
# environment: DEVICES="1000 10000", TRAFFIC="polls events", LOADS="10 50 90",
#   SERVERS="echo-only durable-floor sqlite postgresql" to run a part (the open-loop rates need
#   sqlite or postgresql among the servers), GATEWAY_OPTIONS="..." added to the stored
#   gateways' command lines (to compare a setting).
# Exit status 1 when a run saw a reply that did not verify or a server did not stop cleanly;
# packets unanswered within the timeout are counted in the table instead.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:-build/bin}" && pwd)
seconds=${2:-8}
out=${3:-$bin/../bench-gateway}
devices_list=${DEVICES:-1000 10000}
traffic_list=${TRAFFIC:-polls events}
loads=${LOADS:-10 50 90}
servers=${SERVERS:-echo-only durable-floor sqlite postgresql}
gateway_options=${GATEWAY_OPTIONS:-}
pg=$here/../tests/support/scratch_postgres.sh
. "$here/../tests/support/await_port.sh"

case $seconds in '' | *[!0-9]*) echo "SECONDS: a whole number, 1..600" >&2; exit 2 ;; esac
[ "$seconds" -ge 1 ] && [ "$seconds" -le 600 ] || { echo "SECONDS: 1..600" >&2; exit 2; }
for d in $devices_list; do
  case $d in '' | *[!0-9]*) echo "DEVICES: numbers 1..10000" >&2; exit 2 ;; esac
  [ "$d" -ge 1 ] && [ "$d" -le 10000 ] || { echo "DEVICES: 1..10000" >&2; exit 2; }
done
for t in $traffic_list; do
  case $t in polls | events) ;; *) echo "TRAFFIC: polls and/or events" >&2; exit 2 ;; esac
done
for l in $loads; do
  case $l in '' | *[!0-9]*) echo "LOADS: percentages 1..100" >&2; exit 2 ;; esac
  [ "$l" -ge 1 ] && [ "$l" -le 100 ] || { echo "LOADS: 1..100" >&2; exit 2; }
done
for s in $servers; do
  case $s in echo-only | durable-floor | sqlite | postgresql) ;;
    *) echo "SERVERS: echo-only, durable-floor, sqlite, postgresql" >&2; exit 2 ;;
  esac
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

work=$(mktemp -d)
chmod 711 "$work"  # as root, the PostgreSQL server runs as nobody and needs to reach $work/pg
case $(stat -f -c %T "$work") in
  tmpfs | ramfs) echo "warning: $work is on a $(stat -f -c %T "$work"): fdatasync costs nothing" \
    "there; set TMPDIR to a folder on the disk to measure" >&2 ;;
esac
gw_pid=
sim_pid=
pg_url=
failed=

cleanup() {
  [ -z "$sim_pid" ] || kill -TERM "$sim_pid" 2>/dev/null || true
  if [ -n "$gw_pid" ]; then
    kill -TERM "$gw_pid" 2>/dev/null || true
    await_exit "$gw_pid" 30 || kill -KILL "$gw_pid" 2>/dev/null || true
  fi
  [ -z "$pg_url" ] || sh "$pg" stop "$work/pg" >/dev/null || true
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

# fresh_pg: a new database on the scratch server (started at first use); sets db_url.
pg_databases=0
fresh_pg() {
  if [ -z "$pg_url" ]; then
    pg_url=$(sh "$pg" start "$work/pg") || { echo "the scratch PostgreSQL did not start" >&2; exit 1; }
  fi
  pg_databases=$((pg_databases + 1))
  rest=${pg_url#postgresql://}
  user=${rest%%@*}
  hostport=${rest#*@}
  hostport=${hostport%%/*}
  PGCONNECT_TIMEOUT=5 psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "${hostport#*:}" -U "$user" \
    -d postgres -c "CREATE DATABASE bench_$pg_databases" >/dev/null ||
    { echo "cannot create a database on $pg_url" >&2; exit 1; }
  db_url=postgresql://$user@$hostport/bench_$pg_databases
}

# has WORD LIST...: whether WORD is one of LIST.
has() {
  _word=$1
  shift
  for _item in "$@"; do [ "$_item" = "$_word" ] && return 0; done
  return 1
}

# start SERVER: the server afresh in its own folder; sets gw_pid and udp.
start() {
  dir=$work/$1
  rm -rf "$dir"
  mkdir -p "$dir"
  case $1 in
    echo-only) set -- --echo-only ;;
    durable-floor) set -- --durable-floor "$dir/reports.bin" ;;
    sqlite) set -- --admit any --db "$dir/velkor.db" --token bench $gateway_options ;;
    postgresql)
      fresh_pg
      set -- --admit any --db "$db_url" --token bench $gateway_options
      ;;
  esac
  (cd "$dir" && exec "$bin/velkor-gateway" --listen 127.0.0.1:0 --http 127.0.0.1:0 "$@" \
    >out 2>&1) &
  gw_pid=$!
  if ! await_port "$dir/out" "$gw_pid" 'udp ' 60; then
    echo "the server did not start:" >&2
    cat "$dir/out" >&2
    exit 1
  fi
  udp=$port
}

stop() {
  kill -TERM "$gw_pid"
  if ! await_exit "$gw_pid" 60; then
    echo "the server did not stop within 60 s" >&2
    kill -KILL "$gw_pid" 2>/dev/null || true
    await_exit "$gw_pid" 10 || true
    failed=1
  elif [ "$status" -ne 0 ]; then
    echo "the server stopped with status $status:" >&2
    tail -n 20 "$dir/out" >&2
    failed=1
  fi
  gw_pid=
}

# run SERVER DEVICES TRAFFIC MODE LOAD RATE: one simulator run against the server started last
# (MODE closed, or open at RATE packets/s, LOAD % of the reference); appends a line to the data
# file and a row to the table, and sets `rate` (verified exchanges a second) and `p99` (us).
seed=0
run() {
  seed=$((seed + 1))
  if [ "$4" = closed ]; then
    set -- "$@" --retries 2
  else
    set -- "$@" --rate "$6"
  fi
  server=$1 n=$2 traffic=$3 mode=$4 load=$5 offered=$6
  shift 6
  log=$work/sim.out
  status=0
  timeout $((seconds + 300)) "$bin/velkor-sim" --port "$udp" --devices "$n" --seed "$seed" \
    --fleet-seed "$n" --load "$seconds" --traffic "$traffic" --events-per-report 8 \
    --timeout-ms 2000 --quiet "$@" \
    >"$log" 2>&1 &
  sim_pid=$!
  await_exit "$sim_pid" $((seconds + 310)) || { echo "the simulator did not end" >&2; exit 1; }
  sim_pid=
  line=$(grep '^velkor-sim: load ' "$log" || true)
  if [ -z "$line" ]; then
    echo "$server $traffic $mode: the simulator (status $status) printed no load line:" >&2
    tail -n 20 "$log" >&2
    exit 1
  fi
  missing=$(sed -n 's/.*replies verified .*, missing \([0-9]*\).*/\1/p' "$log")
  wrong=$(sed -n 's/.*replies verified .*, failed \([0-9]*\),.*/\1/p' "$log")
  unexpected=$(sed -n 's/.*spoiled packets answered \([0-9]*\).*/\1/p' "$log")
  verdict=ok
  if [ "$status" -ne 0 ] &&
    { [ "${wrong:-1}" -ne 0 ] || [ "${unexpected:-1}" -ne 0 ] || [ "${missing:-0}" -eq 0 ]; }; then
    verdict=FAILED
    failed=1
    echo "  $server $traffic $mode: the simulator saw failures (status $status):" >&2
    sed -n '/replies verified/p;/^velkor-sim: [A-Z]/p;/^sim: /p' "$log" | head -n 5 | sed 's/^/    /' >&2
  fi
  set -- $(echo "$line" | sed 's/.*, \([0-9.]*\) exchanges\/s, latency p50 \([0-9]*\) us, p99 \([0-9]*\) us, p99\.9 \([0-9]*\) us, max \([0-9]*\) us.*/\1 \2 \3 \4 \5/')
  rate=$1 p50=$2 p99=$3 p999=$4 max=$5
  sent=$(echo "$line" | sed -n 's/.*, sent \([0-9.]*\) packets\/s.*/\1/p')
  echo "$n $traffic $server $mode $load $offered ${sent:-0} $rate $p50 $p99 $p999 $max ${missing:-0} $verdict" >>"$data"
  ms() { echo "$1" | awk '{ printf "%.2f", $1 / 1000 }'; }
  if [ "$mode" = closed ]; then shown_load=closed shown_offered=- shown_sent=-; else
    shown_load="open $load%" shown_offered=$offered shown_sent=$sent; fi
  [ "$verdict" = ok ] && shown_verdict= || shown_verdict=" FAILED"
  printf '%7s | %-6s | %-13s | %-8s | %9s | %9s | %11s | %8s | %8s | %9s | %9s | %10s%s\n' \
    "$n" "$traffic" "$server" "$shown_load" "$shown_offered" "$shown_sent" "$rate" "$(ms "$p50")" \
    "$(ms "$p99")" "$(ms "$p999")" "$(ms "$max")" "${missing:-0}" "$shown_verdict"
}

# warm DEVICES: 2 s of polls from the fleet that the measured runs use, each device twice, not
# measured, so that those runs meet a site whose devices are known, not a stream of first
# contacts. A reply lost here only leaves that device to be met in the run.
warm() {
  timeout 120 "$bin/velkor-sim" --port "$udp" --devices "$1" --seed 999999 --fleet-seed "$1" \
    --load 2 --rate "$1" --traffic polls --timeout-ms 2000 --quiet >"$work/warm.out" 2>&1 || true
}

# value DEVICES TRAFFIC SERVER MODE LOAD COLUMN: a figure of the data file ("" when not run).
value() {
  awk -v d="$1" -v t="$2" -v s="$3" -v m="$4" -v l="$5" -v c="$6" \
    '$1 == d && $2 == t && $3 == s && $4 == m && $5 == l { print $c }' "$data"
}

data=$out/gateway_bench.dat
echo "# devices traffic server mode load% offered/s sent/s exchanges/s p50_us p99_us p99.9_us max_us unanswered verdict" >"$data"
echo "velkor-gateway benchmark: $seconds s a run, $(nproc) cores, stores under $work"
printf '%7s | %-6s | %-13s | %-8s | %9s | %9s | %11s | %8s | %8s | %9s | %9s | %10s\n' devices traffic \
  server load offered/s sent/s exchanges/s "p50 ms" "p99 ms" "p99.9 ms" "max ms" unanswered

for n in $devices_list; do
  for traffic in $traffic_list; do
    for server in $servers; do
      start "$server"
      warm "$n"
      run "$server" "$n" "$traffic" closed 100 0
      stop
    done
    reference=
    for server in sqlite postgresql; do
      r=$(value "$n" "$traffic" "$server" closed 100 8)
      [ -n "$r" ] || continue
      if [ -z "$reference" ] || [ "$(echo "$r $reference" | awk '{ print ($1 < $2) }')" = 1 ]; then
        reference=$r
      fi
    done
    if [ -z "$reference" ]; then
      echo "  (no gateway among SERVERS: no open-loop runs for $n devices, $traffic)"
      continue
    fi
    for server in $servers; do
      start "$server"
      warm "$n"
      for l in $loads; do
        offered=$(echo "$reference $l" | awk '{ r = int($1 * $2 / 100 + 0.5); print (r < 1 ? 1 : r) }')
        run "$server" "$n" "$traffic" open "$l" "$offered"
      done
      stop
    done
  done
done

# ratio NUMERATOR DENOMINATOR LIMIT ge|le: "R (>= LIMIT: met)".
ratio() {
  if [ -z "$1" ] || [ -z "$2" ]; then
    echo "not run"
    return
  fi
  echo "$1 $2 $3 $4" | awk '{
    if ($2 == 0) { print "n/a (floor 0)"; exit }
    r = $1 / $2
    met = ($4 == "ge") ? (r >= $3) : (r <= $3)
    printf "%.2f (%s %s: %s)\n", r, ($4 == "ge") ? ">=" : "<=", $3, met ? "met" : "MISSED" }'
}

echo
echo "ratios against the targets:"
for n in $devices_list; do
  for gw in sqlite postgresql; do
    has "$gw" $servers || continue
    if has polls $traffic_list; then
      echo "  $n devices, $gw, polls closed loop: rate $(ratio "$(value "$n" polls "$gw" closed 100 8)" \
        "$(value "$n" polls echo-only closed 100 8)" 0.8 ge) x echo-only"
    fi
    if has events $traffic_list; then
      echo "  $n devices, $gw, events closed loop: rate $(ratio "$(value "$n" events "$gw" closed 100 8)" \
        "$(value "$n" events durable-floor closed 100 8)" 0.5 ge) x durable floor," \
        "p99 $(ratio "$(value "$n" events "$gw" closed 100 10)" \
          "$(value "$n" events durable-floor closed 100 10)" 2 le) x durable floor"
    fi
    for traffic in $traffic_list; do
      echo "  $n devices, $gw, $traffic open loop at 50%: p99 $(ratio \
        "$(value "$n" "$traffic" "$gw" open 50 10)" \
        "$(value "$n" "$traffic" durable-floor open 50 10)" 2 le) x durable floor"
    done
  done
done
echo "  (the event-report targets are set for 1,000 devices; the 10,000-device lines are for comparison)"

echo
echo "data: $data"
if command -v gnuplot >/dev/null 2>&1; then
  plot=$out/gateway_bench.png
  panels=0
  for n in $devices_list; do for traffic in $traffic_list; do panels=$((panels + 1)); done; done
  rows=$(echo "$devices_list" | wc -w)
  columns=$(( (panels + rows - 1) / rows ))
  {
    echo "set terminal pngcairo size $((640 * columns)),$((440 * rows)) font 'sans,10'"
    echo "set output '$plot'"
    echo "set multiplot layout $rows,$columns title 'velkor-gateway: p99 latency, open loop ($seconds s a run)'"
    echo "set logscale y"
    echo "set grid"
    echo "set key top left"
    echo "set xlabel 'offered load (packets/s)'"
    echo "set ylabel 'p99 latency (ms, log scale)'"
    for n in $devices_list; do
      for traffic in $traffic_list; do
        [ "$traffic" = polls ] && what=polls || what='event reports (8 records)'
        echo "set title '$n devices, $what'"
        clauses=
        for server in $servers; do
          series=$work/plot-$n-$traffic-$server
          awk -v d="$n" -v t="$traffic" -v s="$server" \
            '$1 == d && $2 == t && $3 == s && $4 == "open" { print $6, ($10 < 1 ? 1 : $10) / 1000 }' \
            "$data" >"$series"
          [ -s "$series" ] || continue
          clauses="$clauses${clauses:+, }'$series' using 1:2 with linespoints linewidth 2 title '$server'"
        done
        if [ -n "$clauses" ]; then
          echo "plot $clauses"
        else
          echo "set label 1 'not run' at graph 0.5, 0.5 center"
          echo "plot NaN notitle"
          echo "unset label 1"
        fi
      done
    done
    echo "unset multiplot"
  } >"$work/plot.gp"
  if gnuplot "$work/plot.gp" 2>"$work/plot.err"; then
    echo "plot: $plot"
  else
    echo "gnuplot failed:" >&2
    cat "$work/plot.err" >&2
    failed=1
  fi
else
  echo "no gnuplot here (Debian package gnuplot-nox; \`make bench-gateway\` installs it): no plot"
fi
[ -z "$failed" ] || { echo "FAILED: see above" >&2; exit 1; }
