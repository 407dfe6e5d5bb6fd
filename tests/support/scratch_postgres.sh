#!/bin/sh
# A scratch PostgreSQL cluster for the gateway's tests and benchmarks, on 127.0.0.1 only.
#
#   scratch_postgres.sh start DIR   initdb into DIR/pgdata unless it is there, start the server
#                                   on a free loopback port (kept in DIR/port, so a later start
#                                   takes the same one), create the database velkor on first
#                                   start, and print its URL on stdout, one line:
#                                     postgresql://USER@127.0.0.1:PORT/velkor
#   scratch_postgres.sh stop DIR    fast shutdown; nothing to do when it is not running
#   scratch_postgres.sh kill DIR    SIGKILL to the postmaster, as in a crash; waits until it and
#                                   its backends are gone
#
# PostgreSQL refuses to run as root: run as root, the server runs as uid/gid 65534 (nobody)
# and DIR is handed to that user; every folder above DIR must let it through (o+x). USER is the
# role initdb made, the name of the user the server runs as. Commits are durable (fsync and
# synchronous_commit on), as the gateway expects. The server logs to DIR/postgres.log; every
# failure prints its tail. PG_BIN overrides the folder of the server's programs.
set -eu

me=scratch_postgres.sh
wait_seconds=30

die() {
  echo "$me: $*" >&2
  exit 1
}

usage() {
  echo "usage: $me start|stop|kill DIR" >&2
  exit 2
}

[ $# -eq 2 ] || usage
action=$1
case $action in start | stop | kill) ;; *) usage ;; esac

if [ -n "${PG_BIN:-}" ]; then
  bin=$PG_BIN
else
  bin=/usr/lib/postgresql/15/bin
fi
[ -x "$bin/initdb" ] && [ -x "$bin/pg_ctl" ] && [ -x "$bin/postgres" ] ||
  die "no PostgreSQL server programs in $bin (Debian package postgresql; \`make deps\` installs it)"

[ "$action" = start ] && mkdir -p "$2"
[ -d "$2" ] || die "no folder $2"
dir=$(cd "$2" && pwd)
case $dir in
  *[\"\'\`\$\\\ ]*) die "the folder's path must not hold quotes, spaces, \$ or backslashes: $dir" ;;
esac
data=$dir/pgdata
sock=$dir/sock
log=$dir/postgres.log

# as_server COMMAND...: runs COMMAND as the user the server runs as, in DIR.
if [ "$(id -u)" = 0 ]; then
  server_uid=65534
  as_server() {
    (cd "$dir" && exec setpriv --reuid=$server_uid --regid=$server_uid --clear-groups -- "$@")
  }
  user=$(getent passwd $server_uid | cut -d: -f1) || user=
else
  server_uid=$(id -u)
  as_server() {
    (cd "$dir" && exec "$@")
  }
  user=$(id -un 2>/dev/null) || user=
fi
[ -n "$user" ] || die "uid $server_uid has no user name"

log_tail() {
  if [ -s "$log" ]; then
    echo "--- last lines of $log:" >&2
    tail -n 30 "$log" >&2
  fi
}

fail() {
  echo "$me: $*" >&2
  log_tail
  exit 1
}

# Whether process $1 is there and not a zombie waiting to be reaped.
alive() {
  case $(ps -o stat= -p "$1" 2>/dev/null || true) in
    '' | Z*) return 1 ;;
  esac
}

# The postmaster's process id, from the first line of postmaster.pid.
postmaster_pid() {
  [ -f "$data/postmaster.pid" ] && head -n 1 "$data/postmaster.pid" 2>/dev/null
}

# Whether the postmaster of postmaster.pid runs. pg_ctl status, like the server's own lock
# check, takes a postmaster that was killed but not yet reaped for a live one, and a process
# that took its id since for the postmaster; here both are gone.
running() {
  pid=$(postmaster_pid) || return 1
  [ -n "$pid" ] && alive "$pid" && [ "$(ps -o comm= -p "$pid" 2>/dev/null)" = postgres ]
}

