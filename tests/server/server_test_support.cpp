#include "server_test_support.h"

#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "protocol/frame.h"
#include "protocol/requests.h"
#include "server/auth/accounts.h"
#include "server/base/log.h"
#include "server/store/postgres/pg_store.h"
#include "server/store/sqlite/sqlite_store.h"
#include "engines.h"

namespace vexa::server::testing {

TempDir::TempDir() {
    char pattern[] = "/tmp/vexaim-server-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ServerOptions ServerUnderTest::FastOptions() {
    ServerOptions o;
    o.port = 0;
    o.networkThreads = 2;  // every test runs the multi-threaded path
    o.limits.loginTimeout = std::chrono::milliseconds(2000);
    o.limits.idleTimeout = std::chrono::milliseconds(4000);
    o.limits.linger = std::chrono::milliseconds(1500);
    return o;
}

ServerOptions ServerUnderTest::WithTls(ServerOptions options) {
    options.tls.port = 0;
    options.tls.certFile = LocalhostCertificate().certFile;
    options.tls.keyFile = LocalhostCertificate().keyFile;
    return options;
}

PostgresUnderTest& SharedPostgres() {
    static PostgresUnderTest postgres;
    return postgres;
}

NatsUnderTest& SharedNats() {
    static NatsUnderTest nats;
    return nats;
}

ServerUnderTest::ServerUnderTest(ServerOptions options, bool seedDemo, int nodes, bool onPostgres)
    : options_(std::move(options)), nodes_(static_cast<std::size_t>(std::max(1, nodes))) {
    SetLogLevel(std::getenv("VEXA_SERVER_TEST_LOG") ? LogLevel::Debug : LogLevel::Error);
    if (nodes > 1 || onPostgres) conninfo_ = SharedPostgres().NewDatabase();
    if (nodes > 1) {
        options_.cluster.natsUrl = SharedNats().Url();
        // A node that is gone is noticed quickly.
        options_.cluster.heartbeat = std::chrono::milliseconds(500);
        options_.cluster.nodeTimeout = std::chrono::seconds(3);
        options_.storeThreads = 4;
    }
    Client::SetCrossNodeSettle(std::chrono::milliseconds(nodes > 1 ? 150 : 0));
    nodes_[0].store = OpenStore();
    if (seedDemo) SeedDemo(*nodes_[0].store);
    for (int i = 0; i < Nodes(); ++i) StartNode(nodes_[static_cast<std::size_t>(i)], i);
}

ServerUnderTest::~ServerUnderTest() { Stop(); }

std::unique_ptr<Store> ServerUnderTest::OpenStore() {
    if (conninfo_.empty()) return OpenSqliteStore(dir_.Path() + "/vexaim.db");
    return std::unique_ptr<Store>(OpenPgStore(conninfo_, options_.storeThreads + 2));
}

void ServerUnderTest::StartNode(Node& node, int index) {
    if (!node.store) node.store = OpenStore();
    ServerOptions options = options_;
    options.port = 0;
    if (Nodes() > 1) options.cluster.node = "node" + std::to_string(index + 1);
    node.server = std::make_unique<Server>(*node.store, options);
    node.port = node.server->Port();
    node.thread = std::thread([server = node.server.get()] { server->Run(); });
}

void ServerUnderTest::StopNode(int index) {
    Node& node = nodes_[static_cast<std::size_t>(index)];
    if (!node.server) return;
    node.server->Stop();
    node.thread.join();
    node.server.reset();
}

void ServerUnderTest::Stop() {
    // All at once, as when every node is told to stop together.
    for (Node& node : nodes_)
        if (node.server) node.server->Stop();
    for (int i = 0; i < Nodes(); ++i) StopNode(i);
}

void ServerUnderTest::Restart() {
    Stop();
    for (Node& node : nodes_) node.store.reset();
    for (int i = 0; i < Nodes(); ++i) StartNode(nodes_[static_cast<std::size_t>(i)], i);
}

std::uint16_t ServerUnderTest::PortFor(const std::string& user) const {
    std::size_t h = 0;
    for (char c : user) h = h * 31 + static_cast<unsigned char>(c);
    return Port(static_cast<int>(h % nodes_.size()));
}

ServerStats ServerUnderTest::Stats() {
    ServerStats sum;
    for (Node& node : nodes_) {
        if (!node.server) continue;
        ServerStats s = node.server->Stats();
        sum.connections += s.connections;
        sum.online += s.online;
        sum.requests += s.requests;
        sum.dropped += s.dropped;
        sum.slowReaders += s.slowReaders;
        sum.loginsRefused += s.loginsRefused;
        sum.handedBack += s.handedBack;
        sum.refusedPerAddress += s.refusedPerAddress;
    }
    return sum;
}

std::string ServerFrame(int code, std::string_view payload) {
    auto framed = protocol::FrameServerPacket(code, payload);
    return framed ? *framed : std::string();
}

const TestCertificate& LocalhostCertificate() {
    static const TestCertificate made = [] {
        std::string dir = std::string(VEXA_ENGINE_DIR) + "/tls-" + std::to_string(getpid());
        std::filesystem::create_directories(dir);
        TestCertificate c{dir + "/cert.pem", dir + "/key.pem"};
        std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2"
                              " -subj /CN=localhost -addext subjectAltName=DNS:localhost -keyout '" +
                              c.keyFile + "' -out '" + c.certFile + "' 2>/dev/null";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a test certificate");
        // The folder goes with the process.
        static struct Remover {
            std::string dir;
            ~Remover() {
                std::error_code ec;
                std::filesystem::remove_all(dir, ec);
            }
        } remover{dir};
        return c;
    }();
    return made;
}

namespace {
SSL_CTX* ClientContext() {
    static SSL_CTX* ctx = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_load_verify_locations(c, LocalhostCertificate().certFile.c_str(), nullptr);
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
        return c;
    }();
    return ctx;
}
}  // namespace

