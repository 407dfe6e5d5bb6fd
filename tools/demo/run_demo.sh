#!/bin/sh
# The main job: velkor-gateway serving simulated devices, with its REST API in use.
#
# In a scratch folder: starts the gateway on its embedded SQLite store (loopback ports it picks
# itself, every device admitted at first contact), lets simulated devices of both generations
# announce themselves, pushes a card list (with the admin token), names and tags the devices
# and opens a door (with an operate key) through the API, runs the devices again with faults,
# adds three cardholders (by tag and everywhere) whose cards reach the devices in another round,
# reads events back (with a read key), and ends with a summary: packets accepted and refused,
# events stored, replies the simulator verified, the tags, each device's card list and mode,
# events named by their holder and door, each command's state and the audit trail. Exits with
# the simulator's status.
#
# usage: run_demo.sh [BIN_DIR]   (default build/bin)
set -eu
# Cross builds run their programs under an emulator (qemu-user), named by their tests.
run=${VELKOR_EMULATOR:-}

bin=$(cd "${1:-build/bin}" && pwd)
work=$(mktemp -d)
gateway_pid=

cleanup() {
  [ -z "$gateway_pid" ] || kill "$gateway_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '\n== %s\n' "$*"; }

# The gateway, in the scratch folder: velkor.db and the generated token land there.
cd "$work"
: >gateway.log
$run "$bin/velkor-gateway" --admit any --listen 127.0.0.1:0 --http 127.0.0.1:0 >gateway.log 2>&1 &
gateway_pid=$!
udp= http= tries=0
while [ -z "$udp" ] || [ -z "$http" ]; do
  udp=$(sed -n 's/^udp 127\.0\.0\.1:\([0-9]*\)$/\1/p' gateway.log)
  http=$(sed -n 's/^http \(http:.*\)$/\1/p' gateway.log)
  if ! kill -0 "$gateway_pid" 2>/dev/null || [ "$tries" -ge 100 ]; then
    cat gateway.log >&2
    echo "run_demo: velkor-gateway did not start" >&2
    exit 1
  fi
  tries=$((tries + 1))
  sleep 0.1
done
token=$(cat velkor-gateway.token)
say "velkor-gateway is up"
cat gateway.log
echo "store: $work/velkor.db (WAL, synchronous=FULL); token file: velkor-gateway.token (mode $(stat -c %a velkor-gateway.token))"

say "A key for each application: an operate key for the door app, a read key for the event reader"
door_key=$($run "$bin/velkor-gateway" keys add door-app --role operate --db velkor.db)
reader_key=$($run "$bin/velkor-gateway" keys add event-reader --role read --db velkor.db)
$run "$bin/velkor-gateway" keys list --db velkor.db

as() {  # as KEY METHOD PATH [BODY]
  key=$1
  shift
  if [ $# -ge 3 ]; then
    curl -sS --max-time 10 -X "$1" -H "Authorization: Bearer $key" \
      -H 'Content-Type: application/json' --data "$3" "$http/api/v1$2"
  else
    curl -sS --max-time 10 -X "$1" -H "Authorization: Bearer $key" "$http/api/v1$2"
  fi
  echo
}
api() { as "$token" "$@"; }  # the admin key "token"

sim() {  # sim ROUNDS [more options]: four devices, two of each generation, always the same ones
  rounds=$1
  shift
  $run "$bin/velkor-sim" --port "$udp" --devices 4 --rounds "$rounds" --seed 6 --quiet "$@"
}

say "Four simulated devices announce themselves (velkor-sim, one round)"
status=0
sim 1 >sim1.log 2>&1 || status=$?
tail -n 2 sim1.log
serials=$(api GET /devices | grep -o '"serial":"[0-9A-F]\{14\}"' | cut -d'"' -f4)
current=$(echo "$serials" | head -n 1)
echo "devices:" $serials

say "GET /api/v1/devices/$current"
api GET "/devices/$current"

say "PUT a card list of two cards for $current"
api PUT "/devices/$current/cards" '[
  {"cardNumber": 2882400001, "password": "1234", "year": 27, "month": 12, "day": 31, "hour": 23,
   "param": 0, "flag0": true, "flag1": false, "flag2": false, "flag3": false, "flag4": false,
   "flag7": false, "flag6": false},
  {"cardNumber": 2882400002, "password": "", "year": 27, "month": 6, "day": 30, "hour": 12,
   "param": 0, "flag0": true, "flag1": true, "flag2": false, "flag3": false, "flag4": false,
   "flag7": false, "flag6": false}]'

say "Name and tag the devices: two at hq, two in the lab"
i=0
for serial in $serials; do
  i=$((i + 1))
  case $i in
    1) name="Front door" tag=hq ;;
    2) name="Back door" tag=hq ;;
    3) name="Lab door" tag=lab ;;
    *) name="Store room" tag=lab ;;
  esac
  api PUT "/devices/$serial/labels" "{\"name\": \"$name\", \"tags\": [\"$tag\"]}"
