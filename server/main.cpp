// vexaim-server: the reference IM server, run from the command line.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "server/accounts.h"
#include "server/log.h"
#include "server/server.h"

namespace {

using namespace vexa::server;

const char kUsage[] =
    "Usage: vexaim-server [options]\n"
    "\n"
    "Serves the VexaIM protocol to IM programs that use the VexaIMPlus library.\n"
    "With no options it listens on 127.0.0.1:7788 and keeps its data in ./data/vexaim.db.\n"
    "\n"
    "Options:\n"
    "  --address ADDR          address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)\n"
    "  --port N                TCP port (default 7788; 0 picks a free one and logs it)\n"
    "  --database PATH         SQLite database file (default ./data/vexaim.db; its folder is created)\n"
    "  --seed-demo             create the demo accounts if missing: 10001 (alice, password alice123),\n"
    "                          10002 (bob, bob123), 10003 (carol, carol123); alice is friends with both\n"
    "  --add-account ID:PASS   create an account (ID 1-20 bytes, PASS 1-19 bytes); may be repeated\n"
    "  --add-friends ID:ID     make two accounts friends; may be repeated\n"
    "  --admin-only            do the account work above, then exit without serving\n"
    "  --max-connections N     connections served at once (default 1024)\n"
    "  --max-backlog BYTES     unsent bytes a slow client may hold up before it is disconnected\n"
    "                          (default 262144); chats waiting for it are kept for its next login\n"
    "  --login-timeout SEC     time a new connection has to log in (default 30)\n"
    "  --idle-timeout SEC      a logged-in client silent this long is disconnected (default 300)\n"
    "  --max-mail N            packets kept for one offline user (default 10000)\n"
    "  --hash-threads N        threads that check passwords (default 2)\n"
    "  --log-level LEVEL       error, warn, info (default) or debug\n"
    "  --help                  show this text\n";

bool ParseNumber(const char* text, unsigned long long max, unsigned long long& out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > max || text[0] == '-') return false;
    out = value;
    return true;
}

bool SplitPair(const std::string& text, std::string& first, std::string& second) {
    auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    first = text.substr(0, colon);
    second = text.substr(colon + 1);
    return true;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "vexaim-server: %s\n(see --help)\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    ServerOptions options;
    std::string database = "data/vexaim.db";
    bool seedDemo = false, adminOnly = false;
    std::vector<std::string> accounts, friendships;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        unsigned long long n = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--address") {
            const char* v = value();
            if (!v) return Fail("--address needs a value");
            options.address = v;
        } else if (arg == "--port") {
            if (!ParseNumber(value(), 65535, n)) return Fail("--port needs a number 0..65535");
            options.port = static_cast<std::uint16_t>(n);
        } else if (arg == "--database") {
            const char* v = value();
            if (!v || !*v) return Fail("--database needs a path");
            database = v;
        } else if (arg == "--seed-demo") {
            seedDemo = true;
        } else if (arg == "--add-account") {
            const char* v = value();
            if (!v) return Fail("--add-account needs ID:PASSWORD");
            accounts.push_back(v);
        } else if (arg == "--add-friends") {
            const char* v = value();
            if (!v) return Fail("--add-friends needs ID:ID");
            friendships.push_back(v);
        } else if (arg == "--admin-only") {
            adminOnly = true;
        } else if (arg == "--max-connections") {
            if (!ParseNumber(value(), 1000000, n) || n == 0) return Fail("--max-connections needs a number 1..1000000");
            options.maxConnections = n;
        } else if (arg == "--max-backlog") {
            // Room for a few of the largest packets, so one big packet never looks like a slow reader.
            if (!ParseNumber(value(), 1ull << 32, n) || n < 65536) return Fail("--max-backlog needs at least 65536");
            options.maxBacklogBytes = n;
        } else if (arg == "--login-timeout") {
            if (!ParseNumber(value(), 86400, n) || n == 0) return Fail("--login-timeout needs 1..86400 seconds");
            options.loginTimeout = std::chrono::seconds(n);
        } else if (arg == "--idle-timeout") {
            if (!ParseNumber(value(), 86400 * 7, n) || n == 0) return Fail("--idle-timeout needs 1..604800 seconds");
            options.idleTimeout = std::chrono::seconds(n);
        } else if (arg == "--max-mail") {
            if (!ParseNumber(value(), 10000000, n) || n == 0) return Fail("--max-mail needs 1..10000000");
            options.maxMailPerUser = n;
        } else if (arg == "--hash-threads") {
            if (!ParseNumber(value(), 64, n) || n == 0) return Fail("--hash-threads needs 1..64");
            options.hashThreads = static_cast<unsigned>(n);
        } else if (arg == "--log-level") {
            const char* v = value();
            std::string level = v ? v : "";
            if (level == "error") SetLogLevel(LogLevel::Error);
            else if (level == "warn") SetLogLevel(LogLevel::Warn);
            else if (level == "info") SetLogLevel(LogLevel::Info);
            else if (level == "debug") SetLogLevel(LogLevel::Debug);
            else return Fail("--log-level needs error, warn, info or debug");
        } else {
            return Fail("unknown option " + arg);
        }
    }

    try {
        std::filesystem::path dbPath(database);
        if (dbPath.has_parent_path()) std::filesystem::create_directories(dbPath.parent_path());
        Store store(database);
        Log(LogLevel::Info, "database " + database);

        if (seedDemo) {
            int created = SeedDemo(store);
            Log(LogLevel::Info, "demo accounts ready (" + std::to_string(created) + " created now)");
        }
        for (const std::string& entry : accounts) {
            std::string id, password;
            if (!SplitPair(entry, id, password)) return Fail("--add-account needs ID:PASSWORD, got " + entry);
            switch (CreateAccount(store, id, password, id)) {
                case AccountResult::Created: Log(LogLevel::Info, "account " + Printable(id) + " created"); break;
                case AccountResult::Exists: Log(LogLevel::Warn, "account " + Printable(id) + " exists already"); break;
                case AccountResult::BadName: return Fail("account ID must be 1-20 bytes without blanks or markup");
                case AccountResult::BadPassword: return Fail("password must be 1-19 bytes");
                case AccountResult::HashFailed: return Fail("password hashing failed");
            }
        }
        for (const std::string& entry : friendships) {
            std::string a, b;
            if (!SplitPair(entry, a, b) || !MakeFriends(store, a, b))
                return Fail("--add-friends needs two different existing accounts, got " + entry);
            Log(LogLevel::Info, Printable(a) + " and " + Printable(b) + " are friends");
        }
        if (adminOnly) return 0;

        asio::io_context io(1);
        Server server(io, store, options);
        asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](std::error_code ec, int signal) {
            if (ec) return;
            Log(LogLevel::Info, std::string("signal ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ": stopping");
            server.Stop();
        });
        std::signal(SIGPIPE, SIG_IGN);
        server.Start();
        Log(LogLevel::Info, "listening on " + options.address + ":" + std::to_string(server.Port()));
        io.run();
        Log(LogLevel::Info, "stopped");
        return 0;
    } catch (const std::exception& e) {
        Log(LogLevel::Error, e.what());
        return 1;
    }
}
