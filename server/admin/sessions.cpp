#include "server/admin/sessions.h"

#include <sodium.h>

#include <algorithm>

namespace vexa::server::admin {

std::string AdminSessions::Create(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        bool ended = now - it->second.lastSeen > limits_.idle || now - it->second.created > limits_.lifetime;
        it = ended ? sessions_.erase(it) : std::next(it);
    }
    while (sessions_.size() >= limits_.max && !sessions_.empty()) {
        auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
            return a.second.lastSeen < b.second.lastSeen;
        });
        sessions_.erase(oldest);
    }
    std::string token = RandomToken();
    Session s;
    s.csrf = RandomToken();
    s.address = address;
    s.created = s.lastSeen = now;
    sessions_.emplace(token, std::move(s));
    return token;
}

std::optional<AdminSessions::Session> AdminSessions::Use(const std::string& token, Clock::time_point now,
                                                          bool takeFlash, bool touch) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = sessions_.find(token);
    if (found == sessions_.end()) return std::nullopt;
    Session& s = found->second;
    if (now - s.lastSeen > limits_.idle || now - s.created > limits_.lifetime) {
        sessions_.erase(found);
        return std::nullopt;
    }
    if (touch) s.lastSeen = now;
    Session copy = s;
    if (takeFlash) s.flash.clear();
    else copy.flash.clear();
    return copy;
}

void AdminSessions::SetFlash(const std::string& token, std::string message, bool isError) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = sessions_.find(token);
    if (found == sessions_.end()) return;
    found->second.flash = std::move(message);
    found->second.flashIsError = isError;
}

void AdminSessions::Remove(const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(token);
}

std::string RandomToken() {
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return hex;
}

std::string CookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        std::size_t end = header.find(';');
        std::string_view pair = header.substr(0, end);
        header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
        while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
        std::size_t eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == name) return std::string(pair.substr(eq + 1));
    }
    return {};
}

bool SameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size() || a.empty()) return false;
    return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace vexa::server::admin
