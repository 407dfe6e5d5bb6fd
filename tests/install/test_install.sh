#!/bin/sh
# The Debian packages installed as a site installs them: into a throwaway Debian 12 root made
# for the test (mmdebstrap; its tarball is kept in the cache between runs), with
# `apt-get install ./*.deb`, so that their dependencies resolve from their own metadata. In that
# root: the installed gateway runs as an unprivileged user with the installed configuration
# file, the installed simulator plays devices against it and an event is read back through the
# API; a C host is built against the -dev package with pkg-config; Python imports the binding;
# then the packages are removed and purged, and what stays behind is checked.
#   test_install.sh <folder of the .deb files> <source folder>
# Runs as root (chroot). Everything it starts listens on loopback only and is stopped on every
# path; the root is deleted at the end.
set -eu
debs=$(cd "$1" && pwd) source=$(cd "$2" && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/velkor
# What the checks need beyond the packages: a C compiler and pkg-config for the host, ps.
include=gcc,libc6-dev,pkg-config,procps
base=$cache/bookworm-apt-$(echo "$include" | md5sum | cut -c1-8).tar
scratch=$(mktemp -d /tmp/velkor-install.XXXXXX)
root=$scratch/root
gateway_pid=

in_root() { chroot "$root" "$@"; }
say() { printf '== %s\n' "$*"; }
fail() {
  printf 'test-install: %s\n' "$*" >&2
  exit 1
}
cleanup() {
  status=$?
  if [ -n "$gateway_pid" ] && kill -0 "$gateway_pid" 2>/dev/null; then
    kill -KILL "$gateway_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
  exit $status
}
trap cleanup EXIT INT TERM

if [ ! -s "$base" ]; then
  say "a Debian 12 root for the cache ($base)"
  mkdir -p "$cache"
  mmdebstrap --quiet --variant=apt --mode=root --format=tar --include="$include" bookworm "$base.part"
  mv "$base.part" "$base"
fi
mkdir -p "$root"
tar -C "$root" -xf "$base"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/tmp/debs"
cp "$debs"/*.deb "$root/tmp/debs/"

say "apt-get install ./*.deb"
in_root sh -c 'apt-get update -qq && cd /tmp/debs &&
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o Dpkg::Use-Pty=0 ./*.deb >/tmp/apt.log 2>&1' ||
  { cat "$root/tmp/apt.log"; fail "the packages do not install"; }
for file in /usr/bin/velkor-gateway /usr/bin/velkor-sim /usr/bin/sonpak \
  /etc/velkor/gateway.conf /lib/systemd/system/velkor-gateway.service \
  /usr/share/man/man8/velkor-gateway.8.gz /usr/include/velkorlink.h; do
  [ -e "$root$file" ] || fail "$file is not installed"
done
in_root velkor-gateway --version

say "the gateway as an unprivileged user, with the installed configuration"
# What systemd does for the unit's DynamicUser= and StateDirectory=: a state folder of the
# service's own user, mode 0700. The command line keeps both addresses on loopback and admits
# the simulated devices; the store and everything else come from /etc/velkor/gateway.conf.
uid=61000
mkdir -p "$root/var/lib/velkor"
chown "$uid:$uid" "$root/var/lib/velkor"
chmod 0700 "$root/var/lib/velkor"
chroot --userspec="$uid:$uid" "$root" env HOME=/var/lib/velkor sh -c \
  'cd /var/lib/velkor && exec velkor-gateway --config /etc/velkor/gateway.conf \
     --listen 127.0.0.1:0 --http 127.0.0.1:0 --admit any' >"$scratch/gateway.log" 2>&1 &
gateway_pid=$!
tries=0
until grep -q '^http ' "$scratch/gateway.log"; do
  tries=$((tries + 1))
  [ $tries -le 100 ] && kill -0 "$gateway_pid" 2>/dev/null ||
    { cat "$scratch/gateway.log"; fail "the gateway did not start"; }
  sleep 0.1
done
udp=$(sed -n 's/^udp 127.0.0.1:\([0-9]*\)$/\1/p' "$scratch/gateway.log")
http=$(sed -n 's/^http \(http:.*\)$/\1/p' "$scratch/gateway.log")
[ -f "$root/var/lib/velkor/velkor.db" ] || fail "the store is not in /var/lib/velkor"
[ "$(stat -c %a "$root/var/lib/velkor/velkor-gateway.token")" = 600 ] ||
  fail "the generated token's file is not mode 0600"

say "the installed simulator against it, an event read back through the API"
in_root velkor-sim --port "$udp" --devices 2 --rounds 2 --quiet ||
  { cat "$scratch/gateway.log"; fail "the simulator's run failed"; }
in_root python3 - "$http" <<'EOF' || fail "no event read back"
import json, sys, urllib.request
token = open("/var/lib/velkor/velkor-gateway.token").read().strip()
ask = urllib.request.Request(sys.argv[1] + "/api/v1/events?limit=1",
                             headers={"Authorization": "Bearer " + token})
events = json.load(urllib.request.urlopen(ask, timeout=10))["events"]
assert events, "no events stored"
print("event", json.dumps(events[0])[:160])
EOF
kill -TERM "$gateway_pid"
wait "$gateway_pid" || { cat "$scratch/gateway.log"; fail "SIGTERM did not end the gateway with 0"; }
gateway_pid=

say "a C host built against libvelkorlink-dev with pkg-config"
cp "$source/examples/c-host/c_host.c" "$root/tmp/"
in_root sh -c 'cc -std=c99 -Wall -Wextra -Werror -o /tmp/c_host /tmp/c_host.c \
  $(pkg-config --cflags --libs velkorlink) && /tmp/c_host' >"$scratch/c_host.log" ||
  { cat "$scratch/c_host.log"; fail "the C host failed"; }
in_root pkg-config --modversion velkorlink

say "the Python binding"
in_root python3 -c 'import velkorlink; print("velkorlink", velkorlink.__version__)'

say "remove keeps the store and the configuration, purge deletes them"
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq -o Dpkg::Use-Pty=0 velkor-gateway >/dev/null 2>&1'
[ ! -e "$root/usr/bin/velkor-gateway" ] || fail "remove left the program"
[ -f "$root/var/lib/velkor/velkor.db" ] || fail "remove deleted the store"
[ -f "$root/etc/velkor/gateway.conf" ] || fail "remove deleted the configuration"
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o Dpkg::Use-Pty=0 velkor-gateway >/dev/null 2>&1'
[ ! -e "$root/var/lib/velkor" ] || fail "purge left /var/lib/velkor"
[ ! -e "$root/etc/velkor" ] || fail "purge left /etc/velkor"
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o Dpkg::Use-Pty=0 libvelkorlink1 libvelkorutils1 \
  libvelkorlink-dev velkor-tools velkor-wireshark sonpak python3-velkorlink >/dev/null 2>&1'
left=$(cd "$root" && find etc usr lib var -path '*velkor*' -o -name '*sonpak*' | grep -v '^var/lib/apt/' |
  grep -v '^var/cache/' || true)
[ -z "$left" ] || fail "purged, and still there: $left"
say "ok"
