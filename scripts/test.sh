#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the native, fuzz, win32
# and win64 presets, and runs their tests (the Win32 ones under Wine in a
# private prefix per build; the 64-bit build's prefix also runs the tests
# across word sizes). Exits non-zero on any failure.
#
#   --emulate-32bit  runs Wine's 32-bit half under QEMU for this run, as on a
#                    kernel without 32-bit support, also where the CPU would
#                    run it; the emulator is unregistered at the end (root)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

emulate=0
for arg in "$@"; do
  case $arg in
    --emulate-32bit) emulate=1 ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown option $arg (see --help)" >&2; exit 2 ;;
  esac
done

bash scripts/deps.sh

registered_here=0
cleanup() {
  # Nothing started by the run may outlive it.
  for prefix in "$root/build/win32/wineprefix" "$root/build/win64/wineprefix"; do
    if [ -d "$prefix" ]; then WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; fi
  done
  if [ $registered_here = 1 ]; then bash scripts/i386-emulator.sh unregister || true; fi
}
trap cleanup EXIT
if [ $emulate = 1 ]; then
  if [ "$(bash scripts/i386-emulator.sh register)" = registered ]; then registered_here=1; fi
fi
echo "32-bit programs run here: $(bash scripts/i386-emulator.sh mode)"

status=0
step() { echo; echo "==== $*"; }
# Runs one preset's tests. A test that could not run is skipped by CTest
# (exit code 77, or a GoogleTest case that skipped itself); that is a failure
# of the run, never a pass.
run_tests() {
  local log rc
  log=$(mktemp)
  ctest --preset "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  if grep -q '\*\*\*Skipped' "$log"; then
    echo "error: tests were skipped (above): their prerequisites are missing"
    rc=1
  fi
  rm -f "$log"
  return "$rc"
}

step "native: configure and build"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
step "native: tests"
run_tests native -j "$jobs" || status=1

step "fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
step "fuzz: short runs"
run_tests fuzz -j "$jobs" || status=1

# Both Windows builds first: the 64-bit build's tests run the 32-bit build's
# programs too.
for preset in win32 win64; do
  step "$preset: configure and build"
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset -j "$jobs"
  step "$preset: DLL imports only system DLLs"
  bash scripts/check-imports.sh build/$preset/bin/VexaIMPlus.dll || status=1
  step "$preset: hardened PE (ASLR, DEP, stack protector)"
  bash scripts/check-pe.sh build/$preset/bin/VexaIMPlus.dll build/$preset/bin/vexaim.exe \
    build/$preset/bin/vexahost.exe || status=1
done
for preset in win32 win64; do
  step "$preset: tests under Wine"
  # One at a time: the cross-process tests share the machine-wide names of
  # the shared blocks and the IM window title.
  run_tests $preset -j 1 || status=1
done
step "dissector over the demo's traffic (recorded on loopback)"
# Needs both builds above, so it runs here rather than as a CTest test.
bash tools/wireshark/capture-demo.sh build/demo-capture || status=1
step "the demo over TLS only: the capture holds no password and no chat text"
bash tools/wireshark/capture-demo.sh --tls build/demo-capture-tls || status=1

echo
if [ $status -eq 0 ]; then echo "ALL TESTS PASSED"; else echo "SOME TESTS FAILED"; fi
exit $status
