// Slows down password guessing.
//
// Failed logins are counted per account and per source address. Up to a free
// number of failures nothing changes; past it, each attempt for that account
// (or from that address) waits for its turn, and the turns are spaced by a
// delay that doubles with every further failure up to a ceiling; from a lock
// number on, attempts are refused outright for a lockout time. Counts fade:
// one failure is forgotten per forget interval. A successful login clears its
// account's count (not its address's, or one known password would clear the
// way for guessing others). The limits for an address are higher than for an
// account, so people behind one address who mistype are not slowed, and
// honest users of other accounts are never affected by guesses at one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace vexa::server {

struct ThrottleOptions {
    unsigned accountFree = 3;     // failures per account before delays start
    unsigned accountLock = 10;    // failures per account that lock it out
    unsigned addressFree = 20;
    unsigned addressLock = 100;
    std::chrono::milliseconds delay{250};     // the first delay, doubled per failure
    std::chrono::milliseconds maxDelay{8'000};
    std::chrono::milliseconds forget{60'000};  // one failure forgotten per this time
    std::chrono::milliseconds lockout{300'000};
    std::size_t maxTracked = 65'536;           // accounts and addresses remembered, each
};

class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    explicit LoginThrottle(ThrottleOptions options = {});

    struct Verdict {
        bool refused = false;
        Clock::time_point notBefore;         // when the password may be checked
        std::chrono::seconds retryAfter{0};  // for a refusal
    };
    // Takes a turn for one attempt; account 0 for a name that is no account.
    // A turn further off than maxWait (by default four of the longest
    // delays) is refused and not taken, so that a caller who comes back
    // after retryAfter finds it free.
    Verdict Admit(std::int64_t account, const std::string& address, Clock::time_point now,
                  std::optional<Clock::duration> maxWait = std::nullopt);
    // Counts a failure; true when it locked the account or the address.
    bool Failed(std::int64_t account, const std::string& address, Clock::time_point now);
    void Succeeded(std::int64_t account);
    // Clears an address's count, where the address is the one thing counted
    // (the console's administrator, whose one password is now known there).
    void SucceededFrom(const std::string& address);

    // Failures currently counted, for tests and log lines.
    unsigned AccountFailures(std::int64_t account, Clock::time_point now);

private:
    struct Count {
        unsigned failures = 0;
        Clock::time_point updated;  // the failures are counted as of this time
        Clock::time_point nextTurn;
        Clock::time_point lockedUntil;
    };
    template <class Key>
    Count& Find(std::unordered_map<Key, Count>& map, const Key& key, Clock::time_point now);
    void Fade(Count& c, Clock::time_point now) const;
    Clock::duration Delay(const Count& c, unsigned free) const;

    ThrottleOptions options_;
    std::mutex mutex_;
    std::unordered_map<std::int64_t, Count> accounts_;
    std::unordered_map<std::string, Count> addresses_;
};

}  // namespace vexa::server
