// vexa-tls-peer: a TLS server (OpenSSL) for the Win32 tests of the encrypted
// transport. It takes TLS connections on a free loopback port and relays the
// plaintext to and from a plain TCP backend (the test's own peer). In framed
// mode the backend decides where records begin and end, and can end the
// session in the ways a server may:
//
//   'R' len data   one TLS record holding data (at most 16384 bytes)
//   'G' len data   raw bytes on the TCP connection, outside any record
//   'C'            a close_notify; the TCP connection stays open
//   'Q'            close the TCP connection
//
// (len: four bytes, big-endian.) Without framing, each piece the backend
// sends becomes one record. --tcp-chunk N writes the encrypted stream N bytes
// per TCP segment, so records arrive cut anywhere.
//
//   vexa-tls-peer --cert CHAIN.pem --key KEY.pem --port-file FILE
//                 [--backend PORT] [--framed] [--tcp-chunk N] [--keylog FILE]
//                 [--lifetime SECONDS]
//
// It ends by itself after --lifetime seconds (default 120), so it cannot
// outlive a test that died.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct Options {
    std::string cert, key, portFile, keylog;
    int backend = 0;
    bool framed = false;
    std::size_t tcpChunk = 0;
    int lifetime = 120;
};
Options g_options;

void KeylogLine(const SSL*, const char* line) {
    if (FILE* f = std::fopen(g_options.keylog.c_str(), "a")) {
        std::fprintf(f, "%s\n", line);
        std::fclose(f);
    }
}

bool SendAll(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

// One client: the TLS side through memory buffers, so that this program
// decides how the encrypted bytes are cut into TCP segments.
class Session {
public:
    Session(SSL_CTX* context, int client) : client_(client) {
        ssl_ = SSL_new(context);
        in_ = BIO_new(BIO_s_mem());
        out_ = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl_, in_, out_);
        SSL_set_accept_state(ssl_);
        int on = 1;
        ::setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Session() {
        SSL_free(ssl_);
        if (backend_ >= 0) ::close(backend_);
        ::close(client_);
    }

    void Run() {
        if (!Handshake()) return;
        if (g_options.backend > 0 && !ConnectBackend()) return;
        pollfd fds[2] = {{client_, POLLIN, 0}, {backend_, POLLIN, 0}};
        const int count = backend_ >= 0 ? 2 : 1;
        for (;;) {
            if (::poll(fds, count, -1) <= 0) return;
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (!FromClient()) return;
            }
            if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                if (!FromBackend()) return;
            }
        }
    }

