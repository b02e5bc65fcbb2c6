#include "server/program/option_table.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <type_traits>

#include "server/base/log.h"
#include "server/program/config_file.h"

namespace vexa::server {

namespace {

using O = ProgramOptions;
using Shown = std::vector<std::string>;

bool ParseNumber(const char* text, unsigned long long min, unsigned long long max, unsigned long long& out) {
    if (!text || !*text || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max) return false;
    out = value;
    return true;
}

// "A,B" as two numbers within the bounds.
bool ParsePair(const char* text, unsigned long long min, unsigned long long max, unsigned long long& a,
               unsigned long long& b) {
    if (!text) return false;
    std::string s = text;
    auto comma = s.find(',');
    if (comma == std::string::npos) return false;
    return ParseNumber(s.substr(0, comma).c_str(), min, max, a) && ParseNumber(s.c_str() + comma + 1, min, max, b);
}

Shown Text(const std::string& s) { return s.empty() ? Shown{} : Shown{s}; }
Shown Number(unsigned long long n) { return {std::to_string(n)}; }

// The kinds of option, each a row's reading and printing. field gives the
// member the option sets.

template <class Field>
Option Flag(const char* name, const char* help, Field field) {
    return {name, "", help, [field](O& o, const char*) { return field(o) = true, std::string(); },
            [field](const O& o) { return Shown{field(const_cast<O&>(o)) ? "yes" : "no"}; }};
}

// A text; needsText: an empty one is refused too.
template <class Field>
Option Word(const char* name, const char* value, const char* help, Field field, bool needsText, const char* error) {
    return {name, value, help,
            [=](O& o, const char* v) {
                if (!v || (needsText && !*v)) return std::string(error);
                field(o) = v;
                return std::string();
            },
            [field](const O& o) { return Text(field(const_cast<O&>(o))); }};
}

// A whole number within [min, max]; hideZero: 0 (the default) is printed as unset.
template <class Field>
Option Count(const char* name, const char* value, const char* help, Field field, unsigned long long min,
             unsigned long long max, const char* error, bool hideZero = false) {
    return {name, value, help,
            [=](O& o, const char* v) {
                unsigned long long n = 0;
                if (!ParseNumber(v, min, max, n)) return std::string(error);
                field(o) = static_cast<std::decay_t<decltype(field(o))>>(n);
                return std::string();
            },
            [=](const O& o) {
                auto n = field(const_cast<O&>(o));
                return hideZero && n == 0 ? Shown{} : Number(n);
            }};
}

// Whole seconds within [min, max], kept as a duration.
template <class Field>
Option Seconds(const char* name, const char* help, Field field, unsigned long long min, unsigned long long max) {
    return {name, "SEC", help,
            [=](O& o, const char* v) {
                unsigned long long n = 0;
                if (!ParseNumber(v, min, max, n))
                    return std::string(name) + " needs " + std::to_string(min) + ".." + std::to_string(max) + " seconds";
                field(o) = std::chrono::seconds(n);
                return std::string();
            },
            [=](const O& o) {
                return Number(
                    static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::seconds>(field(const_cast<O&>(o))).count()));
            }};
}

// "A,B" within [min, max], A below B (or at most B with orEqual).
template <class First, class Second>
Option Pair(const char* name, const char* value, const char* help, First first, Second second, unsigned long long max,
            bool orEqual, const char* error) {
    return {name, value, help,
            [=](O& o, const char* v) {
                unsigned long long a = 0, b = 0;
                if (!ParsePair(v, 1, max, a, b) || b < a || (b == a && !orEqual)) return std::string(error);
                first(o) = static_cast<std::decay_t<decltype(first(o))>>(a);
                second(o) = static_cast<std::decay_t<decltype(second(o))>>(b);
                return std::string();
            },
            [=](const O& o) {
                auto plain = [](auto v) -> unsigned long long {
                    if constexpr (std::is_arithmetic_v<decltype(v)>)
                        return v;
                    else
                        return static_cast<unsigned long long>(v.count());
                };
                return Shown{std::to_string(plain(first(const_cast<O&>(o)))) + "," +
                             std::to_string(plain(second(const_cast<O&>(o))))};
            }};
}

// "ID:PASS", repeated; the passwords stay out of what is printed.
template <class Field>
Option WithPasswords(const char* name, const char* help, Field field) {
    return {name, "ID:PASS", help,
            [=](O& o, const char* v) {
                return v ? (field(o).push_back(v), std::string()) : std::string(name) + " needs ID:PASSWORD";
            },
            [=](const O& o) {
                Shown ids;
                for (const std::string& a : field(const_cast<O&>(o))) ids.push_back(a.substr(0, a.find(':')) + ":********");
                return ids;
            }};
}

// "[ADDR:]PORT" of the console.
std::string SetAdmin(O& o, const char* v) {
    std::string where = v ? v : "";
    auto colon = where.rfind(':');
    std::string address = colon == std::string::npos ? "127.0.0.1" : where.substr(0, colon);
    std::string port = colon == std::string::npos ? where : where.substr(colon + 1);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    unsigned long long n = 0;
    if (address.empty() || !ParseNumber(port.c_str(), 0, 65535, n)) return "--admin needs [ADDR:]PORT";
    o.server.admin.enabled = true;
    o.server.admin.address = address;
    o.server.admin.port = static_cast<std::uint16_t>(n);
    return {};
}

std::string SetStore(O& o, const char* v) {
    std::string where = v ? v : "";
    if (where.rfind("sqlite:", 0) == 0 && where.size() > 7) {
        o.database = where.substr(7);
        o.postgres = false;
    } else if (where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0 ||
               where.find('=') != std::string::npos) {
        o.database = where;
        o.postgres = true;
    } else {
        return "--store needs sqlite:PATH or a PostgreSQL connection string";
    }
    return {};
}

std::string ApplyLogLevel(O& o, const char* v) {
    std::string level = v ? v : "";
    if (level == "error") SetLogLevel(LogLevel::Error);
    else if (level == "warn") SetLogLevel(LogLevel::Warn);
    else if (level == "info") SetLogLevel(LogLevel::Info);
    else if (level == "debug") SetLogLevel(LogLevel::Debug);
    else return "--log-level needs error, warn, info or debug";
    o.logLevel = level;
    return {};
}

// The rows a table of their own would not make clearer: where the data is,
// who the node is, the accounts to make, the console.
std::vector<Option> StoreAndClusterOptions() {
    return {
        Word("--address", "ADDR", "address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)",
             [](O& o) -> auto& { return o.server.address; }, false, "--address needs a value"),
        Count("--port", "N", "TCP port (default 7788; 0 picks a free one and logs it)",
              [](O& o) -> auto& { return o.server.port; }, 0, 65535, "--port needs a number 0..65535"),
        {"--store", "WHERE",
         "where the data is kept: sqlite:PATH (the default, sqlite:./data/vexaim.db;\n"
         "its folder is created), or a PostgreSQL connection string\n"
         "(postgresql://USER@HOST:PORT/DB or \"host=... dbname=...\") for a cluster",
         SetStore, [](const O& o) { return Shown{o.postgres ? WithoutPassword(o.database) : "sqlite:" + o.database}; }},
        {"--database", "PATH", "the same as --store sqlite:PATH",
         [](O& o, const char* v) {
             if (!v || !*v) return std::string("--database needs a path");
             o.database = v;
             o.postgres = false;
             return std::string();
         },
         [](const O& o) { return o.postgres ? Shown{} : Shown{o.database}; }},
        {"--cluster", "nats://HOST:PORT",
         "be one node of a cluster that shares the --store PostgreSQL and this\n"
         "NATS server (default: off, a single server)",
         [](O& o, const char* v) {
             std::string url = v ? v : "";
             if (url.rfind("nats://", 0) != 0) return std::string("--cluster needs nats://HOST:PORT");
             o.server.cluster.natsUrl = url;
             return std::string();
         },
         [](const O& o) { return Text(WithoutPassword(o.server.cluster.natsUrl)); }},
        {"--node-name", "NAME", "this node's name in the cluster, unique (default HOSTNAME:PORT)",
         [](O& o, const char* v) {
             std::string name = v ? v : "";
             if (name.empty() || name.size() > 64 || name.find_first_of(" .*>\t") != std::string::npos)
                 return std::string("--node-name needs 1-64 characters without blanks, dots, * or >");
             o.server.cluster.node = name;
             return std::string();
         },
         [](const O& o) { return Text(o.server.cluster.node); }},
        Count("--store-threads", "N", "threads (and database connections) for PostgreSQL work (default 8)",
              [](O& o) -> auto& { return o.server.storeThreads; }, 1, 256, "--store-threads needs 1..256"),
    };
}

std::vector<Option> AccountOptions() {
    return {
        Flag("--seed-demo",
             "create the demo accounts if missing: 10001 (alice, password alice123),\n"
             "10002 (bob, bob123), 10003 (carol, carol123); alice is friends with both",
             [](O& o) -> auto& { return o.seedDemo; }),
        WithPasswords("--add-account", "create an account (ID 1-20 bytes, PASS 1-19 bytes); may be repeated",
                      [](O& o) -> auto& { return o.accounts; }),
        {"--add-friends", "ID:ID", "make two accounts friends; may be repeated",
         [](O& o, const char* v) { return v ? (o.friendships.push_back(v), std::string()) : "--add-friends needs ID:ID"; },
         [](const O& o) { return o.friendships; }},
        WithPasswords("--set-password", "give an account a new password (1-19 bytes); may be repeated",
                      [](O& o) -> auto& { return o.passwords; }),
        Flag("--admin-only",
             "do the account work above, then exit without serving; works beside\n"
             "a server that runs on the same SQLite database, which sees it at once",
             [](O& o) -> auto& { return o.adminOnly; }),
        Word("--backup-to", "FILE",
             "copy the SQLite database (--database) to FILE consistently, also while\n"
             "a server uses it, then exit; FILE is replaced once the copy is whole",
             [](O& o) -> auto& { return o.backupTo; }, true, "--backup-to needs a file"),
    };
}

std::vector<Option> TlsAndConsoleOptions() {
    return {
        {"--tls-port", "N",
         "also serve TLS on this port (0 picks a free one and logs it); needs\n"
         "--tls-cert and --tls-key",
         [](O& o, const char* v) {
             unsigned long long n = 0;
             if (!ParseNumber(v, 0, 65535, n)) return std::string("--tls-port needs a number 0..65535");
             o.server.tls.port = static_cast<int>(n);
             return std::string();
         },
         [](const O& o) { return o.server.tls.port >= 0 ? Number(static_cast<unsigned>(o.server.tls.port)) : Shown{}; }},
        Word("--tls-cert", "FILE", "the server's certificate in PEM, then its chain",
             [](O& o) -> auto& { return o.server.tls.certFile; }, true, "--tls-cert needs a file"),
        Word("--tls-key", "FILE", "the certificate's private key in PEM",
             [](O& o) -> auto& { return o.server.tls.keyFile; }, true, "--tls-key needs a file"),
        Flag("--tls-only", "serve TLS only: no plain listener (--port is then unused)",
             [](O& o) -> auto& { return o.server.tls.only; }),
        {"--admin", "[ADDR:]PORT",
         "serve the operators' web console and /metrics there (default: off;\n"
         "ADDR 127.0.0.1 unless given; PORT 0 picks a free one and logs it)",
         SetAdmin,
         [](const O& o) {
             const auto& a = o.server.admin;
             return a.enabled ? Shown{a.address + ":" + std::to_string(a.port)} : Shown{};
         }},
        {"--admin-url", "URL",
         "where browsers reach the console through a TLS reverse proxy, such\n"
         "as https://console.example.com/: pages from there may post, and its\n"
         "host name is served (default: none, the console is reached directly)",
         [](O& o, const char* v) {
             if (!v || !admin::PublicOrigin(v)) return std::string("--admin-url needs http(s)://HOST[:PORT]/");
             o.server.admin.publicUrl = v;
             return std::string();
         },
         [](const O& o) { return Text(o.server.admin.publicUrl); }},
        Word("--backup-dir", "DIR",
             "the folder where the console's backup action writes its copies of\n"
             "the SQLite database (default: none, the action is off)",
             [](O& o) -> auto& { return o.server.admin.backupDir; }, true, "--backup-dir needs a folder"),
        Word("--metrics-token-file", "FILE",
             "a scraper may read /metrics with the token in FILE (sent as\n"
             "Authorization: Bearer TOKEN); without it only a signed-in console may",
             [](O& o) -> auto& { return o.metricsTokenFile; }, true, "--metrics-token-file needs a file"),
        Word("--set-admin-password", "FILE",
             "set the console's administrator password to the first line of FILE\n"
             "(- for standard input; 8-1024 bytes), kept as an Argon2id hash in the store",
             [](O& o) -> auto& { return o.adminPasswordFile; }, true, "--set-admin-password needs a file or -"),
        {"--config", "FILE",
         "read options from FILE first, one NAME = VALUE per line (NAME is the\n"
         "option without --); the command line wins over the file",
         nullptr, nullptr},
        Flag("--print-config", "print the options in force as a configuration file, and exit",
             [](O& o) -> auto& { return o.printConfig; }),
    };
}

std::vector<Option> LimitOptions() {
    return {
        Count("--threads", "N", "network threads (default: one per core)",
              [](O& o) -> auto& { return o.server.networkThreads; }, 1, 256, "--threads needs 1..256", true),
        Count("--max-connections", "N", "connections served at once (default 1024)",
              [](O& o) -> auto& { return o.server.maxConnections; }, 1, 1000000, "--max-connections needs 1..1000000"),
        Count("--max-connections-per-address", "N",
              "connections from one address at once (default 256: an office behind\n"
              "one NAT address still gets in, and one address cannot fill the server)",
              [](O& o) -> auto& { return o.server.maxConnectionsPerAddress; }, 1, 1000000,
              "--max-connections-per-address needs 1..1000000"),
        // Room for a few of the largest packets, so one big packet never looks like a slow reader.
        Count("--max-backlog", "BYTES",
              "unsent bytes a slow client may hold up before it is disconnected\n"
              "(default 262144, at least 65536); chats waiting for it are kept for its next login",
              [](O& o) -> auto& { return o.server.limits.maxBacklogBytes; }, 65536, 1ull << 32,
              "--max-backlog needs at least 65536"),
        Seconds("--login-timeout", "time a new connection has to log in (default 30)",
                [](O& o) -> auto& { return o.server.limits.loginTimeout; }, 1, 86400),
        Seconds("--idle-timeout", "a logged-in client silent this long is disconnected (default 300)",
                [](O& o) -> auto& { return o.server.limits.idleTimeout; }, 1, 604800),
        Seconds("--linger",
                "how long a closing connection waits for its client to take the last\n"
                "packets and close (default 3); what it has not acknowledged is kept",
                [](O& o) -> auto& { return o.server.limits.linger; }, 1, 60),
        Count("--max-mail", "N", "packets kept for one offline user (default 10000)",
              [](O& o) -> auto& { return o.server.maxMailPerUser; }, 1, 10000000, "--max-mail needs 1..10000000"),
        Count("--hash-threads", "N", "threads that check passwords (default 2)",
              [](O& o) -> auto& { return o.server.hashThreads; }, 1, 64, "--hash-threads needs 1..64"),
    };
}

std::vector<Option> ThrottleAndLogOptions() {
    return {
        Pair("--throttle-account", "FREE,LOCK",
             "failed logins per account before they are slowed, and before they\n"
             "are refused for the lockout time (default 3,10)",
             [](O& o) -> auto& { return o.server.throttle.accountFree; },
             [](O& o) -> auto& { return o.server.throttle.accountLock; }, 100000, false,
             "--throttle-account needs FREE,LOCK with FREE < LOCK"),
        Pair("--throttle-address", "FREE,LOCK", "the same per source address (default 20,100)",
             [](O& o) -> auto& { return o.server.throttle.addressFree; },
             [](O& o) -> auto& { return o.server.throttle.addressLock; }, 1000000, false,
             "--throttle-address needs FREE,LOCK with FREE < LOCK"),
        Pair("--throttle-delay", "MS,MAX_MS",
             "the first delay of a slowed login, doubled per further failure up to\n"
             "MAX_MS (default 250,8000)",
             [](O& o) -> auto& { return o.server.throttle.delay; },
             [](O& o) -> auto& { return o.server.throttle.maxDelay; }, 600000, true,
             "--throttle-delay needs MS,MAX_MS with MS <= MAX_MS"),
        Seconds("--throttle-forget", "one counted failure is forgotten per SEC (default 60)",
                [](O& o) -> auto& { return o.server.throttle.forget; }, 1, 86400),
        Seconds("--throttle-lockout", "how long logins stay refused at the lock count (default 300)",
                [](O& o) -> auto& { return o.server.throttle.lockout; }, 1, 86400),
        {"--log-level", "LEVEL", "error, warn, info (default) or debug", ApplyLogLevel,
         [](const O& o) { return Shown{o.logLevel}; }},
    };
}

// The configuration file's options, applied as if they came before the command line's.
std::string ApplyConfig(ProgramOptions& program, const std::string& path) {
    std::string text, error;
    if (!ReadFile(path, 1 << 20, text)) return "cannot read the configuration file " + path;
    std::vector<ConfigEntry> entries = ParseConfig(text, error);
    if (!error.empty()) return path + ": " + error;
    for (const ConfigEntry& e : entries) {
        const Option* option = FindOption("--" + e.name);
        std::string where = path + " line " + std::to_string(e.line) + ": ";
        if (!option || !option->apply) return where + "unknown option " + e.name;
        if (!*option->value) {
            bool on = false;
            if (!ParseSwitch(e.value, on)) return where + e.name + " needs yes or no";
            if (on) error = option->apply(program, nullptr);
        } else {
            error = option->apply(program, e.value.c_str());
        }
        if (!error.empty()) return where + error;
    }
    return {};
}

}  // namespace

