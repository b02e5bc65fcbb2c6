// The program's options, from one table: each option's name, help, how it
// is read (from the command line or the configuration file, which name it
// alike) and how it is printed back (--print-config, the packaged
// configuration file).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "server/program/options.h"

namespace vexa::server {

struct ProgramOptions {
    ServerOptions server;
    std::string database = "data/vexaim.db";  // the SQLite file, or a PostgreSQL connection string
    bool postgres = false;
    bool seedDemo = false, adminOnly = false, printConfig = false;
    std::vector<std::string> accounts, friendships, passwords;  // ID:PASS, ID:ID, ID:PASS
    std::string backupTo;  // a copy of the SQLite database to make, instead of serving
    std::string adminPasswordFile;  // "-": standard input
    std::string metricsTokenFile;
    std::string logLevel = "info";
};

// One option: its name, the value it takes (empty for a flag), its help
// text, what it does with the value (an error text, or empty), and the values
// now in force as a configuration file would give them (one per line for an
// option that repeats; none when it is unset).
struct Option {
    const char* name;
    const char* value;
    const char* help;
    std::function<std::string(ProgramOptions&, const char*)> apply;
    std::function<std::vector<std::string>(const ProgramOptions&)> show;
};

const std::vector<Option>& Options();
const Option* FindOption(const std::string& name);

// The --help text.
std::string Usage();
// The command line, over the configuration file it names (which is read
// first, so that the command line wins). An error text, or empty; help is
// set for --help.
std::string ParseCommandLine(int argc, char** argv, ProgramOptions& program, bool& help);
// The options in force, as a configuration file.
std::string ConfigText(const ProgramOptions& program);

// A connection string or URL as it may be shown: its password replaced, in
// a URL's user part or query and in a "key=value" string alike.
std::string WithoutPassword(std::string where);

// The first size bytes at most of a file (or of standard input, "-"); false
// when it cannot be read or is larger.
bool ReadFile(const std::string& path, std::size_t max, std::string& out);

}  // namespace vexa::server
