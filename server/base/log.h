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
// For lines that anybody who can connect may cause as often as they like
// (refused connections, the closes of connections that never logged in,
// failed logins and sign-ins, refused console requests): at most a few lines
// of one kind are written per minute, and how many were left out is written
// with the next line of that kind. A flood then cannot push the other lines
// off the console's log page. kind names the call site, such as
// "console sign-in".
void LogLimited(LogLevel level, std::string_view kind, std::string_view message);
// The last lines written (at most max, oldest first), as they were written,
// for the operators' console.
std::vector<std::string> RecentLogLines(std::size_t max);

// Printable ASCII as is; every other byte as \xHH; at most maxBytes of input.
std::string Printable(std::string_view bytes, std::size_t maxBytes = 64);

}  // namespace vexa::server
