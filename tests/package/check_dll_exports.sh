#!/bin/sh
# The export table of a Windows DLL holds exactly the functions its header declares, each under
# the decoration the header documents: the name with a leading underscore.
#   check_dll_exports.sh <objdump> <dll> <header> <symbol macro>
set -eu
objdump=$1 dll=$2 header=$3 macro=$4

expected=$(sed -n "s/.*$macro(\([A-Za-z0-9_]*\));.*/_\1/p" "$header" | sort)
actual=$("$objdump" -p "$dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)

if [ -z "$expected" ] || [ "$expected" != "$actual" ]; then
  echo "export table of $dll differs from the functions $(basename "$header") declares"
  echo "--- expected"; echo "$expected"
  echo "--- actual"; echo "$actual"
  exit 1
fi
echo "$dll exports exactly the $(echo "$actual" | wc -l) functions of $(basename "$header")"