private:
    // Everything OpenSSL wrote, onto the wire.
    bool Flush() {
        char buffer[16384];
        int n;
        while ((n = BIO_read(out_, buffer, sizeof buffer)) > 0) {
            const std::size_t step = g_options.tcpChunk > 0 ? g_options.tcpChunk : static_cast<std::size_t>(n);
            for (int at = 0; at < n; at += static_cast<int>(step)) {
                const std::size_t size = std::min(step, static_cast<std::size_t>(n - at));
                if (!SendAll(client_, buffer + at, size)) return false;
                if (g_options.tcpChunk > 0) ::usleep(1000);
            }
        }
        return true;
    }

    bool ReadClient() {
        char buffer[16384];
        const ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        BIO_write(in_, buffer, static_cast<int>(n));
        return true;
    }

    bool Handshake() {
        for (;;) {
            const int result = SSL_do_handshake(ssl_);
            Flush();  // also the alert of a failed handshake
            if (result == 1) return true;
            if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ) {
                std::fprintf(stderr, "handshake failed\n");
                return false;
            }
            if (!ReadClient()) return false;
        }
    }

    bool ConnectBackend() {
        backend_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(g_options.backend));
        return ::connect(backend_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }

    bool FromClient() {
        if (!ReadClient()) return false;
        char plain[16384];
        for (;;) {
            const int n = SSL_read(ssl_, plain, sizeof plain);
            if (n > 0) {
                if (backend_ >= 0 && !SendAll(backend_, plain, static_cast<std::size_t>(n))) return false;
                continue;
            }
            const int error = SSL_get_error(ssl_, n);
            Flush();
            return error == SSL_ERROR_WANT_READ;
        }
    }

    bool Record(const char* data, std::size_t n) {
        if (n > 0 && SSL_write(ssl_, data, static_cast<int>(n)) <= 0) return false;
        return Flush();
    }

    bool FromBackend() {
        char buffer[16384];
        const ssize_t n = ::recv(backend_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            SSL_shutdown(ssl_);
            Flush();
            return false;
        }
        if (!g_options.framed) return Record(buffer, static_cast<std::size_t>(n));
        commands_.append(buffer, static_cast<std::size_t>(n));
        for (;;) {
            if (commands_.empty()) return true;
            const char command = commands_[0];
            if (command == 'C') {
                SSL_shutdown(ssl_);
                if (!Flush()) return false;
                commands_.erase(0, 1);
                continue;
            }
            if (command == 'Q') return false;
            if (command != 'R' && command != 'G') {
                std::fprintf(stderr, "unknown command %d\n", command);
                return false;
            }
            if (commands_.size() < 5) return true;
            const auto* length = reinterpret_cast<const unsigned char*>(commands_.data() + 1);
            const std::size_t size =
                std::size_t{length[0]} << 24 | std::size_t{length[1]} << 16 | std::size_t{length[2]} << 8 | length[3];
            if (size > 16384) {
                std::fprintf(stderr, "record too long\n");
                return false;
            }
            if (commands_.size() < 5 + size) return true;
            const char* data = commands_.data() + 5;
            if (command == 'R' ? !Record(data, size) : !SendAll(client_, data, size)) return false;
            commands_.erase(0, 5 + size);
        }
    }

    int client_;
    int backend_ = -1;
    SSL* ssl_;
    BIO* in_;
    BIO* out_;
    std::string commands_;
};

bool Parse(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--cert") g_options.cert = value();
        else if (arg == "--key") g_options.key = value();
        else if (arg == "--port-file") g_options.portFile = value();
        else if (arg == "--keylog") g_options.keylog = value();
        else if (arg == "--backend") g_options.backend = std::atoi(value().c_str());
        else if (arg == "--framed") g_options.framed = true;
        else if (arg == "--tcp-chunk") g_options.tcpChunk = static_cast<std::size_t>(std::atoi(value().c_str()));
        else if (arg == "--lifetime") g_options.lifetime = std::atoi(value().c_str());
        else return false;
    }
    return !g_options.cert.empty() && !g_options.key.empty() && !g_options.portFile.empty();
}

}  // namespace

int main(int argc, char** argv) {
    if (!Parse(argc, argv)) {
        std::fprintf(stderr, "usage: vexa-tls-peer --cert FILE --key FILE --port-file FILE [--backend PORT] "
                             "[--framed] [--tcp-chunk N] [--keylog FILE] [--lifetime SECONDS]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    ::alarm(static_cast<unsigned>(g_options.lifetime > 0 ? g_options.lifetime : 120));

    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(context, g_options.cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, g_options.key.c_str(), SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        return 1;
    }
    if (!g_options.keylog.empty()) SSL_CTX_set_keylog_callback(context, KeylogLine);

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 8) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::perror("listen");
        return 1;
    }
    // Written whole under another name first, so a reader never sees half.
    const std::string partial = g_options.portFile + ".part";
    if (FILE* f = std::fopen(partial.c_str(), "w")) {
        std::fprintf(f, "%d\n", ntohs(address.sin_port));
        std::fclose(f);
    }
    std::rename(partial.c_str(), g_options.portFile.c_str());

    for (;;) {
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        std::thread([context, client] { Session(context, client).Run(); }).detach();
    }
}
