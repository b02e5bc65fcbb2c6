#!/usr/bin/env bash
# The shared GoogleTest main: a skipped case makes the program end with 77
# (CTest: skipped) unless a case failed, which ends it with 1.
# Usage: skip_exit_test.sh PROGRAM
set -uo pipefail
program=$1
status=0
while read -r filter want; do
  "$program" --gtest_filter="$filter" >/dev/null 2>&1
  got=$?
  if [ "$got" != "$want" ]; then echo "error: $filter ended with $got, not $want"; status=1; fi
done <<'CASES'
SkipExit.Passes 0
SkipExit.Passes:SkipExit.Skips 77
SkipExit.Skips:SkipExit.Fails 1
SkipExit.Fails 1
CASES
exit $status
