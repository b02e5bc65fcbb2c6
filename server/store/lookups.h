// The lookups of every chat kept in memory: account numbers by name, and the
// blacklist. Only where this process is the database's one writer, so they
// cannot go stale: the store keeps them in step with every change it makes.
//
// Only names of accounts that exist are kept; a name asked for and not found
// costs the query each time, so a stranger cannot fill the memory.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "server/base/function_ref.h"

namespace vexa::server {

class Lookups {
public:
    using Pair = std::pair<std::int64_t, std::int64_t>;

    // read asks the database on a miss (under this object's lock, so that a
    // change the store makes meanwhile is applied after what was read).
    std::optional<std::int64_t> IdByName(std::string_view name,
                                         FunctionRef<std::optional<std::int64_t>()> read);
    bool IsBlocked(std::int64_t owner, std::int64_t blocked, FunctionRef<std::vector<Pair>()> readAll);

    // After the store changed the database.
    void Blocked(std::int64_t owner, std::int64_t blocked);
    void Unblocked(std::int64_t owner, std::int64_t blocked);
    // What is kept of the account goes with it: its number may be given again.
    void Deleted(std::int64_t account);

private:
    struct PairHash {
        std::size_t operator()(const Pair& p) const { return std::hash<std::int64_t>()(p.first * 1000003 ^ p.second); }
    };
    std::mutex mutex_;
    std::unordered_map<std::string, std::int64_t> idByName_;
    std::unordered_set<Pair, PairHash> blocked_;
    bool blockedLoaded_ = false;
};

}  // namespace vexa::server
