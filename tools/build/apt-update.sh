#!/bin/sh
# apt-get update, tried three times 20 s apart: a Debian mirror in the middle of a sync
# serves some indexes with the wrong size for a while. Whatever downloaded is kept; when an index
# still fails, the install that follows says which package it could not find.
set -u
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
for attempt in 1 2 3; do
  if $sudo apt-get update; then
    exit 0
  fi
  [ $attempt = 3 ] || { echo "apt-get update failed (attempt $attempt of 3); again in 20 s"; sleep 20; }
done
echo "apt-get update: some indexes failed; going on with those that downloaded"
