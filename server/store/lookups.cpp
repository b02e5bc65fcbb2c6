#include "server/store/lookups.h"

namespace vexa::server {

using Lock = std::lock_guard<std::mutex>;

std::optional<std::int64_t> Lookups::IdByName(std::string_view name,
                                              FunctionRef<std::optional<std::int64_t>()> read) {
    Lock lock(mutex_);
    auto found = idByName_.find(std::string(name));
    if (found != idByName_.end()) return found->second;
    std::optional<std::int64_t> id = read();
    if (id) idByName_.emplace(std::string(name), *id);
    return id;
}

bool Lookups::IsBlocked(std::int64_t owner, std::int64_t blocked, FunctionRef<std::vector<Pair>()> readAll) {
    Lock lock(mutex_);
    if (!blockedLoaded_) {
        for (const Pair& p : readAll()) blocked_.insert(p);
        blockedLoaded_ = true;
    }
    return blocked_.count({owner, blocked}) > 0;
}

void Lookups::Blocked(std::int64_t owner, std::int64_t blocked) {
    Lock lock(mutex_);
    if (blockedLoaded_) blocked_.emplace(owner, blocked);
}

void Lookups::Unblocked(std::int64_t owner, std::int64_t blocked) {
    Lock lock(mutex_);
    blocked_.erase({owner, blocked});
}

void Lookups::Deleted(std::int64_t account) {
    Lock lock(mutex_);
    for (auto it = idByName_.begin(); it != idByName_.end();) it = it->second == account ? idByName_.erase(it) : std::next(it);
    for (auto it = blocked_.begin(); it != blocked_.end();)
        it = it->first == account || it->second == account ? blocked_.erase(it) : std::next(it);
}

}  // namespace vexa::server
