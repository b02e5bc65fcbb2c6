#!/usr/bin/env bash
# Load benchmark of the reference IM server, beside a bare asio echo of the
# same frames at the same thread count in the same run (the ceiling):
#  - closed loop: N clients chatting in a ring, at 1 network thread and at
#    one per core: messages per second, p50/p99 latency, server/echo ratio;
#  - open loop: 1000 clients at a fixed total rate, so latency is measured
#    below saturation: p50/p99/p99.9.
#
#   scripts/server-bench.sh [--clients 10,100,1000] [--threads 1,N] [--messages 20000] [--window 4]
#                           [--rate 10000] [--open-clients 1000] [--open-seconds 5]
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
