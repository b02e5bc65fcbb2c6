// A real server on an ephemeral loopback port, and blocking test clients.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server/server.h"
#include "server/store.h"

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

// The server runs on its own threads. The database lives in a temporary
// folder and survives Restart.
class ServerUnderTest {
public:
    explicit ServerUnderTest(ServerOptions options = FastOptions(), bool seedDemo = true);
    ~ServerUnderTest();

    static ServerOptions FastOptions();
    std::uint16_t Port() const { return port_; }
    // Stops the server and opens the same database in a new one.
    void Restart();
    // Stops the server as SIGTERM does; Restart serves again.
    void Stop() { StopServer(); }
    // The store is safe from any thread.
    Store& StoreForSetup() { return *store_; }
    ServerStats Stats();

private:
    void StartServer();
    void StopServer();

    ServerOptions options_;
    TempDir dir_;
    std::unique_ptr<Store> store_;
    std::unique_ptr<Server> server_;
    std::thread thread_;
    std::uint16_t port_ = 0;
};

struct Packet {
    int code = -1;
    std::string payload;  // without the trailing zero byte
    std::string raw;      // the whole frame as received, trailing byte included
};

// A blocking TCP client with time limits on every wait.
class Client {
public:
    // receiveBuffer, when not 0, is the socket's receive buffer (SO_RCVBUF).
    explicit Client(std::uint16_t port, int receiveBuffer = 0);
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
    // proves what an earlier request did or did not produce.
    std::vector<Packet> Sync();
    // True when the server closes the connection within the time.
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // Logs in and returns the login answer's payload ("0" on success).
    std::string Login(std::string_view user, std::string_view password);
    void Close();
    // Closes with a reset instead of an orderly end.
    void Abort();
    // The receive buffer the kernel gave the socket.
    int ReceiveBuffer() const;

private:
    int fd_ = -1;
    std::string buffer_;
};

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
