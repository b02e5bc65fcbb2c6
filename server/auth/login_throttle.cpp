#include "server/auth/login_throttle.h"

#include <algorithm>

namespace vexa::server {

LoginThrottle::LoginThrottle(ThrottleOptions options) : options_(std::move(options)) {}

void LoginThrottle::Fade(Count& c, Clock::time_point now) const {
    if (c.failures == 0 || now <= c.updated || options_.forget.count() <= 0) {
        c.updated = std::max(c.updated, now);
        return;
    }
    // Whole failures, one per interval, so a count means what it says.
    auto intervals = static_cast<std::uint64_t>((now - c.updated) / options_.forget);
    if (intervals >= c.failures) {
        c.failures = 0;
        c.updated = now;
    } else {
        c.failures -= static_cast<unsigned>(intervals);
        c.updated += intervals * options_.forget;
    }
}

LoginThrottle::Clock::duration LoginThrottle::Delay(const Count& c, unsigned free) const {
    if (c.failures < free) return Clock::duration::zero();
    unsigned steps = std::min(c.failures - free, 30u);
    auto delay = std::chrono::duration_cast<Clock::duration>(options_.delay * (1ull << steps));
    return std::min<Clock::duration>(delay, options_.maxDelay);
}

template <class Key>
LoginThrottle::Count& LoginThrottle::Find(std::unordered_map<Key, Count>& map, const Key& key, Clock::time_point now) {
    auto found = map.find(key);
    if (found != map.end()) {
        Fade(found->second, now);
        return found->second;
    }
    if (map.size() >= options_.maxTracked) {
        // Forget what has faded; failing that, the entry left alone longest.
        for (auto it = map.begin(); it != map.end();) {
            Fade(it->second, now);
            if (it->second.failures == 0 && it->second.lockedUntil <= now && it->second.nextTurn <= now)
                it = map.erase(it);
            else
                ++it;
        }
        if (map.size() >= options_.maxTracked) {
            auto oldest = std::min_element(map.begin(), map.end(), [](const auto& a, const auto& b) {
                return std::max(a.second.lockedUntil, a.second.nextTurn) < std::max(b.second.lockedUntil, b.second.nextTurn);
            });
            map.erase(oldest);
        }
    }
    Count& c = map[key];
    c.updated = now;
    return c;
}

LoginThrottle::Verdict LoginThrottle::Admit(std::int64_t account, const std::string& address, Clock::time_point now,
                                            std::optional<Clock::duration> maxWait) {
    std::lock_guard<std::mutex> lock(mutex_);
    Verdict v;
    Count* acc = account != 0 ? &Find(accounts_, account, now) : nullptr;
    Count& addr = Find(addresses_, address, now);
    Clock::time_point lockedUntil = std::max(addr.lockedUntil, acc ? acc->lockedUntil : Clock::time_point{});
    if (lockedUntil > now) {
        v.refused = true;
        v.retryAfter = std::chrono::ceil<std::chrono::seconds>(lockedUntil - now);
        return v;
    }
    // Each keeps its own chain of turns: a slowed account never slows its
    // address for the other accounts behind it, nor the reverse.
    Clock::time_point addrTurn = std::max(now, addr.nextTurn);
    Clock::time_point accTurn = acc ? std::max(now, acc->nextTurn) : now;
    Clock::time_point turn = std::max(addrTurn, accTurn);
    // A queue of turns longer than a few delays is no use to anyone waiting in it.
    if (turn - now > maxWait.value_or(4 * options_.maxDelay)) {
        v.refused = true;
        v.retryAfter = std::chrono::ceil<std::chrono::seconds>(turn - now);
        return v;
    }
    addr.nextTurn = addrTurn + Delay(addr, options_.addressFree);
    if (acc) acc->nextTurn = accTurn + Delay(*acc, options_.accountFree);
    v.notBefore = turn;
    return v;
}

bool LoginThrottle::Failed(std::int64_t account, const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool locked = false;
    auto count = [&](Count& c, unsigned free, unsigned lockAt) {
        c.failures += 1;
        // The next turn waits for the delay this failure earned.
        c.nextTurn = std::max(c.nextTurn, now + Delay(c, free));
        if (c.failures >= lockAt && c.lockedUntil <= now) {
            c.lockedUntil = now + options_.lockout;
            locked = true;
        }
    };
    if (account != 0) count(Find(accounts_, account, now), options_.accountFree, options_.accountLock);
    count(Find(addresses_, address, now), options_.addressFree, options_.addressLock);
    return locked;
}

void LoginThrottle::Succeeded(std::int64_t account) {
    std::lock_guard<std::mutex> lock(mutex_);
    accounts_.erase(account);
}

void LoginThrottle::SucceededFrom(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    addresses_.erase(address);
}

unsigned LoginThrottle::AccountFailures(std::int64_t account, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = accounts_.find(account);
    if (found == accounts_.end()) return 0;
    Fade(found->second, now);
    return found->second.failures;
}

}  // namespace vexa::server