done

say "POST a control command (open door 1) to every device, with the door app's operate key"
for serial in $serials; do
  printf '%s: ' "$serial"
  as "$door_key" POST "/devices/$serial/commands" '{"command": "control", "code": 2, "first": 1}'
done
echo "the same with the read key:"
as "$reader_key" POST "/devices/$current/commands" '{"command": "control", "code": 2, "first": 1}'

say "The devices run again, with every fault kind (velkor-sim --faults all, two rounds)"
sim 2 --faults all >sim2.log 2>&1 || status=$?
cat sim2.log

say "Three cardholders, for cards the doors have seen: one by tag hq, one by tag lab, one everywhere"
# Made-up cards stand in where the doors saw fewer than three.
cards=$(api GET "/events?limit=1000" | grep -o '"cardNumber":[0-9][0-9]*' | cut -d: -f2 | sort -un | head -n 3)
set -- $cards 1001 1002 1003
api POST /holders "{\"name\": \"Ann Lee\", \"cardNumber\": $1, \"devices\": [\"hq\"]}"
api POST /holders "{\"name\": \"Bo Chen\", \"cardNumber\": $2, \"devices\": [\"lab\"]}"
api POST /holders "{\"name\": \"Cy Dahl\", \"cardNumber\": $3, \"devices\": [\"*\"]}"
echo "holders.csv:"
api GET /holders.csv

say "The devices take their cards and confirm them (velkor-sim, two rounds)"
sim 2 >sim3.log 2>&1 || status=$?
tail -n 2 sim3.log

say "GET /api/v1/events?limit=3, with the event reader's read key"
as "$reader_key" GET "/events?limit=3"

say "Summary"
link=$(api GET /link)
number() { echo "$link" | grep -o "\"$1\":[0-9]*" | cut -d: -f2; }
echo "packets accepted $(number accepted), refused $(number refused), answered $(number answered);" \
  "events stored $(number events_stored) in $(number commits) commits"
for file in sim1.log sim2.log sim3.log; do
  sed -n 's/^  replies verified/replies verified/p' "$file"
done
echo "tags: $(api GET /tags | grep -o '"tag":"[a-z0-9-]*","devices":[0-9]*,"holders":[0-9]*' \
  | sed 's/"tag":"\([^"]*\)","devices":\([0-9]*\),"holders":\([0-9]*\)/\1 (\2 devices, \3 holders)/' | paste -sd ';' | sed 's/;/; /g')"
for serial in $serials; do
  device=$(api GET "/devices/$serial")
  echo "card list on $serial ($(echo "$device" | grep -o '"name":"[^"]*"' | head -n 1 | cut -d'"' -f4)):" \
    "$(echo "$device" | grep -o '"cards":{"state":"[a-z]*","count":[0-9]*,"mode":"[a-z]*"' \
      | sed 's/"cards":{"state":"\([a-z]*\)","count":\([0-9]*\),"mode":"\([a-z]*\)"/\2 cards, \3, \1/')"
done
echo "named events: $(api GET "/events?limit=1000" | grep -o '"holder":"[^"]*","device_name":"[^"]*"' \
  | sed 's/"holder":"\([^"]*\)","device_name":"\([^"]*\)"/\1 at \2/' | sort | uniq -c | sed 's/^ *//' \
  | paste -sd ';' | sed 's/;/; /g')"
for serial in $serials; do
  echo "command states on $serial: $(api GET "/devices/$serial/commands" | grep -o '"state":"[a-z]*"' | cut -d'"' -f4 | tr '\n' ' ')"
done
echo "audit trail: $(api GET /audit | grep -o '"actor":"[^"]*","address":"[^"]*","method":"[A-Z]*","route":"[^"]*"' \
  | sed 's/"actor":"\([^"]*\)","address":"[^"]*","method":"\([A-Z]*\)","route":"\([^"]*\)"/\1 \2 \3/' \
  | sort | uniq -c | sed 's/^ *//' | paste -sd ';' | sed 's/;/; /g')"

kill -TERM "$gateway_pid"
wait "$gateway_pid" || status=1
gateway_pid=
tail -n 1 gateway.log
exit "$status"