const std::vector<Option>& Options() {
    static const std::vector<Option> options = [] {
        std::vector<Option> all;
        for (auto part : {StoreAndClusterOptions, AccountOptions, TlsAndConsoleOptions, LimitOptions,
                          ThrottleAndLogOptions})
            for (Option& o : part()) all.push_back(std::move(o));
        return all;
    }();
    return options;
}

const Option* FindOption(const std::string& name) {
    for (const Option& o : Options())
        if (name == o.name) return &o;
    return nullptr;
}

std::string Usage() {
    std::string out =
        "Usage: vexaim-server [options]\n"
        "\n"
        "Serves the VexaIM protocol to IM programs that use the VexaIMPlus library.\n"
        "With no options it listens on 127.0.0.1:7788 and keeps its data in ./data/vexaim.db.\n"
        "\n"
        "Options:\n";
    for (const Option& o : Options()) {
        std::string head = std::string("  ") + o.name + (*o.value ? std::string(" ") + o.value : std::string());
        if (head.size() < 26) head.resize(26, ' ');
        else head += "\n" + std::string(26, ' ');
        std::string help = o.help;
        for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += 27)
            help.insert(at + 1, std::string(26, ' '));
        out += head + help + "\n";
    }
    out += "  --help                  show this text\n";
    return out;
}

