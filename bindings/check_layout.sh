#!/bin/sh
# Every binding's table of record sizes and field offsets equals the one a C compiler gives
# from the header.
#
# usage: check_layout.sh C_LAYOUT_PROGRAM "PYTHON COMMAND" "MONO COMMAND" "PASCAL COMMAND"
# (each binding command prints its table when given the argument "layout")
set -eu

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$1" >"$work/c"
[ -s "$work/c" ] || { echo "FAIL: the C layout program printed nothing"; exit 1; }
shift
status=0
for binding in python dotnet pascal; do
  # The command is one word list: split it here, as the shell would.
  $1 layout >"$work/$binding" || { echo "FAIL: $binding printed no layout"; status=1; }
  if diff -u "$work/c" "$work/$binding" >"$work/diff"; then
    echo "ok: $binding matches the C layout ($(wc -l <"$work/c") lines)"
  else
    echo "FAIL: $binding lays out the records differently from the header:"
    cat "$work/diff"
    status=1
  fi
  shift
done
exit $status
