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
// The HTTP library (cpp-httplib) is used in console.cpp alone.
#pragma once

#include <cstdint>
#include <memory>

#include "server/admin/backend.h"
#include "server/options.h"

namespace vexa::server::admin {

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

// The store setting that holds the administrator password's hash.
inline constexpr char kAdminPasswordSetting[] = "admin_password_hash";

}  // namespace vexa::server::admin
