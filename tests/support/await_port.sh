# Sourced by the process tests: waits for a program started in the background to print the
# loopback port it took.
#
# await_port LOG PID PREFIX SECONDS: waits until LOG holds a line PREFIX127.0.0.1:PORT (PREFIX
# is a sed pattern) and sets `port`; returns 1 when PID is gone first, 2 after SECONDS.
await_port() {
  port=
  _await_tries=0
  while :; do
    port=$(sed -n "s/^$3127\\.0\\.0\\.1:\\([0-9]*\\)\$/\\1/p" "$1" | head -n 1)
    [ -n "$port" ] && return 0
    kill -0 "$2" 2>/dev/null || return 1
    [ "$_await_tries" -lt $(($4 * 10)) ] || return 2
    _await_tries=$((_await_tries + 1))
    sleep 0.1
  done
}
