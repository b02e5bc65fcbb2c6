// A real server on an ephemeral loopback port, and blocking test clients.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol/frame.h"
#include "server/program/server.h"
#include "engines.h"
#include "server/store/store.h"

namespace vexa::server::testing {

// A fresh folder under /tmp, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// One server, or a cluster of nodes in this process. One node keeps its
// data in SQLite in a temporary folder (or, onPostgres, in PostgreSQL); more
// nodes share a fresh database in a PostgreSQL server and one NATS server,
// both started for the test process (see engines.h). The data survives
// Restart.
class ServerUnderTest {
public:
    explicit ServerUnderTest(ServerOptions options = FastOptions(), bool seedDemo = true, int nodes = 1,
                             bool onPostgres = false);
    ~ServerUnderTest();

    static ServerOptions FastOptions();
    int Nodes() const { return static_cast<int>(nodes_.size()); }
    std::uint16_t Port(int node = 0) const { return nodes_[static_cast<std::size_t>(node)].port; }
    std::uint16_t TlsPort(int node = 0) const { return nodes_[static_cast<std::size_t>(node)].server->TlsPort(); }
    // Options for a server that also speaks TLS with the test certificate.
    static ServerOptions WithTls(ServerOptions options);
    // The node's operators' console (options.admin.enabled).
    std::uint16_t AdminPort(int node = 0) const { return nodes_[static_cast<std::size_t>(node)].server->AdminPort(); }
    // The node a user logs in on, so that users spread over the nodes.
    std::uint16_t PortFor(const std::string& user) const;
    // Stops every node and opens the same data in new ones.
    void Restart();
    // Stops every node as SIGTERM does; Restart serves again.
    void Stop();
    void StopNode(int node);
    // The store is safe from any thread.
    Store& StoreForSetup() { return *nodes_[0].store; }
    // The PostgreSQL database's connection string; empty on SQLite.
    const std::string& Conninfo() const { return conninfo_; }
    // Summed over the nodes.
    ServerStats Stats();

private:
    struct Node {
        std::unique_ptr<Store> store;
        std::unique_ptr<Server> server;
        std::thread thread;
        std::uint16_t port = 0;
    };
    std::unique_ptr<Store> OpenStore();
    void StartNode(Node& node, int index);

    ServerOptions options_;
    TempDir dir_;
    std::string conninfo_;  // for a cluster
    std::vector<Node> nodes_;
};

// The PostgreSQL and NATS servers of this test process, started when first asked for.
PostgresUnderTest& SharedPostgres();
NatsUnderTest& SharedNats();

struct Packet {
    int code = -1;
    std::string payload;  // without the trailing zero byte
    std::string raw;      // the whole frame as received, trailing byte included
};

// A blocking TCP client with time limits on every wait.
class Client {
public:
    // receiveBuffer, when not 0, is the socket's receive buffer (SO_RCVBUF).
    // With tls the client speaks TLS and trusts the test certificate
    // (TestCertificate); Connected() is false when the handshake fails.
    // from is the loopback address it connects from (all of 127.0.0.0/8 is
    // this machine), so a test can play clients at several addresses.
    explicit Client(std::uint16_t port, int receiveBuffer = 0, bool tls = false, const char* from = "127.0.0.1");
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return fd_ >= 0; }
    void SendRaw(std::string_view bytes);
    void SendBody(std::string_view body);        // frames a request body
    void SendFramed(const std::optional<std::string>& framed);

    // The next complete server frame, or nullopt on time-out or close.
    std::optional<Packet> Read(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // Sends a keep-alive and returns every packet that arrived before its
    // answer: the server handles one connection's requests in order, so this
    // proves what an earlier request did or did not produce. In a cluster,
    // what other nodes send takes a moment more: Sync waits that long first.
    std::vector<Packet> Sync();
    static void SetCrossNodeSettle(std::chrono::milliseconds settle);
    // True when the server closes the connection within the time.
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // Logs in and returns the login answer's payload ("0" on success).
    std::string Login(std::string_view user, std::string_view password);
    void Close();
    // Closes with a reset instead of an orderly end.
    void Abort();
    // The receive buffer the kernel gave the socket.
    int ReceiveBuffer() const;
    // Bytes written to and read from the socket so far.
    std::size_t BytesSent() const { return sent_; }
    std::size_t BytesReceived() const { return received_; }

private:
    // Through TLS when it is there; both as recv and send would answer.
    long Receive(char* into, std::size_t size);
    long Transmit(const char* from, std::size_t size);
    bool Pending() const;

    int fd_ = -1;
    struct ssl_st* ssl_ = nullptr;
    std::string buffer_;  // read and not yet cut
    protocol::FrameCutter cutter_{protocol::FrameSender::Server};
    std::size_t sent_ = 0, received_ = 0;
};

// A certificate for "localhost" and its key, made once per test process
// under the build folder (PEM files).
struct TestCertificate {
    std::string certFile, keyFile;
};
const TestCertificate& LocalhostCertificate();

// The frame the server sends for code and payload (with its trailing zero).
std::string ServerFrame(int code, std::string_view payload);

// A chat request as the library builds it, its number in <id>.
std::optional<std::string> Chat(const std::string& from, const std::string& to, const std::string& text, int id = 1);
// The <id> of a forwarded chat, or -1.
int ChatId(const Packet& p);
// Reads until the server closes the connection (or nothing comes for the
// time), adding the number of every chat.
void ReadChats(Client& client, std::vector<int>& ids, std::chrono::milliseconds quiet = std::chrono::milliseconds(3000));

// What arrived of chats numbered first..sent-1: the duplicates, and whether
// every one arrived with first arrivals in order.
struct Arrivals {
    bool complete = true;
    bool inOrder = true;
    int duplicates = 0;
    std::string problem;  // the first missing or misplaced chat
};
Arrivals CheckArrivals(const std::vector<int>& ids, int sent, int first = 0);

}  // namespace vexa::server::testing
