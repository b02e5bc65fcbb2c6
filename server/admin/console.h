// The operators' console: a small web server beside the IM server, off
// unless asked for (--admin ADDR:PORT), on loopback unless told otherwise.
//
//   - Sign-in with the administrator password (an Argon2id hash in the
//     store, set with --set-admin-password), guesses slowed and refused by
//     the same throttle as user logins. A session is an HttpOnly,
//     SameSite=Strict cookie; every form and every API call that changes
//     something carries the session's token against cross-site requests.
//   - Pages: overview (with a live chart), users online (with a disconnect
//     button), accounts, one account, mailboxes (counts and ages only), log.
//   - Every action is also a JSON endpoint under /api/, with the same sign-in.
//     Every action is logged with the administrator's address.
//   - /metrics in the Prometheus text format, for a scraper with the token
//     (Authorization: Bearer) or a signed-in console; /healthz for anybody.
// Nothing else answers without a sign-in.
//
// What reaches the console must name it: a Host header that is not a
// loopback name, an address, the bound name or the public URL's host is
// refused (a page whose DNS answer pointed here). A post must come from the
// console's own pages: directly, or through a TLS reverse proxy at the
// public URL (--admin-url).
//
// The HTTP layer and its limits are in http_edge.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "server/admin/backend.h"

namespace vexa::server::admin {

struct AdminOptions {
    bool enabled = false;
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;       // 0 with enabled: any free port (see Server::AdminPort)
    std::string metricsToken;     // a scraper may read /metrics with it; empty: only a signed-in console
    std::string publicUrl;        // where browsers reach it through a reverse proxy, such as https://host/
    std::string backupDir;        // where the backup action writes; empty: the action is off
};

class AdminConsole {
public:
    // Binds and starts serving at once; throws std::runtime_error when it cannot bind.
    AdminConsole(const AdminOptions& options, ConsoleBackend& backend);
    ~AdminConsole();
    AdminConsole(const AdminConsole&) = delete;
    AdminConsole& operator=(const AdminConsole&) = delete;

    std::uint16_t Port() const;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The origin of the console's public URL ("https://console.example:8443"
// from "https://Console.example:8443/"): lower case, without a trailing
// slash; nullopt unless it is http(s)://HOST[:PORT][/].
std::optional<std::string> PublicOrigin(const std::string& url);

// The store setting that holds the administrator password's hash.
inline constexpr char kAdminPasswordSetting[] = "admin_password_hash";

}  // namespace vexa::server::admin
