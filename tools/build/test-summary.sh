#!/bin/sh
# The table `make test` ends with: for each stage's build folder, what ctest ran there (from its
# JUnit file) and the stage's wall time (build and tests). A stage that did not finish shows
# as such; the table is only read, nothing here decides the outcome.
#   test-summary.sh BUILD_DIR...
printf '\n%-16s %8s %8s %8s %10s %10s\n' stage ran failed skipped "tests (s)" "stage (s)"
for dir in "$@"; do
  results=$dir/ctest-results.xml
  name=$dir wall=-
  if [ -f "$dir/stage-seconds" ]; then
    read -r name wall <"$dir/stage-seconds"
  fi
  if [ ! -f "$results" ]; then
    printf '%-16s %8s\n' "$name" "not run"
    continue
  fi
  # ctest writes the suite's attributes one a line.
  suite=" $(sed -n '/<testsuite/,/>/p' "$results" | tr '\n\t' '  ')"
  field() { echo "$suite" | sed -n "s/.*[[:space:]]$1=\"\([0-9.]*\)\".*/\1/p"; }
  tests=$(field tests) failed=$(field failures) skipped=$(field skipped) disabled=$(field disabled)
  time=$(field time)
  printf '%-16s %8d %8d %8d %10.0f %10s\n' "$name" $((tests - ${skipped:-0} - ${disabled:-0})) \
    "${failed:-0}" $((${skipped:-0} + ${disabled:-0})) "${time:-0}" "$wall"
done
