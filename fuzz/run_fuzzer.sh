#!/bin/sh
# Runs one libFuzzer program for a number of seconds on its committed corpus (read only) and a
# corpus of the build's own, then prints a line of figures; on a crash, the end of its output and
# where the input was kept, and exit status 1.
#   run_fuzzer.sh FUZZ_DIR SECONDS FUZZER
set -u
dir=$1 seconds=$2 fuzzer=$3
name=${fuzzer##*/fuzz_}
log=$dir/logs/$name.log
here=$(dirname "$0")
mkdir -p "$dir/corpus/$name" "$dir/crashes/$name" "$dir/logs"
if ! "$fuzzer" -max_total_time="$seconds" -max_len=4608 -print_final_stats=1 \
    -artifact_prefix="$dir/crashes/$name/" "$dir/corpus/$name" "$here/corpus/$name" >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "fuzz_$name FAILED: input kept in $dir/crashes/$name/"
  exit 1
fi
printf '%-24s %10s execs in %ss, corpus %s, coverage %s\n' "fuzz_$name" \
  "$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")" "$seconds" \
  "$(sed -n 's/.*DONE .*corp: \([0-9]*\).*/\1/p' "$log")" \
  "$(sed -n 's/.*DONE .*cov: \([0-9]*\).*/\1/p' "$log")"
