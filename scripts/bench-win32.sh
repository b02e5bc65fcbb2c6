#!/usr/bin/env bash
# Runs the Win32 benchmarks under Wine (not part of the tests): the host->IM
# round trip through the DLL beside a bare SendMessageA round trip between
# the same two processes, for a 32-bit host and IM program, two 64-bit ones,
# and the two pairs of mixed word sizes, one after the other in one 64-bit
# prefix. Compare the ratios; the absolute times only within this run.
#   bench-win32.sh [ITERATIONS]
set -euo pipefail
cd "$(dirname "$0")/.."
iterations=${1:-20000}
bash scripts/deps.sh
for preset in win32 win64; do
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset --target vexa_relay_bench
done
prefix=$PWD/build/win64/bench-prefix
bash cmake/wine-prefix.sh "$prefix" start win64
trap 'bash cmake/wine-prefix.sh "$prefix" stop' EXIT
x86=$PWD/build/win32/bin/vexa_relay_bench.exe
x64=$PWD/build/win64/bin/vexa_relay_bench.exe
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's|/|\\|g')"; }
run() { VEXA_WINEPREFIX=$prefix cmake/wine-run.sh "$@"; }

echo "host->IM round trip, $iterations iterations, 64-byte payload"
printf '%-22s %18s %18s %7s\n' "host -> IM program" "through the DLL" "bare SendMessageA" "ratio"
run "$x86" "$iterations" "32-bit -> 32-bit"
run "$x64" "$iterations" "64-bit -> 64-bit"
run "$x86" "$iterations" "32-bit -> 64-bit" "$(winpath "$x64")"
run "$x64" "$iterations" "64-bit -> 32-bit" "$(winpath "$x86")"
if [ "$(bash scripts/i386-emulator.sh mode 2>/dev/null)" = emulated ]; then
  echo "(32-bit programs ran under the qemu-i386 emulator, 64-bit ones natively: times of rows with a"
  echo " 32-bit side are not comparable with a native run, nor with the 64-bit row; compare ratios within a row)"
fi
