// vexaim-server: the reference IM server, run from the command line.
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "server/admin/console.h"
#include "server/base/log.h"
#include "server/program/account_work.h"
#include "server/program/option_table.h"
#include "server/program/server.h"

namespace {

using namespace vexa::server;

int Fail(const std::string& message) {
    std::fprintf(stderr, "vexaim-server: %s\n(see --help)\n", message.c_str());
    return 2;
}

// What the options say that no single option can: secrets read from their
// files, and options that need each other. An error text, or empty.
std::string Complete(ProgramOptions& program) {
    if (!program.metricsTokenFile.empty()) {
        std::string token;
        if (!ReadSecret(program.metricsTokenFile, token) || token.size() < 16 || token.size() > 256 ||
            token.find_first_of(" \t") != std::string::npos)
            return "--metrics-token-file needs a file whose first line is a token of 16-256 characters";
        program.server.admin.metricsToken = token;
    }
    const TlsOptions& tls = program.server.tls;
    if (tls.port >= 0 && (tls.certFile.empty() || tls.keyFile.empty())) return "--tls-port needs --tls-cert and --tls-key";
    if (tls.only && tls.port < 0) return "--tls-only needs --tls-port";
    const std::string& backups = program.server.admin.backupDir;
    std::error_code ignored;
    if (!backups.empty() && !std::filesystem::is_directory(backups, ignored))
        return "--backup-dir needs an existing folder, not " + backups;
    if (!program.server.cluster.natsUrl.empty() && !program.postgres)
        return "--cluster needs --store with a PostgreSQL connection string";
    return {};
}

void Serve(const ProgramOptions& program, Store& store) {
    if (program.server.admin.enabled && store.Setting(admin::kAdminPasswordSetting).empty())
        Log(LogLevel::Warn, "console: no administrator password is set yet (--set-admin-password); "
                            "nobody can sign in");
    std::signal(SIGPIPE, SIG_IGN);
    Server server(store, program.server);
    server.StopOnSignals();
    if (server.Port())
        Log(LogLevel::Info, "listening on " + program.server.address + ":" + std::to_string(server.Port()));
    if (server.TlsPort())
        Log(LogLevel::Info, "listening (TLS) on " + program.server.address + ":" + std::to_string(server.TlsPort()));
    server.Run();
    Log(LogLevel::Info, "stopped");
}

}  // namespace

int main(int argc, char** argv) {
    ProgramOptions program;
    bool help = false;
    std::string error = ParseCommandLine(argc, argv, program, help);
    if (!error.empty()) return Fail(error);
    if (help) {
        std::fputs(Usage().c_str(), stdout);
        return 0;
    }
    if (program.printConfig) {
        std::fputs(ConfigText(program).c_str(), stdout);
        return 0;
    }
    // What the server makes (its folder, the database with its journal
    // files) is for its own user alone.
    ::umask(077);
    error = Complete(program);
    if (!error.empty()) return Fail(error);
    if (!program.backupTo.empty()) {
        error = BackUp(program);
        if (error.empty()) return 0;
        Log(LogLevel::Error, error);
        return 1;
    }
    try {
        std::unique_ptr<Store> store = OpenStore(program);
        error = DoAccountWork(program, *store);
        if (!error.empty()) return Fail(error);
        if (!program.adminOnly) Serve(program, *store);
        return 0;
    } catch (const std::exception& e) {
        Log(LogLevel::Error, e.what());
        return 1;
    }
}
