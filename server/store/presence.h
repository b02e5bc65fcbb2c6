// The nodes of a cluster as the database knows them: each node's heartbeat,
// which the operators' consoles read. Who is online where is kept in memory
// by the nodes themselves (cluster/directory.h), never here.
#pragma once

#include <string>

namespace vexa::server {

class PresenceDirectory {
public:
    virtual ~PresenceDirectory() = default;
    // The node's heartbeat; a starting node also clears the presence rows an
    // older version of the server left behind (clearOwn).
    virtual void Heartbeat(const std::string& node, bool clearOwn) = 0;
};

}  // namespace vexa::server
