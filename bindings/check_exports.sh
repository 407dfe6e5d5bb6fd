#!/bin/sh
# Every binding binds exactly the symbols of the library's version script.
#
# usage: check_exports.sh VERSION_SCRIPT "PYTHON COMMAND" "MONO COMMAND" PASCAL_UNIT
# (the Python and C# commands print their bound symbols when given the argument "exports"; the
# Pascal unit's external declarations are read from its source)
set -eu

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sed -n 's/^[[:space:]]*\(_[A-Za-z0-9_]*\);.*/\1/p' "$1" | sort >"$work/map"
[ "$(wc -l <"$work/map")" -gt 0 ] || { echo "FAIL: no symbols in $1"; exit 1; }
$2 exports | sort >"$work/python"
$3 exports | sort >"$work/dotnet"
sed -n "s/.*external[[:space:]].*name[[:space:]]*'\(_[A-Za-z0-9_]*\)'.*/\1/p" "$4" | sort >"$work/pascal"

status=0
for binding in python dotnet pascal; do
  if diff -u "$work/map" "$work/$binding" >"$work/diff"; then
    echo "ok: $binding binds the $(wc -l <"$work/map") exports of the version script"
  else
    echo "FAIL: $binding's exports differ from the version script (- script, + binding):"
    cat "$work/diff"
    status=1
  fi
done
exit $status
