#!/usr/bin/env bash
# Runs the Win32 benchmarks under Wine (not part of the tests): the host->IM
# round trip through the DLL beside a bare SendMessageA round trip.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target vexa_relay_bench
prefix=$PWD/build/win32/bench-prefix
bash cmake/wine-prefix.sh "$prefix" start
trap 'bash cmake/wine-prefix.sh "$prefix" stop' EXIT
VEXA_WINEPREFIX=$prefix cmake/wine-run.sh build/win32/bin/vexa_relay_bench.exe "${1:-20000}"