std::string ParseCommandLine(int argc, char** argv, ProgramOptions& program, bool& help) {
    help = false;
    // The configuration file first, so that the command line wins.
    std::string configFile;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return {};
        }
        const Option* option = FindOption(arg);
        if (!option) return "unknown option " + arg;
        if (!*option->value) continue;
        if (i + 1 >= argc) return arg + " needs a value";
        ++i;
        if (arg == "--config") configFile = argv[i];
    }
    if (!configFile.empty()) {
        std::string error = ApplyConfig(program, configFile);
        if (!error.empty()) return error;
    }
    for (int i = 1; i < argc; ++i) {
        const Option* option = FindOption(argv[i]);
        const char* value = *option->value ? argv[++i] : nullptr;
        if (!option->apply) continue;
        std::string error = option->apply(program, value);
        if (!error.empty()) return error;
    }
    return {};
}

std::string ConfigText(const ProgramOptions& program) {
    std::string out = "# vexaim-server: the options in force, as a configuration file\n";
    for (const Option& o : Options()) {
        if (!o.show || std::string(o.name) == "--print-config") continue;
        const char* name = o.name + 2;
        Shown values = o.show(program);
        if (values.empty()) out += std::string("# ") + name + " =\n";
        for (const std::string& v : values) {
            bool quote = !v.empty() && (v.front() == ' ' || v.back() == ' ');
            out += std::string(name) + " = " + (quote ? "\"" + v + "\"" : v) + "\n";
        }
    }
    return out;
}