long Client::Receive(char* into, std::size_t size) {
    if (!ssl_) return ::recv(fd_, into, size, 0);
    int n = SSL_read(ssl_, into, static_cast<int>(size));
    return n > 0 ? n : (SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
}

long Client::Transmit(const char* from, std::size_t size) {
    if (!ssl_) return ::send(fd_, from, size, MSG_NOSIGNAL);
    int n = SSL_write(ssl_, from, static_cast<int>(size));
    return n > 0 ? n : -1;
}

bool Client::Pending() const { return ssl_ && SSL_pending(ssl_) > 0; }

Client::Client(std::uint16_t port, int receiveBuffer, bool tls, const char* from) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return;
    if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in local{}, addr{};
    local.sin_family = addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!tls) return;
    signal(SIGPIPE, SIG_IGN);
    ssl_ = SSL_new(ClientContext());
    SSL_set_fd(ssl_, fd_);
    SSL_set_tlsext_host_name(ssl_, "localhost");
    SSL_set1_host(ssl_, "localhost");
    if (SSL_connect(ssl_) != 1) Close();
}

Client::~Client() { Close(); }

void Client::Close() {
    if (ssl_) SSL_free(ssl_);
    ssl_ = nullptr;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Client::Abort() {
    if (fd_ < 0) return;
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
}

int Client::ReceiveBuffer() const {
    int size = 0;
    socklen_t length = sizeof size;
    if (fd_ < 0 || ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) return 0;
    return size;
}

void Client::SendRaw(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
        long n = Transmit(bytes.data(), bytes.size());
        if (n <= 0) return;
        sent_ += static_cast<std::size_t>(n);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Client::SendBody(std::string_view body) { SendFramed(protocol::FrameRequest(body)); }

void Client::SendFramed(const std::optional<std::string>& framed) {
    if (framed) SendRaw(*framed);
}

std::optional<Packet> Client::Read(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // What arrived earlier first: the cutter takes no byte of the next frame.
        while (!buffer_.empty()) {
            const char* data = buffer_.data();
            std::size_t size = buffer_.size();
            protocol::FrameCutter::Step step = cutter_.Feed(data, size);
            buffer_.erase(0, buffer_.size() - size);
            if (step != protocol::FrameCutter::Step::Frame) continue;
            Packet p;
            p.raw = cutter_.Take();
            protocol::ServerPacket checked;
            int lengthField = 0;
            protocol::CheckServerPacket(p.raw, checked, lengthField);
            p.code = checked.code;
            if (checked.payload) p.payload.assign(checked.payload, static_cast<std::size_t>(checked.payloadLength));
            return p;
        }
        if (fd_ < 0) return std::nullopt;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd pfd{fd_, POLLIN, 0};
        if (!Pending() && ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
        char chunk[16384];
        long n = Receive(chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        received_ += static_cast<std::size_t>(n);
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

namespace {
std::atomic<long long> g_settleMillis{0};
}  // namespace

void Client::SetCrossNodeSettle(std::chrono::milliseconds settle) { g_settleMillis = settle.count(); }

std::vector<Packet> Client::Sync() {
    if (g_settleMillis > 0) std::this_thread::sleep_for(std::chrono::milliseconds(g_settleMillis.load()));
    SendRaw(protocol::BuildKeepAliveRequest());
    std::vector<Packet> before;
    while (auto p = Read()) {
        if (p->code == 8 && p->payload.empty()) return before;
        before.push_back(std::move(*p));
    }
    before.push_back(Packet{});  // marks a missing keep-alive answer
    return before;
}

bool Client::WaitClosed(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{fd_, POLLIN, 0};
        if (!Pending() && ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[4096];
        long n = Receive(chunk, sizeof chunk);
        if (n <= 0) return true;
    }
    return true;
}

std::string Client::Login(std::string_view user, std::string_view password) {
    SendBody("0001" + std::string(user) + "!|!" + std::string(password));
    auto answer = Read(std::chrono::milliseconds(5000));
    return answer && answer->code == 2 ? answer->payload : std::string("<no answer>");
}

std::optional<std::string> Chat(const std::string& from, const std::string& to, const std::string& text, int id) {
    IM_CHAT_DATA chat{};
    chat.id = id;
    std::strncpy(chat.peer, to.c_str(), sizeof chat.peer - 1);
    std::strncpy(chat.content, text.c_str(), sizeof chat.content - 1);
    chat.contentLength = static_cast<int32_t>(std::strlen(chat.content));
    chat.msgType = 1;
    return protocol::BuildChatRequest(from, &chat);
}

int ChatId(const Packet& p) {
    auto open = p.payload.find("<id>");
    return open == std::string::npos ? -1 : std::atoi(p.payload.c_str() + open + 4);
}

void ReadChats(Client& client, std::vector<int>& ids, std::chrono::milliseconds quiet) {
    while (auto p = client.Read(quiet))
        if (p->code == 3) ids.push_back(ChatId(*p));
}

Arrivals CheckArrivals(const std::vector<int>& ids, int sent, int first) {
    Arrivals a;
    std::vector<bool> seen(static_cast<std::size_t>(std::max(sent, 0)), false);
    int highest = first - 1;
    for (int id : ids) {
        if (id < first || id >= sent) {
            a.inOrder = false;
            if (a.problem.empty()) a.problem = "unexpected chat " + std::to_string(id);
            continue;
        }
        if (seen[static_cast<std::size_t>(id)]) {
            ++a.duplicates;
            continue;
        }
        if (id < highest) {
            a.inOrder = false;
            if (a.problem.empty()) a.problem = "chat " + std::to_string(id) + " after " + std::to_string(highest);
        }
        highest = std::max(highest, id);
        seen[static_cast<std::size_t>(id)] = true;
    }
    for (int i = first; i < sent; ++i) {
        if (!seen[static_cast<std::size_t>(i)]) {
            a.complete = false;
            if (a.problem.empty()) a.problem = "chat " + std::to_string(i) + " lost";
            break;
        }
    }
    return a;
}

}  // namespace vexa::server::testing
