// The configuration file: the command line's options, one per line.
//
//     # comment
//     port = 7788
//     store = postgresql://vexa@db/vexaim
//     seed-demo = yes
//     add-account = 10009:secret      (options that repeat, repeat)
//
// A name is an option without its "--"; a value may be put in double quotes
// to keep blanks at its ends. Parsing is text in, entries out; the program
// applies them with its option table, before the command line, which wins.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vexa::server {

struct ConfigEntry {
    std::string name;
    std::string value;
    int line = 0;
};

// Empty error on success; otherwise "line N: what".
std::vector<ConfigEntry> ParseConfig(std::string_view text, std::string& error);

// "yes", "true", "on", "1" and "no", "false", "off", "0"; false for anything else.
bool ParseSwitch(std::string_view value, bool& on);

}  // namespace vexa::server
