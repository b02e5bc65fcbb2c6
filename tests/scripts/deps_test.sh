#!/usr/bin/env bash
# scripts/deps.sh against stand-ins for dpkg, apt-get and id: it installs
# only what is missing, needs no root when nothing is, and without root
# names what is missing and what to run, and fails. Where 32-bit programs do
# not run, it installs and registers the emulator; the apt sources give the
# mirror for it.
# Usage: deps_test.sh DEPS_SCRIPT
set -uo pipefail
deps=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/bin/sh
case $2 in *Version*) [ -n "$FAKE_QEMU" ] && printf '%s' "$FAKE_QEMU" && exit 0; exit 1 ;; esac
for p in $FAKE_MISSING; do [ "$p" = "$3" ] && { echo "dpkg-query: no packages found matching $3" >&2; exit 1; }; done
printf 'install ok installed'
FAKE
cat >"$work/bin/dpkg" <<'FAKE'
#!/bin/sh
case $1 in
  --print-foreign-architectures) [ -n "$FAKE_NO_I386" ] || echo i386 ;;
  --compare-versions) shift; exec /usr/bin/dpkg --compare-versions "$@" ;;
  *) echo "dpkg $*" >>"$FAKE_LOG" ;;
esac
FAKE
cat >"$work/bin/apt-get" <<'FAKE'
#!/bin/sh
echo "apt-get $*" >>"$FAKE_LOG"
# What a package's maintainer script would hear when it asks to start its service.
if [ -x "$VEXA_POLICY_RC_D" ]; then "$VEXA_POLICY_RC_D" nginx start; echo "policy-rc.d: $?" >>"$FAKE_LOG"; fi
FAKE
cat >"$work/bin/id" <<'FAKE'
#!/bin/sh
echo "$FAKE_UID"
FAKE
cat >"$work/bin/debconf-set-selections" <<'FAKE'
#!/bin/sh
cat >/dev/null
FAKE
# An i386 program that runs natively (FAKE_RUNS=1) or once QEMU is registered.
cat >"$work/probe" <<'FAKE'
#!/bin/sh
[ "$FAKE_RUNS" = 1 ] || grep -q 'qemu-i386-static:F' "$VEXA_BINFMT_DIR/register"
FAKE
chmod +x "$work/bin"/* "$work/probe"
mkdir -p "$work/apt/sources.list.d" "$work/binfmt"
printf 'VERSION_CODENAME=bookworm\n' >"$work/os-release"
export VEXA_I386_PROBE=$work/probe VEXA_BINFMT_DIR=$work/binfmt VEXA_APT_ETC=$work/apt VEXA_OS_RELEASE=$work/os-release
export VEXA_POLICY_RC_D=$work/policy-rc.d
export FAKE_RUNS=1

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
  [ -e "$VEXA_POLICY_RC_D" ] && { echo "error: $case_name: left policy-rc.d behind"; status=1; }
done <<'CASES'
1000|||0||
0|||0||
1000|tshark||1||missing: tshark
1000|tshark lld||1||run as root:  sudo bash
0|tshark lld||0|apt-get install -y -qq lld tshark$|
0|nginx||0|policy-rc.d: 101|
1000|wine32:i386|1|1||i386 architecture
0|wine32:i386|1|0|dpkg --add-architecture i386|
CASES
# 32-bit programs: uid | they run | installed QEMU | exit | log | registered | stderr
printf 'Types: deb\nURIs: http://mirror.test/debian\nSuites: bookworm bookworm-updates\nComponents: main\n' \
  >"$work/apt/sources.list.d/debian.sources"
while IFS='|' read -r uid runs qemu want_exit want_log want_registered want_err; do
  : >"$work/log"
  : >"$work/binfmt/register"
  rm -f "$work/apt/sources.list.d/vexa-backports.sources"
  FAKE_UID=$uid FAKE_RUNS=$runs FAKE_QEMU=$qemu FAKE_MISSING= FAKE_NO_I386= FAKE_LOG=$work/log \
    PATH="$work/bin:$PATH" bash "$deps" >"$work/out" 2>"$work/err"
  got=$?
  case_name="uid=$uid runs=$runs qemu='$qemu'"
  [ "$got" = "$want_exit" ] || { echo "error: $case_name: exit $got, not $want_exit"; cat "$work/err"; status=1; }
  if [ -z "$want_log" ]; then
    [ -s "$work/log" ] && { echo "error: $case_name: installed:"; cat "$work/log"; status=1; }
  else
    grep -q -- "$want_log" "$work/log" || { echo "error: $case_name: no '$want_log' in:"; cat "$work/log"; status=1; }
    grep -qx 'URIs: http://mirror.test/debian' "$work/apt/sources.list.d/vexa-backports.sources" ||
      { echo "error: $case_name: backports not from the machine's mirror"; status=1; }
  fi
  if [ "$want_registered" = 1 ]; then
    grep -q ':qemu-i386:M::' "$work/binfmt/register" || { echo "error: $case_name: QEMU not registered"; status=1; }
  else
    [ -s "$work/binfmt/register" ] && { echo "error: $case_name: registered QEMU"; status=1; }
  fi
  if [ -n "$want_err" ]; then
    grep -q -- "$want_err" "$work/err" || { echo "error: $case_name: no '$want_err' in:"; cat "$work/err"; status=1; }
  fi
done <<'CASES'
1000|1||0||0|
0|1||0||0|
1000|0||1||0|do not run on this kernel
0|0|1:10.0.2+ds-2~bpo12+1|0||1|installing qemu-user-static from backports
0|0|1:7.2+dfsg-7+deb12u7|0|install -y -qq -t bookworm-backports qemu-user-static|1|
0|0||0|install -y -qq -t bookworm-backports qemu-user-static|1|
CASES

# The mirror for backports, as the apt sources name it:
# file (under the apt folder) @ its text @ URI|KEYRING
while IFS='@' read -r file text expected; do
  rm -f "$work/apt/sources.list.d"/* "$work/apt/sources.list"
  printf '%b' "$text" >"$work/apt/$file"
  got=$(bash "${deps%/*}/i386-emulator.sh" mirror 2>/dev/null)
  [ "$got" = "$expected" ] || { echo "error: mirror of '$text': '$got', not '$expected'"; status=1; }
done <<'CASES'
sources.list.d/a.sources@Types: deb\nURIs: http://s.test/debian-security\nSuites: bookworm-security\n\nTypes: deb\nURIs: http://m.test/debian http://n.test/debian\nSuites: bookworm bookworm-updates\nSigned-By: /k.gpg\n@http://m.test/debian|/k.gpg
sources.list.d/a.sources@Types: deb-src\nURIs: http://src.test/debian\nSuites: bookworm\n\n# Types: deb\nTypes: deb\nURIs: http://m.test/debian\nSuites: bookworm\n@http://m.test/debian|
sources.list.d/a.sources@Types: deb\nURIs: http://m.test/debian\nSuites: trixie\n@
sources.list@deb http://m.test/debian bookworm main\n@http://m.test/debian|
sources.list@deb [arch=amd64 signed-by=/k.gpg] http://m.test/debian bookworm main contrib\n@http://m.test/debian|/k.gpg
sources.list@deb http://m.test/debian bookworm-updates main\n@
CASES
rm -f "$work/apt/sources.list"

# Nothing missing: nothing written either.
FAKE_UID=1000 FAKE_MISSING= FAKE_NO_I386= FAKE_LOG=$work/log PATH="$work/bin:$PATH" bash "$deps" >"$work/out" 2>&1
[ -s "$work/out" ] && { echo "error: output when nothing is missing:"; cat "$work/out"; status=1; }
exit $status
