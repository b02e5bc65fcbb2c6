// The cluster benchmark: one server on SQLite, one on PostgreSQL, and two or
// more nodes sharing PostgreSQL and NATS, each a vexaim-server process of its
// own, measured in one run with pairs of clients chatting.
#pragma once

namespace vexa::bench {

// argv holds the options after --cluster; returns the exit status.
int RunClusterBench(int argc, char** argv);

}  // namespace vexa::bench
