#include "server/program/account_work.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "server/admin/console.h"
#include "server/auth/accounts.h"
#include "server/auth/password.h"
#include "server/base/log.h"
#include "server/store/postgres/pg_store.h"
#include "server/store/sqlite/sqlite_store.h"

namespace vexa::server {

namespace {

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

bool SplitPair(const std::string& text, std::string& first, std::string& second) {
    auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    first = text.substr(0, colon);
    second = text.substr(colon + 1);
    return true;
}

}  // namespace

std::unique_ptr<Store> OpenStore(const ProgramOptions& program) {
    if (program.postgres) {
        // A few more connections than handler threads, for the cluster's heartbeat and the like.
        auto store = OpenPgStore(program.database, program.server.storeThreads + 2);
        Log(LogLevel::Info, "store: PostgreSQL");
        return store;
    }
    std::filesystem::path dbPath(program.database);
    if (dbPath.has_parent_path()) {
        std::filesystem::create_directories(dbPath.parent_path());
        WarnIfOpenToOthers(dbPath.parent_path().string(), "the data folder");
    }
    auto store = OpenSqliteStore(program.database);
    WarnIfOpenToOthers(program.database, "the database");
    Log(LogLevel::Info, "store: " + program.database);
    return store;
}

std::string DoAccountWork(const ProgramOptions& program, Store& store) {
    if (program.seedDemo) {
        int created = SeedDemo(store);
        Log(LogLevel::Info, "demo accounts ready (" + std::to_string(created) + " created now)");
    }
    for (const std::string& entry : program.accounts) {
        std::string id, password;
        if (!SplitPair(entry, id, password)) return "--add-account needs ID:PASSWORD, got " + entry;
        switch (CreateAccount(store, id, password, id)) {
            case AccountResult::Created: Log(LogLevel::Info, "account " + Printable(id) + " created"); break;
            case AccountResult::Exists: Log(LogLevel::Warn, "account " + Printable(id) + " exists already"); break;
            case AccountResult::BadName: return "account ID must be 1-20 bytes without blanks or markup";
            case AccountResult::BadPassword: return "password must be 1-19 bytes";
            case AccountResult::HashFailed: return "password hashing failed";
        }
    }
    for (const std::string& entry : program.friendships) {
        std::string a, b;
        if (!SplitPair(entry, a, b) || !MakeFriends(store, a, b))
            return "--add-friends needs two different existing accounts, got " + entry;
        Log(LogLevel::Info, Printable(a) + " and " + Printable(b) + " are friends");
    }
    for (const std::string& entry : program.passwords) {
        std::string id, password;
        if (!SplitPair(entry, id, password)) return "--set-password needs ID:PASSWORD, got " + entry;
        auto account = store.FindIdByName(id);
        if (!account) return "--set-password: no account " + Printable(id);
        switch (SetPassword(store, *account, password)) {
            case PasswordResult::Set: Log(LogLevel::Info, "password of " + Printable(id) + " changed"); break;
            case PasswordResult::BadPassword: return "password must be 1-19 bytes";
            case PasswordResult::HashFailed: return "password hashing failed";
        }
    }
    if (!program.adminPasswordFile.empty()) {
        std::string password;
        if (!ReadSecret(program.adminPasswordFile, password) || password.size() < 8 || password.size() > 1024)
            return "--set-admin-password needs a first line of 8-1024 bytes in " + program.adminPasswordFile;
        auto hash = InitPasswordHashing() ? HashPassword(password) : std::nullopt;
        if (!hash) return "password hashing failed";
        store.SetSetting(admin::kAdminPasswordSetting, *hash);
        Log(LogLevel::Info, "administrator password set");
    }
    return {};
}

std::string BackUp(const ProgramOptions& program) {
    if (program.postgres)
        return "--backup-to copies a SQLite database; a PostgreSQL store is backed up with pg_dump "
               "(see the README)";
    try {
        BackUpSqliteFile(program.database, program.backupTo);
    } catch (const StoreError& e) {
        return e.what();
    }
    WarnIfOpenToOthers(program.backupTo, "the backup");
    Log(LogLevel::Info, "backup of " + program.database + " written to " + program.backupTo);
    return {};
}

bool ReadSecret(const std::string& path, std::string& secret) {
    WarnIfOpenToOthers(path, "the secret file");
    if (!ReadFile(path, 64 * 1024, secret)) return false;
    secret = secret.substr(0, secret.find('\n'));
    if (!secret.empty() && secret.back() == '\r') secret.pop_back();
    return true;
}

}  // namespace vexa::server
