// Readable log lines on standard error: time, level, message.
//
// Bytes that come from clients (user IDs, texts) are written through
// Printable, so a hostile client cannot forge log lines or send terminal
// control sequences to whoever reads the log.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vexa::server {

enum class LogLevel { Error = 0, Warn = 1, Info = 2, Debug = 3 };

void SetLogLevel(LogLevel level);
// Also hands every line written to observer (tests read the log this way);
// nullptr stops it.
void SetLogObserver(std::function<void(LogLevel, std::string_view)> observer);
LogLevel CurrentLogLevel();
void Log(LogLevel level, std::string_view message);
// The last lines written (at most max, oldest first), as they were written,
// for the operators' console.
std::vector<std::string> RecentLogLines(std::size_t max);

// Printable ASCII as is; every other byte as \xHH; at most maxBytes of input.
std::string Printable(std::string_view bytes, std::size_t maxBytes = 64);

}  // namespace vexa::server
