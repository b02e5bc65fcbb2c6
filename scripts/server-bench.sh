#!/usr/bin/env bash
# Load benchmark of the reference IM server: N clients chatting in a ring
# through the server, beside a bare asio echo of the same frames in the same
# run (the ceiling). Prints messages per second and p50/p99 latency for each N.
#
#   scripts/server-bench.sh [--clients 10,100,1000] [--messages 20000] [--window 4]
#
# Builds its own optimised folder (build/server-bench) and only the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/server-bench
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXA_TESTS=OFF -DVEXA_BENCH=ON >/dev/null
fi
cmake --build "$build" --target vexa_server_bench -j 2 >/dev/null
# A thousand clients and their server ends need about 2000 descriptors.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
exec "$build/bench/server/vexa_server_bench" "$@"
