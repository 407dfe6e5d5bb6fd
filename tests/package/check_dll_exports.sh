#!/bin/sh
# The export table of a Windows DLL holds exactly the names its version script lists.
#   check_dll_exports.sh <objdump> <dll> <version script>
set -eu
objdump=$1 dll=$2 map=$3

expected=$(grep -o '^[[:space:]]*_[A-Za-z0-9_]*;' "$map" | tr -d ' \t;' | sort)
actual=$("$objdump" -p "$dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)

if [ "$expected" != "$actual" ]; then
  echo "export table of $dll differs from $map"
  echo "--- expected"; echo "$expected"
  echo "--- actual"; echo "$actual"
  exit 1
fi
echo "$dll exports exactly the $(echo "$actual" | wc -l) names of $(basename "$map")"
