#include "server/base/log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>

namespace vexa::server {

namespace {
std::atomic<int> g_level{static_cast<int>(LogLevel::Info)};
std::mutex g_mutex;
std::function<void(LogLevel, std::string_view)> g_observer;  // under g_mutex
constexpr std::size_t kRecentLines = 500;
std::deque<std::string> g_recent;  // under g_mutex

// Per kind of limited line: how many were written and left out in the current minute.
constexpr std::size_t kLimitedBurst = 10;
constexpr auto kLimitedWindow = std::chrono::minutes(1);
struct LimitedKind {
    std::chrono::steady_clock::time_point windowStart;
    std::size_t written = 0;
    std::size_t leftOut = 0;
};
std::mutex g_limitedMutex;
std::map<std::string, LimitedKind, std::less<>> g_limited;  // under g_limitedMutex; kinds are the call sites'
const char* LevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Error: return "ERROR";
        case LogLevel::Warn: return "WARN ";
        case LogLevel::Info: return "INFO ";
        case LogLevel::Debug: return "DEBUG";
    }
    return "?";
}
}  // namespace

void SetLogLevel(LogLevel level) { g_level = static_cast<int>(level); }

void SetLogObserver(std::function<void(LogLevel, std::string_view)> observer) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_observer = std::move(observer);
}
LogLevel CurrentLogLevel() { return static_cast<LogLevel>(g_level.load()); }

void Log(LogLevel level, std::string_view message) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_observer) g_observer(level, message);
    }
    if (static_cast<int>(level) > g_level.load()) return;
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char head[64];
    std::snprintf(head, sizeof head, "%s.%03d %s ", stamp, static_cast<int>(millis), LevelName(level));
    std::string line = head;
    line.append(message);
    std::lock_guard<std::mutex> lock(g_mutex);
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    g_recent.push_back(std::move(line));
    if (g_recent.size() > kRecentLines) g_recent.pop_front();
}

void LogLimited(LogLevel level, std::string_view kind, std::string_view message) {
    if (static_cast<int>(level) > g_level.load()) return;
    std::size_t leftOut = 0;
    {
        std::lock_guard<std::mutex> lock(g_limitedMutex);
        auto found = g_limited.find(kind);
        if (found == g_limited.end()) found = g_limited.emplace(std::string(kind), LimitedKind{}).first;
        LimitedKind& k = found->second;
        auto now = std::chrono::steady_clock::now();
        if (k.written == 0 && k.leftOut == 0) k.windowStart = now;
        if (now - k.windowStart >= kLimitedWindow) {
            leftOut = k.leftOut;
            k = LimitedKind{now, 0, 0};
        }
        if (k.written >= kLimitedBurst) {
            ++k.leftOut;
            return;
        }
        ++k.written;
    }
    if (leftOut != 0)
        Log(level, std::to_string(leftOut) + " more lines like the next were left out (" + std::string(kind) + ")");
    Log(level, message);
}

std::vector<std::string> RecentLogLines(std::size_t max) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::size_t n = std::min(max, g_recent.size());
    return std::vector<std::string>(g_recent.end() - static_cast<std::ptrdiff_t>(n), g_recent.end());
}

std::string Printable(std::string_view bytes, std::size_t maxBytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    std::size_t n = bytes.size() < maxBytes ? bytes.size() : maxBytes;
    for (std::size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            out.append("\\x").push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    if (n < bytes.size()) out.append("...");
    return out;
}

}  // namespace vexa::server
