// The reference IM server: accepts the library's connections, answers its
// requests and routes what one user sends to another.
//
// The network runs on a pool of threads (one per core by default). Each
// connection's work is kept in order on its own strand, so one connection is
// served as if it were alone, while different connections are served at the
// same time. Password hashing runs on a small pool of its own, so a login
// never stalls the other connections. This is where the layers are put
// together: net (listener, connections), handlers, routing (router,
// mailbox), store, and in a cluster the other nodes; the console beside them.
#pragma once

#include <cstdint>
#include <memory>

#include "server/base/counters.h"
#include "server/program/options.h"
#include "server/store/store.h"

namespace vexa::server {

class Server {
public:
    // Binds and listens at once; throws std::system_error when it cannot.
    Server(Store& store, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The ports actually bound (the chosen one when the option was 0); 0 for
    // a listener that is not there.
    std::uint16_t Port() const;
    std::uint16_t TlsPort() const;
    // Serves until Stop has finished. The calling thread is one of the
    // network threads; the others are started and joined here.
    void Run();
    // Stops accepting and closes every connection the lossless way at once:
    // their last packets go out, and what their clients do not acknowledge
    // within the linger time goes back to the mailbox. Run returns when every
    // connection has finished. Safe from any thread.
    void Stop();
    // SIGINT and SIGTERM call Stop.
    void StopOnSignals();
    // Safe from any thread.
    ServerStats Stats() const;
    // The operators' console's port (the chosen one when asked for 0); 0 when it is off.
    std::uint16_t AdminPort() const;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vexa::server
