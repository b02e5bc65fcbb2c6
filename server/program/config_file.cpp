#include "server/program/config_file.h"

namespace vexa::server {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool IsNameCharacter(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

}  // namespace

std::vector<ConfigEntry> ParseConfig(std::string_view text, std::string& error) {
    std::vector<ConfigEntry> entries;
    error.clear();
    int number = 0;
    while (!text.empty()) {
        ++number;
        std::size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            error = "line " + std::to_string(number) + ": expected NAME = VALUE";
            return {};
        }
        std::string_view name = Trim(line.substr(0, eq));
        std::string_view value = Trim(line.substr(eq + 1));
        if (name.empty() || name.size() > 64 || name.front() == '-') {
            error = "line " + std::to_string(number) + ": expected an option name before =";
            return {};
        }
        for (char c : name) {
            if (!IsNameCharacter(c)) {
                error = "line " + std::to_string(number) + ": an option name is lower-case letters, digits and -";
                return {};
            }
        }
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (value.find('\0') != std::string_view::npos) {
            error = "line " + std::to_string(number) + ": a zero byte in the value";
            return {};
        }
        entries.push_back(ConfigEntry{std::string(name), std::string(value), number});
    }
    return entries;
}

bool ParseSwitch(std::string_view value, bool& on) {
    if (value == "yes" || value == "true" || value == "on" || value == "1") return on = true, true;
    if (value == "no" || value == "false" || value == "off" || value == "0") return on = false, true;
    return false;
}

}  // namespace vexa::server
