// A real TCP peer on loopback for the Win32 tests: it accepts connections on
// an ephemeral port, collects what each client sends and can send back.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vexa::testing {

class LoopbackPeer {
public:
    LoopbackPeer();
    ~LoopbackPeer();
    unsigned short Port() const { return port_; }
    // Number of connections accepted so far.
    int Connections();
    // Everything received on connection i (0-based), in order.
    std::string Received(int connection = -1);
    // Waits, pumping this thread's messages, until connection i has received
    // at least n bytes.
    bool WaitForBytes(std::size_t n, int connection = -1, int timeoutMs = 10000);
    bool WaitForConnections(int n, int timeoutMs = 10000);
    // Sends bytes to connection i (the latest by default).
    bool Send(const std::string& bytes, int connection = -1);
    // Closes connection i from the peer's side.
    void CloseConnection(int connection = -1);

private:
    struct Client {
        SOCKET socket = INVALID_SOCKET;
        std::string received;
        std::thread reader;
    };
    void AcceptLoop();
    int Index(int connection);

    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::thread acceptor_;
};

// Winsock for the life of a test program (the library expects the program to
// have started it).
struct WinsockScope {
    WinsockScope() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockScope() { WSACleanup(); }
};

}  // namespace vexa::testing
