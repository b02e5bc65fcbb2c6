#!/usr/bin/env bash
# scripts/deps.sh against stand-ins for dpkg, apt-get and id: it installs
# only what is missing, needs no root when nothing is, and without root
# names what is missing and what to run, and fails.
# Usage: deps_test.sh DEPS_SCRIPT
set -uo pipefail
deps=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/bin/sh
for p in $FAKE_MISSING; do [ "$p" = "$3" ] && { echo "dpkg-query: no packages found matching $3" >&2; exit 1; }; done
printf 'install ok installed'
FAKE
cat >"$work/bin/dpkg" <<'FAKE'
#!/bin/sh
case $1 in
  --print-foreign-architectures) [ -n "$FAKE_NO_I386" ] || echo i386 ;;
  *) echo "dpkg $*" >>"$FAKE_LOG" ;;
esac
FAKE
cat >"$work/bin/apt-get" <<'FAKE'
#!/bin/sh
echo "apt-get $*" >>"$FAKE_LOG"
FAKE
cat >"$work/bin/id" <<'FAKE'
#!/bin/sh
echo "$FAKE_UID"
FAKE
cat >"$work/bin/debconf-set-selections" <<'FAKE'
#!/bin/sh
cat >/dev/null
FAKE
chmod +x "$work/bin"/*

status=0
# uid | missing packages | i386 known | exit | what the log holds (grep) | what stderr holds (grep)
while IFS='|' read -r uid missing no_i386 want_exit want_log want_err; do
  : >"$work/log"
  FAKE_UID=$uid FAKE_MISSING=$missing FAKE_NO_I386=$no_i386 FAKE_LOG=$work/log PATH="$work/bin:$PATH" \
    bash "$deps" >"$work/out" 2>"$work/err"
  got=$?
  case_name="uid=$uid missing='$missing' no_i386='$no_i386'"
  [ "$got" = "$want_exit" ] || { echo "error: $case_name: exit $got, not $want_exit"; cat "$work/err"; status=1; }
  if [ -z "$want_log" ]; then
    [ -s "$work/log" ] && { echo "error: $case_name: changed the system:"; cat "$work/log"; status=1; }
  else
    grep -q -- "$want_log" "$work/log" || { echo "error: $case_name: no '$want_log' in:"; cat "$work/log"; status=1; }
  fi
  if [ -n "$want_err" ]; then
    grep -q -- "$want_err" "$work/err" || { echo "error: $case_name: no '$want_err' in:"; cat "$work/err"; status=1; }
  fi
done <<'CASES'
1000|||0||
0|||0||
1000|tshark||1||missing: tshark
1000|tshark lld||1||run as root:  sudo bash
0|tshark lld||0|apt-get install -y -qq lld tshark$|
1000|wine32:i386|1|1||i386 architecture
0|wine32:i386|1|0|dpkg --add-architecture i386|
CASES
# Nothing missing: nothing written either.
FAKE_UID=1000 FAKE_MISSING= FAKE_NO_I386= FAKE_LOG=$work/log PATH="$work/bin:$PATH" bash "$deps" >"$work/out" 2>&1
[ -s "$work/out" ] && { echo "error: output when nothing is missing:"; cat "$work/out"; status=1; }
exit $status
