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
# Cluster mode: starts its own PostgreSQL and NATS (as the server tests do),
# runs vexaim-server processes, and reports in one run one server on SQLite,
# one on PostgreSQL, two nodes with pairs on the same node and with partners
# on different nodes: msg/s, p50/p99, the CPU of every process, PostgreSQL
# transactions per chat, the same at a fixed rate, and a projection for
# larger clusters. Everything it starts is stopped on every way out.
#
#   scripts/server-bench.sh --cluster [--clients 200] [--window 4] [--seconds 8] [--rate 5000]
#                                     [--nodes 2] [--rounds 1] [--no-fsync] [--server [LABEL=]PATH]...
# (--server, repeatable: measure that vexaim-server build instead, each in
# turn, so that an older build and a newer one are compared in one run;
# --rounds N: all of it N times, the aims read from the median round.)
#
# Builds its own optimised folder (build/server-bench), the benchmark and the
# server program.
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