free_port() {
  python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

psql_velkor() {  # psql_velkor DB SQL: one query as the superuser, unaligned, no header
  PGCONNECT_TIMEOUT=5 psql -X -q -A -t -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$port" -U "$user" \
    -d "$1" -c "$2"
}

start() {
  if [ "$(id -u)" = 0 ]; then
    chown "$server_uid:$server_uid" "$dir"
    setpriv --reuid=$server_uid --regid=$server_uid --clear-groups -- test -w "$dir" ||
      die "uid $server_uid cannot reach $dir: every folder above it needs o+x"
  fi
  if [ ! -f "$data/PG_VERSION" ]; then
    rm -rf "$data"
    if ! as_server "$bin/initdb" -D "$data" -U "$user" -E UTF8 --locale=C --auth=trust \
      >"$dir/initdb.log" 2>&1; then
      cat "$dir/initdb.log" >&2
      die "initdb into $data failed"
    fi
  fi
  as_server mkdir -p "$sock"
  if [ -s "$dir/port" ]; then
    port=$(cat "$dir/port")
  else
    port=$(free_port) || die "cannot find a free port on 127.0.0.1"
    echo "$port" >"$dir/port"
  fi

  if ! running; then
    # Lock files a killed server left: the server would refuse to start while their process
    # is still a zombie.
    rm -f "$data/postmaster.pid" "$sock/.s.PGSQL.$port" "$sock/.s.PGSQL.$port.lock"
    if ! as_server "$bin/pg_ctl" -D "$data" -l "$log" -w -t "$wait_seconds" -o "-p $port \
      -c listen_addresses=127.0.0.1 -c unix_socket_directories=\"$sock\" \
      -c fsync=on -c synchronous_commit=on -c max_connections=100 \
      -c shared_buffers=128MB" start >/dev/null 2>"$dir/pg_ctl.log"; then
      cat "$dir/pg_ctl.log" >&2
      as_server "$bin/pg_ctl" -D "$data" -m immediate -w -t 10 stop >/dev/null 2>&1 || true
      fail "the server did not start on 127.0.0.1:$port (waited up to $wait_seconds s)"
    fi
  fi
  deadline=$(($(date +%s) + wait_seconds))
  until pg_isready -q -h 127.0.0.1 -p "$port" -U "$user" -d postgres -t 2; do
    running || fail "the server stopped"
    [ "$(date +%s)" -lt "$deadline" ] ||
      fail "the server does not accept connections on 127.0.0.1:$port after $wait_seconds s"
    sleep 0.1
  done

  exists=$(psql_velkor postgres "SELECT 1 FROM pg_database WHERE datname = 'velkor'") ||
    fail "cannot query the server on 127.0.0.1:$port"
  if [ "$exists" != 1 ]; then
    psql_velkor postgres "CREATE DATABASE velkor" >/dev/null || fail "cannot create database velkor"
  fi
  echo "postgresql://$user@127.0.0.1:$port/velkor"
}

stop() {
  running || return 0
  as_server "$bin/pg_ctl" -D "$data" -m fast -w -t "$wait_seconds" stop >/dev/null 2>&1 ||
    fail "the server did not stop within $wait_seconds s"
}

# Waits up to 10 s for every process in "$@" to be gone.
await_gone() {
  tries=0
  for p in "$@"; do
    while alive "$p"; do
      [ "$tries" -lt 100 ] || fail "process $p is still there 10 s after SIGKILL"
      tries=$((tries + 1))
      sleep 0.1
    done
  done
}

crash() {
  running || return 0
  children=$(ps -o pid= --ppid "$pid" 2>/dev/null || true)
  kill -KILL "$pid" 2>/dev/null || true
  # The backends notice the postmaster's death and leave; a restart needs them gone, as they
  # keep the shared memory attached.
  # shellcheck disable=SC2086
  await_gone "$pid" $children
}

case $action in
  start) start ;;
  stop) stop ;;
  kill) crash ;;
esac
