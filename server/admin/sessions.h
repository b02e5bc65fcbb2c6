// The console's signed-in sessions, kept in memory: a session is a random
// token in an HttpOnly, SameSite=Strict cookie, with a token of its own
// against cross-site requests that every form and every API call that
// changes something must carry back.
//
// A session ends after 30 minutes without a request, after 12 hours in any
// case, at sign-out, and when the server stops. At most 64 are kept; a new
// one pushes out the one used longest ago.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vexa::server::admin {

struct SessionLimits {
    std::chrono::seconds idle{30 * 60};
    std::chrono::seconds lifetime{12 * 3600};
    std::size_t max = 64;
};

class AdminSessions {
public:
    using Clock = std::chrono::steady_clock;
    struct Session {
        std::string csrf;     // the token forms and API calls carry back
        std::string address;  // where the sign-in came from
        std::string flash;    // a message for the next page, shown once
        bool flashIsError = false;
        Clock::time_point created, lastSeen;
    };

    explicit AdminSessions(SessionLimits limits = {}) : limits_(limits) {}
    // A new session's cookie token.
    std::string Create(const std::string& address, Clock::time_point now);
    // The session of a cookie token, marked as used now unless touch is
    // false (a page's background poll, which nobody is there to make);
    // nullopt when there is none or it has ended. Its flash is handed out once.
    std::optional<Session> Use(const std::string& token, Clock::time_point now, bool takeFlash = false,
                               bool touch = true);
    void SetFlash(const std::string& token, std::string message, bool isError);
    void Remove(const std::string& token);

private:
    SessionLimits limits_;
    std::mutex mutex_;
    std::unordered_map<std::string, Session> sessions_;
};

// 32 random bytes as 64 hexadecimal digits.
std::string RandomToken();
// The value of one cookie in a Cookie header; empty when absent.
std::string CookieValue(std::string_view header, std::string_view name);
// Compared in a time that does not depend on where they differ.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace vexa::server::admin
