// vexaim-server: the reference IM server, run from the command line.
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "server/accounts.h"
#include "server/admin/console.h"
#include "server/config_file.h"
#include "server/password.h"
#include "server/log.h"
#include "server/pg_store.h"
#include "server/server.h"

namespace {

using namespace vexa::server;

struct ProgramOptions {
    ServerOptions server;
    std::string database = "data/vexaim.db";  // the SQLite file, or a PostgreSQL connection string
    bool postgres = false;
    bool seedDemo = false, adminOnly = false, printConfig = false;
    std::vector<std::string> accounts, friendships;
    std::string adminPasswordFile;  // "-": standard input
    std::string metricsTokenFile;
    std::string logLevel = "info";
};

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

bool SplitPair(const std::string& text, std::string& first, std::string& second) {
    auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    first = text.substr(0, colon);
    second = text.substr(colon + 1);
    return true;
}

// One command-line option: its name, the value it takes (empty for a flag),
// its help text, what it does with the value (an error text, or empty), and
// the values now in force as a configuration file would give them (one per
// line for an option that repeats; none when it is unset).
struct Option {
    const char* name;
    const char* value;
    const char* help;
    std::function<std::string(ProgramOptions&, const char*)> apply;
    std::function<std::vector<std::string>(const ProgramOptions&)> show;
};

using Shown = std::vector<std::string>;
Shown Flag(bool on) { return {on ? "yes" : "no"}; }
Shown Number(unsigned long long n) { return {std::to_string(n)}; }
Shown SecondsOf(std::chrono::milliseconds ms) {
    return {std::to_string(std::chrono::duration_cast<std::chrono::seconds>(ms).count())};
}
Shown Pair(unsigned long long a, unsigned long long b) { return {std::to_string(a) + "," + std::to_string(b)}; }
Shown Text(const std::string& s) { return s.empty() ? Shown{} : Shown{s}; }

// A connection string or URL as it may be shown: its password replaced, in
// a URL's user part or query and in a "key=value" string alike.
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

// Our files hold password hashes, chats and tokens; a warning names each one
// that other users of the machine may read (or, for a folder, enter).
void WarnIfOpenToOthers(const std::string& path, const char* what) {
    struct stat st {};
    if (path.empty() || path == "-" || ::stat(path.c_str(), &st) != 0 || (st.st_mode & S_IRWXO) == 0) return;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    Log(LogLevel::Warn, std::string(what) + " " + path + " is open to other users (mode " + mode +
                            "); chmod o-rwx " + path);
}

std::string Seconds(const char* v, unsigned long long min, unsigned long long max, std::chrono::milliseconds& out,
                    const char* name) {
    unsigned long long n = 0;
    if (!ParseNumber(v, min, max, n))
        return std::string(name) + " needs " + std::to_string(min) + ".." + std::to_string(max) + " seconds";
    out = std::chrono::seconds(n);
    return {};
}

const std::vector<Option>& Options() {
    using O = ProgramOptions;
    static const std::vector<Option> options = {
        {"--address", "ADDR", "address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)",
         [](O& o, const char* v) { return v ? (o.server.address = v, std::string()) : "--address needs a value"; },
         [](const O& o) { return Text(o.server.address); }},
        {"--port", "N", "TCP port (default 7788; 0 picks a free one and logs it)",
         [](O& o, const char* v) {
             unsigned long long n = 0;
             if (!ParseNumber(v, 0, 65535, n)) return std::string("--port needs a number 0..65535");
             o.server.port = static_cast<std::uint16_t>(n);
             return std::string();
         },
         [](const O& o) { return Number(o.server.port); }},
        {"--store", "WHERE",
         "where the data is kept: sqlite:PATH (the default, sqlite:./data/vexaim.db;\n"
         "its folder is created), or a PostgreSQL connection string\n"
         "(postgresql://USER@HOST:PORT/DB or \"host=... dbname=...\") for a cluster",
         [](O& o, const char* v) {
             std::string where = v ? v : "";
             if (where.rfind("sqlite:", 0) == 0 && where.size() > 7) {
                 o.database = where.substr(7);
                 o.postgres = false;
             } else if (where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0 ||
                        where.find('=') != std::string::npos) {
                 o.database = where;
                 o.postgres = true;
             } else {
                 return std::string("--store needs sqlite:PATH or a PostgreSQL connection string");
             }
             return std::string();
         },
         [](const O& o) { return Shown{o.postgres ? WithoutPassword(o.database) : "sqlite:" + o.database}; }},
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
        {"--store-threads", "N", "threads (and database connections) for PostgreSQL work (default 8)",
         [](O& o, const char* v) {
             unsigned long long n = 0;
             if (!ParseNumber(v, 1, 256, n)) return std::string("--store-threads needs 1..256");
             o.server.storeThreads = static_cast<unsigned>(n);
             return std::string();
         },
         [](const O& o) { return Number(o.server.storeThreads); }},
        {"--seed-demo", "",
         "create the demo accounts if missing: 10001 (alice, password alice123),\n"
         "10002 (bob, bob123), 10003 (carol, carol123); alice is friends with both",
         [](O& o, const char*) { return o.seedDemo = true, std::string(); },
         [](const O& o) { return Flag(o.seedDemo); }},
        {"--add-account", "ID:PASS", "create an account (ID 1-20 bytes, PASS 1-19 bytes); may be repeated",
         [](O& o, const char* v) {
             return v ? (o.accounts.push_back(v), std::string()) : "--add-account needs ID:PASSWORD";
         },
         [](const O& o) {
             // The passwords stay out of what is printed.
             Shown ids;
             for (const std::string& a : o.accounts) ids.push_back(a.substr(0, a.find(':')) + ":********");
             return ids;
         }},
        {"--add-friends", "ID:ID", "make two accounts friends; may be repeated",
         [](O& o, const char* v) { return v ? (o.friendships.push_back(v), std::string()) : "--add-friends needs ID:ID"; },
         [](const O& o) { return o.friendships; }},
        {"--admin-only", "", "do the account work above, then exit without serving",
         [](O& o, const char*) { return o.adminOnly = true, std::string(); },
         [](const O& o) { return Flag(o.adminOnly); }},
        {"--tls-port", "N", "also serve TLS on this port (0 picks a free one and logs it); needs\n"
                            "--tls-cert and --tls-key",
         [](O& o, const char* v) {
             unsigned long long n = 0;
             if (!ParseNumber(v, 0, 65535, n)) return std::string("--tls-port needs a number 0..65535");
             o.server.tls.port = static_cast<int>(n);
             return std::string();
         },
         [](const O& o) { return o.server.tls.port >= 0 ? Number(static_cast<unsigned>(o.server.tls.port)) : Shown{}; }},
        {"--tls-cert", "FILE", "the server's certificate in PEM, then its chain",
         [](O& o, const char* v) { return v && *v ? (o.server.tls.certFile = v, std::string()) : "--tls-cert needs a file"; },
         [](const O& o) { return Text(o.server.tls.certFile); }},
        {"--tls-key", "FILE", "the certificate's private key in PEM",
         [](O& o, const char* v) { return v && *v ? (o.server.tls.keyFile = v, std::string()) : "--tls-key needs a file"; },
         [](const O& o) { return Text(o.server.tls.keyFile); }},
        {"--tls-only", "", "serve TLS only: no plain listener (--port is then unused)",
         [](O& o, const char*) { return o.server.tls.only = true, std::string(); },
         [](const O& o) { return Flag(o.server.tls.only); }},
        {"--admin", "[ADDR:]PORT",
         "serve the operators' web console and /metrics there (default: off;\n"
         "ADDR 127.0.0.1 unless given; PORT 0 picks a free one and logs it)",
         [](O& o, const char* v) {
             std::string where = v ? v : "";
             auto colon = where.rfind(':');
             std::string address = colon == std::string::npos ? "127.0.0.1" : where.substr(0, colon);
             std::string port = colon == std::string::npos ? where : where.substr(colon + 1);
             if (address.size() > 2 && address.front() == '[' && address.back() == ']')
                 address = address.substr(1, address.size() - 2);
             unsigned long long n = 0;
             if (address.empty() || !ParseNumber(port.c_str(), 0, 65535, n))
                 return std::string("--admin needs [ADDR:]PORT");
             o.server.admin.enabled = true;
             o.server.admin.address = address;
             o.server.admin.port = static_cast<std::uint16_t>(n);
             return std::string();
         },
         [](const O& o) {
             return o.server.admin.enabled ? Shown{o.server.admin.address + ":" + std::to_string(o.server.admin.port)}
                                           : Shown{};
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
        {"--metrics-token-file", "FILE",
         "a scraper may read /metrics with the token in FILE (sent as\n"
         "Authorization: Bearer TOKEN); without it only a signed-in console may",
         [](O& o, const char* v) {
             return v && *v ? (o.metricsTokenFile = v, std::string()) : "--metrics-token-file needs a file";
         },
         [](const O& o) { return Text(o.metricsTokenFile); }},
        {"--set-admin-password", "FILE",
         "set the console's administrator password to the first line of FILE\n"
         "(- for standard input; 8-1024 bytes), kept as an Argon2id hash in the store",
         [](O& o, const char* v) {
             return v && *v ? (o.adminPasswordFile = v, std::string()) : "--set-admin-password needs a file or -";
         },
         [](const O& o) { return Text(o.adminPasswordFile); }},
        {"--config", "FILE",
         "read options from FILE first, one NAME = VALUE per line (NAME is the\n"
         "option without --); the command line wins over the file",
         nullptr, nullptr},
        {"--print-config", "",
         "print the options in force as a configuration file, and exit",
         [](O& o, const char*) { return o.printConfig = true, std::string(); },
         [](const O& o) { return Flag(o.printConfig); }},
        {"--threads", "N", "network threads (default: one per core)",
         [](O& o, const char* v) {
             unsigned long long n = 0;
             if (!ParseNumber(v, 1, 256, n)) return std::string("--threads needs 1..256");
             o.server.networkThreads = static_cast<unsigned>(n);
             return std::string();
         },
         [](const O& o) { return o.server.networkThreads ? Number(o.server.networkThreads) : Shown{}; }},
        {"--max-connections", "N", "connections served at once (default 1024)",
         [](O& o, const char* v) {
             unsigned long long n = 0;
             if (!ParseNumber(v, 1, 1000000, n)) return std::string("--max-connections needs 1..1000000");
             o.server.maxConnections = n;
             return std::string();
         },
         [](const O& o) { return Number(o.server.maxConnections); }},
        {"--max-connections-per-address", "N",
         "connections from one address at once (default 256: an office behind\n"
         "one NAT address still gets in, and one address cannot fill the server)",
         [](O& o, const char* v) {
             unsigned long long n = 0;
             if (!ParseNumber(v, 1, 1000000, n)) return std::string("--max-connections-per-address needs 1..1000000");
             o.server.maxConnectionsPerAddress = n;
             return std::string();
         },
         [](const O& o) { return Number(o.server.maxConnectionsPerAddress); }},
        {"--max-backlog", "BYTES",
         "unsent bytes a slow client may hold up before it is disconnected\n"
         "(default 262144, at least 65536); chats waiting for it are kept for its next login",
         [](O& o, const char* v) {
             // Room for a few of the largest packets, so one big packet never looks like a slow reader.
             unsigned long long n = 0;
             if (!ParseNumber(v, 65536, 1ull << 32, n)) return std::string("--max-backlog needs at least 65536");
             o.server.limits.maxBacklogBytes = n;
             return std::string();
         },
         [](const O& o) { return Number(o.server.limits.maxBacklogBytes); }},
        {"--login-timeout", "SEC", "time a new connection has to log in (default 30)",
         [](O& o, const char* v) { return Seconds(v, 1, 86400, o.server.limits.loginTimeout, "--login-timeout"); },
         [](const O& o) { return SecondsOf(o.server.limits.loginTimeout); }},
        {"--idle-timeout", "SEC", "a logged-in client silent this long is disconnected (default 300)",
         [](O& o, const char* v) { return Seconds(v, 1, 604800, o.server.limits.idleTimeout, "--idle-timeout"); },
         [](const O& o) { return SecondsOf(o.server.limits.idleTimeout); }},
        {"--linger", "SEC",
         "how long a closing connection waits for its client to take the last\n"
         "packets and close (default 3); what it has not acknowledged is kept",
         [](O& o, const char* v) { return Seconds(v, 1, 60, o.server.limits.linger, "--linger"); },
         [](const O& o) { return SecondsOf(o.server.limits.linger); }},
        {"--max-mail", "N", "packets kept for one offline user (default 10000)",
         [](O& o, const char* v) {
             unsigned long long n = 0;
             if (!ParseNumber(v, 1, 10000000, n)) return std::string("--max-mail needs 1..10000000");
             o.server.maxMailPerUser = n;
             return std::string();
         },
         [](const O& o) { return Number(o.server.maxMailPerUser); }},
        {"--hash-threads", "N", "threads that check passwords (default 2)",
         [](O& o, const char* v) {
             unsigned long long n = 0;
             if (!ParseNumber(v, 1, 64, n)) return std::string("--hash-threads needs 1..64");
             o.server.hashThreads = static_cast<unsigned>(n);
             return std::string();
         },
         [](const O& o) { return Number(o.server.hashThreads); }},
        {"--throttle-account", "FREE,LOCK",
         "failed logins per account before they are slowed, and before they\n"
         "are refused for the lockout time (default 3,10)",
         [](O& o, const char* v) {
             unsigned long long a = 0, b = 0;
             if (!ParsePair(v, 1, 100000, a, b) || b <= a) return std::string("--throttle-account needs FREE,LOCK with FREE < LOCK");
             o.server.throttle.accountFree = static_cast<unsigned>(a);
             o.server.throttle.accountLock = static_cast<unsigned>(b);
             return std::string();
         },
         [](const O& o) { return Pair(o.server.throttle.accountFree, o.server.throttle.accountLock); }},
        {"--throttle-address", "FREE,LOCK", "the same per source address (default 20,100)",
         [](O& o, const char* v) {
             unsigned long long a = 0, b = 0;
             if (!ParsePair(v, 1, 1000000, a, b) || b <= a) return std::string("--throttle-address needs FREE,LOCK with FREE < LOCK");
             o.server.throttle.addressFree = static_cast<unsigned>(a);
             o.server.throttle.addressLock = static_cast<unsigned>(b);
             return std::string();
         },
         [](const O& o) { return Pair(o.server.throttle.addressFree, o.server.throttle.addressLock); }},
        {"--throttle-delay", "MS,MAX_MS",
         "the first delay of a slowed login, doubled per further failure up to\n"
         "MAX_MS (default 250,8000)",
         [](O& o, const char* v) {
             unsigned long long a = 0, b = 0;
             if (!ParsePair(v, 1, 600000, a, b) || b < a) return std::string("--throttle-delay needs MS,MAX_MS with MS <= MAX_MS");
             o.server.throttle.delay = std::chrono::milliseconds(a);
             o.server.throttle.maxDelay = std::chrono::milliseconds(b);
             return std::string();
         },
         [](const O& o) {
             return Pair(static_cast<unsigned long long>(o.server.throttle.delay.count()),
                         static_cast<unsigned long long>(o.server.throttle.maxDelay.count()));
         }},
        {"--throttle-forget", "SEC", "one counted failure is forgotten per SEC (default 60)",
         [](O& o, const char* v) { return Seconds(v, 1, 86400, o.server.throttle.forget, "--throttle-forget"); },
         [](const O& o) { return SecondsOf(o.server.throttle.forget); }},
        {"--throttle-lockout", "SEC", "how long logins stay refused at the lock count (default 300)",
         [](O& o, const char* v) { return Seconds(v, 1, 86400, o.server.throttle.lockout, "--throttle-lockout"); },
         [](const O& o) { return SecondsOf(o.server.throttle.lockout); }},
        {"--log-level", "LEVEL", "error, warn, info (default) or debug",
         [](O& o, const char* v) {
             std::string level = v ? v : "";
             if (level == "error") SetLogLevel(LogLevel::Error);
             else if (level == "warn") SetLogLevel(LogLevel::Warn);
             else if (level == "info") SetLogLevel(LogLevel::Info);
             else if (level == "debug") SetLogLevel(LogLevel::Debug);
             else return std::string("--log-level needs error, warn, info or debug");
             o.logLevel = level;
             return std::string();
         },
         [](const O& o) { return Shown{o.logLevel}; }},
    };
    return options;
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

int Fail(const std::string& message) {
    std::fprintf(stderr, "vexaim-server: %s\n(see --help)\n", message.c_str());
    return 2;
}

const Option* FindOption(const std::string& name) {
    for (const Option& o : Options())
        if (name == o.name) return &o;
    return nullptr;
}

bool ReadFile(const std::string& path, std::size_t max, std::string& out) {
    std::ifstream in(path == "-" ? "/dev/stdin" : path, std::ios::binary);
    if (!in) return false;
    out.assign(max + 1, '\0');
    in.read(out.data(), static_cast<std::streamsize>(out.size()));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out.size() <= max;
}

// The first line of a file (or of standard input): a password or a token.
bool ReadSecret(const std::string& path, std::string& secret) {
    WarnIfOpenToOthers(path, "the secret file");
    if (!ReadFile(path, 64 * 1024, secret)) return false;
    secret = secret.substr(0, secret.find('\n'));
    if (!secret.empty() && secret.back() == '\r') secret.pop_back();
    return true;
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

}  // namespace

int main(int argc, char** argv) {
    ProgramOptions program;
    // The configuration file first, so that the command line wins.
    std::string configFile;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(Usage().c_str(), stdout);
            return 0;
        }
        const Option* option = FindOption(arg);
        if (!option) return Fail("unknown option " + arg);
        if (!*option->value) continue;
        if (i + 1 >= argc) return Fail(arg + " needs a value");
        ++i;
        if (arg == "--config") configFile = argv[i];
    }
    if (!configFile.empty()) {
        std::string error = ApplyConfig(program, configFile);
        if (!error.empty()) return Fail(error);
    }
    for (int i = 1; i < argc; ++i) {
        const Option* option = FindOption(argv[i]);
        const char* value = *option->value ? argv[++i] : nullptr;
        if (!option->apply) continue;
        std::string error = option->apply(program, value);
        if (!error.empty()) return Fail(error);
    }
    if (program.printConfig) {
        std::fputs(ConfigText(program).c_str(), stdout);
        return 0;
    }
    // What the server makes (its folder, the database with its journal
    // files) is for its own user alone.
    ::umask(077);
    if (!program.metricsTokenFile.empty()) {
        std::string token;
        if (!ReadSecret(program.metricsTokenFile, token) || token.size() < 16 || token.size() > 256 ||
            token.find_first_of(" \t") != std::string::npos)
            return Fail("--metrics-token-file needs a file whose first line is a token of 16-256 characters");
        program.server.admin.metricsToken = token;
    }

    const TlsOptions& tls = program.server.tls;
    if (tls.port >= 0 && (tls.certFile.empty() || tls.keyFile.empty()))
        return Fail("--tls-port needs --tls-cert and --tls-key");
    if (tls.only && tls.port < 0) return Fail("--tls-only needs --tls-port");
    try {
        if (!program.server.cluster.natsUrl.empty() && !program.postgres)
            return Fail("--cluster needs --store with a PostgreSQL connection string");
        std::unique_ptr<Store> store;
        if (program.postgres) {
            // A few more connections than handler threads, for the cluster's heartbeat and the like.
            store = OpenPgStore(program.database, program.server.storeThreads + 2);
            Log(LogLevel::Info, "store: PostgreSQL");
        } else {
            std::filesystem::path dbPath(program.database);
            if (dbPath.has_parent_path()) {
                std::filesystem::create_directories(dbPath.parent_path());
                WarnIfOpenToOthers(dbPath.parent_path().string(), "the data folder");
            }
            store = OpenSqliteStore(program.database);
            WarnIfOpenToOthers(program.database, "the database");
            Log(LogLevel::Info, "store: " + program.database);
        }

        if (program.seedDemo) {
            int created = SeedDemo(*store);
            Log(LogLevel::Info, "demo accounts ready (" + std::to_string(created) + " created now)");
        }
        for (const std::string& entry : program.accounts) {
            std::string id, password;
            if (!SplitPair(entry, id, password)) return Fail("--add-account needs ID:PASSWORD, got " + entry);
            switch (CreateAccount(*store, id, password, id)) {
                case AccountResult::Created: Log(LogLevel::Info, "account " + Printable(id) + " created"); break;
                case AccountResult::Exists: Log(LogLevel::Warn, "account " + Printable(id) + " exists already"); break;
                case AccountResult::BadName: return Fail("account ID must be 1-20 bytes without blanks or markup");
                case AccountResult::BadPassword: return Fail("password must be 1-19 bytes");
                case AccountResult::HashFailed: return Fail("password hashing failed");
            }
        }
        for (const std::string& entry : program.friendships) {
            std::string a, b;
            if (!SplitPair(entry, a, b) || !MakeFriends(*store, a, b))
                return Fail("--add-friends needs two different existing accounts, got " + entry);
            Log(LogLevel::Info, Printable(a) + " and " + Printable(b) + " are friends");
        }
        if (!program.adminPasswordFile.empty()) {
            std::string password;
            if (!ReadSecret(program.adminPasswordFile, password) || password.size() < 8 || password.size() > 1024)
                return Fail("--set-admin-password needs a first line of 8-1024 bytes in " + program.adminPasswordFile);
            auto hash = InitPasswordHashing() ? HashPassword(password) : std::nullopt;
            if (!hash) return Fail("password hashing failed");
            store->SetSetting(admin::kAdminPasswordSetting, *hash);
            Log(LogLevel::Info, "administrator password set");
        }
        if (program.adminOnly) return 0;
        if (program.server.admin.enabled && store->Setting(admin::kAdminPasswordSetting).empty())
            Log(LogLevel::Warn, "console: no administrator password is set yet (--set-admin-password); "
                                "nobody can sign in");

        std::signal(SIGPIPE, SIG_IGN);
        Server server(*store, program.server);
        server.StopOnSignals();
        if (server.Port())
            Log(LogLevel::Info, "listening on " + program.server.address + ":" + std::to_string(server.Port()));
        if (server.TlsPort())
            Log(LogLevel::Info, "listening (TLS) on " + program.server.address + ":" + std::to_string(server.TlsPort()));
        server.Run();
        Log(LogLevel::Info, "stopped");
        return 0;
    } catch (const std::exception& e) {
        Log(LogLevel::Error, e.what());
        return 1;
    }
}