std::string WithoutPassword(std::string where) {
    const std::string hidden = "********";
    std::size_t scheme = where.find("://");
    if (scheme != std::string::npos) {
        std::size_t hostStart = scheme + 3;
        std::size_t at = where.rfind('@', where.find_first_of("/?", hostStart));
        std::size_t colon = where.find(':', hostStart);
        if (at != std::string::npos && at > hostStart && colon < at) where.replace(colon + 1, at - colon - 1, hidden);
        std::size_t query = where.find('?');
        for (std::size_t at2 = query; at2 != std::string::npos; at2 = where.find('&', at2 + 1)) {
            if (where.compare(at2 + 1, 9, "password=") != 0) continue;
            std::size_t value = at2 + 10;
            where.replace(value, std::min(where.find('&', value), where.size()) - value, hidden);
        }
        return where;
    }
    // key = value pairs, a value either a word or in single quotes with \' inside.
    for (std::size_t at = where.find("password"); at != std::string::npos; at = where.find("password", at + 1)) {
        if (at != 0 && where[at - 1] != ' ' && where[at - 1] != '\t') continue;
        std::size_t eq = where.find_first_not_of(" \t", at + 8);
        if (eq == std::string::npos || where[eq] != '=') continue;
        std::size_t value = where.find_first_not_of(" \t", eq + 1);
        if (value == std::string::npos) break;
        std::size_t end = value;
        if (where[value] == '\'') {
            for (end = value + 1; end < where.size() && where[end] != '\''; ++end)
                if (where[end] == '\\') ++end;
            end = std::min(end + 1, where.size());
        } else {
            end = std::min(where.find_first_of(" \t", value), where.size());
        }
        where.replace(value, end - value, hidden);
        at = value;
    }
    return where;
}

bool ReadFile(const std::string& path, std::size_t max, std::string& out) {
    std::ifstream in(path == "-" ? "/dev/stdin" : path, std::ios::binary);
    if (!in) return false;
    out.assign(max + 1, '\0');
    in.read(out.data(), static_cast<std::streamsize>(out.size()));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out.size() <= max;
}

}  // namespace vexa::server
