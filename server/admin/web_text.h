// Text for the operators' console: GBK to and from UTF-8, escaping for HTML
// and JSON, and short renderings of ages. Pure functions on bytes.
//
// Everything the console shows comes from outside (account names, nicknames,
// log lines that carry client bytes), so every text goes through EscapeHtml
// or JsonString on its way out, and GBK that is not well formed is shown as
// \xHH rather than guessed at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexa::server::admin {

// GBK (code page 936) as UTF-8; a byte that does not begin a well-formed
// character becomes the four characters \xHH.
std::string GbkToUtf8(std::string_view gbk);
// nullopt when the text is not UTF-8 or has a character GBK cannot carry.
std::optional<std::string> Utf8ToGbk(std::string_view utf8);
// A log line as Printable wrote it (client bytes as \xHH), shown with its GBK
// decoded where it is well formed.
std::string LogLineToUtf8(std::string_view line);

std::string EscapeHtml(std::string_view utf8);
// A quoted JSON string; <, > and & are escaped too, so the text is safe
// inside a page as well.
std::string JsonString(std::string_view utf8);

// "42 s", "5 min", "3 h 20 min", "2 d 4 h".
std::string Age(std::int64_t seconds);
// Local time as "YYYY-MM-DD HH:MM:SS".
std::string LocalTime(std::int64_t unixSeconds);

// A whole decimal number in [min, max] and nothing else; nullopt otherwise.
std::optional<std::int64_t> ParseId(std::string_view text, std::int64_t min = 1,
                                    std::int64_t max = 9'000'000'000'000'000'000);

}  // namespace vexa::server::admin
