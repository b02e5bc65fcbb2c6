#include "server/server.h"

#include <algorithm>
#include <deque>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "protocol/frame.h"
#include "protocol/text.h"
#include "server/log.h"
#include "server/password.h"
#include "server/records.h"
#include "server/request_reader.h"
#include "server/server_texts.h"

namespace vexa::server {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kSep = "!|!";
constexpr std::size_t kMaxUserId = 20;
constexpr std::size_t kMaxBatchPackets = 64;  // packets per socket write

// Packets whose loss the users would notice (chats, friend answers) are kept
// in the mailbox when they cannot be handed to the connection; the rest
// (presence, invitations, answers to the connection's own requests) only
// matter while the connection lives.
enum class Keep { No, Yes };

std::string Join(std::initializer_list<std::string_view> fields) {
    std::string out;
    bool first = true;
    for (std::string_view f : fields) {
        if (!first) out.append(kSep);
        out.append(f);
        first = false;
    }
    return out;
}

bool IsUserIdField(std::string_view id) { return !id.empty() && id.size() <= kMaxUserId; }

}  // namespace

class Connection;

class Server::Impl : public std::enable_shared_from_this<Server::Impl> {
public:
    Impl(asio::io_context& io, Store& store, ServerOptions options);
    ~Impl();

    void Start();
    void Stop();
    ServerStats Stats() const;
    std::uint16_t Port() const { return port_; }

    // From connections.
    bool Handle(const std::shared_ptr<Connection>& conn, int code, std::string_view payload);
    void OnClosed(Connection& conn, std::vector<std::pair<int, std::string>> unsentKept);
    void AckMail(std::int64_t account, std::int64_t seq);
    void CountSlowReader() { ++stats_.slowReaders; }
    // Queues the connection's next mailbox packets while its backlog is small.
    void PumpMail(Connection& conn);
    const ServerOptions& Options() const { return options_; }
    bool Stopping() const { return stopping_; }

private:
    void Accept();
    void Drop(const Connection& conn, int code, std::string_view why);

    void OnLogin(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void FinishLogin(const std::shared_ptr<Connection>& conn, const Profile& profile);
    void OnChat(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void OnInitData(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void OnFriendAsk(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void OnFriendReply(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void OnAddBlacklist(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void OnDeleteFriend(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void OnPlainRoute(const std::shared_ptr<Connection>& conn, int code, std::string_view payload);
    void OnStatus(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void OnPosition(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void OnChangeInfo(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void FinishChangeInfo(const std::shared_ptr<Connection>& conn, const ProfileChange& change,
                          const std::string& newHash);
    void OnGetUserInfo(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void On1V1Reply(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void OnSendAskList(const std::shared_ptr<Connection>& conn, std::string_view payload);
    void OnExit(const std::shared_ptr<Connection>& conn, std::string_view payload);

    // Hands a packet to the user's connection, or keeps it for the next login.
    void DeliverOrKeep(std::int64_t account, int code, const std::string& payload);
    void ToOnlineFriends(std::int64_t account, int code, const std::string& payload);
    std::shared_ptr<Connection> OnlineConnection(std::int64_t account) const;
    int ShownStatus(const Profile& p) const { return online_.count(p.id) ? p.status : 0; }

    asio::io_context& io_;
    Store& store_;
    ServerOptions options_;
    asio::ip::tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
    asio::thread_pool hashPool_;
    std::unordered_set<std::shared_ptr<Connection>> connections_;
    std::unordered_map<std::int64_t, std::shared_ptr<Connection>> online_;
    std::set<std::pair<std::int64_t, std::int64_t>> oneToOneAsks_;  // (asker, asked)
    ServerStats stats_;
    std::uint64_t nextSerial_ = 1;
    bool stopping_ = false;
};

// One client connection: the socket, its request reader, its send queue and
// its timer. Owned by the server's set of connections and by the handlers in
// flight; closed at most once.
class Connection : public std::enable_shared_from_this<Connection>, private RequestReader::Sink {
public:
    Connection(Server::Impl& hub, asio::ip::tcp::socket socket, std::uint64_t serial)
        : hub_(hub), socket_(std::move(socket)), timer_(socket_.get_executor()), serial_(serial) {
        std::error_code ec;
        auto remote = socket_.remote_endpoint(ec);
        peer_ = ec ? std::string("?") : remote.address().to_string() + ":" + std::to_string(remote.port());
        socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    }

    void Start() {
        lastActivity_ = Clock::now();
        ArmTimer();
        Read();
    }

    std::int64_t account = 0;      // 0 until a successful login, and again after exit
    std::int64_t mailAccount = 0;  // whose mailbox gets this connection's unsent kept packets
    std::string name;          // the logged-in user ID
    bool loginPending = false;

    const std::string& Peer() const { return peer_; }
    std::uint64_t Serial() const { return serial_; }
    bool Closed() const { return closed_; }
    std::size_t QueuedBytes() const { return queuedBytes_; }

    // Mailbox delivery in progress: packets for this user go through the
    // mailbox too until it is empty, so nothing overtakes an older one.
    bool mailPending = false;
    std::int64_t mailCursor = 0;  // last mailbox seq queued on this connection

    void Send(int code, std::string_view payload, Keep keep = Keep::No, std::int64_t mailSeq = 0) {
        if (closed_ || retiring_) {
            if (keep == Keep::Yes && mailSeq == 0) lostKept_.emplace_back(code, std::string(payload));
            return;
        }
        auto frame = protocol::FrameServerPacket(code, payload);
        if (!frame) {
            Log(LogLevel::Warn, "packet " + std::to_string(code) + " too long for one frame; not sent");
            return;
        }
        Outgoing out;
        out.frame = std::move(*frame);
        out.keep = keep == Keep::Yes;
        out.mailSeq = mailSeq;
        if (out.keep && mailSeq == 0) {
            out.code = code;
            out.payload = std::string(payload);
        }
        queuedBytes_ += out.frame.size();
        queue_.push_back(std::move(out));
        if (queuedBytes_ > hub_.Options().maxBacklogBytes) {
            hub_.CountSlowReader();
            Close("slow reader: " + std::to_string(queuedBytes_) + " bytes waiting");
            return;
        }
        Write();
    }

    // Stops reading until Resume (a login or password change is being checked).
    void Pause() { paused_ = true; }
    void Resume() {
        if (!paused_ || closed_) return;
        paused_ = false;
        // Requests that arrived behind the one that paused are served now.
        std::string held;
        held.swap(held_);
        std::size_t used = reader_.Feed(held.data(), held.size(), *this);
        if (paused_) {
            held_.assign(held, used, std::string::npos);
            return;
        }
        if (closed_) return;
        if (!reading_) Read();
    }

    // The account logged in elsewhere: code 39 tells this client why, then the
    // connection ends. Its unsent kept packets go to the mailbox first so that
    // the new login finds them there.
    void Retire(std::vector<std::pair<int, std::string>>& kept) {
        TakeUnsentKept(kept, /*includeInFlight=*/true);
        // Everything not yet on its way is dropped; what is in flight finishes.
        std::size_t keepCount = writing_ ? inFlight_ : 0;
        while (queue_.size() > keepCount) {
            queuedBytes_ -= queue_.back().frame.size();
            queue_.pop_back();
        }
        account = 0;
        mailAccount = 0;
        Send(39, "");
        retiring_ = true;
        // A client that does not read its last packet is not waited for long.
        lastActivity_ = Clock::now();
        retireDeadline_ = Clock::now() + std::chrono::seconds(5);
        ArmTimer();
        if (queue_.empty()) Close("replaced by a newer login");
    }

    // Ends the connection after what is queued has been written (exit).
    void CloseAfterFlush() {
        retiring_ = true;
        retireDeadline_ = Clock::now() + std::chrono::seconds(5);
        ArmTimer();
        if (queue_.empty()) Close("exit");
    }

    void Close(const std::string& reason) {
        if (closed_) return;
        closed_ = true;
        Log(LogLevel::Info, "connection #" + std::to_string(serial_) + " " + peer_ + " closed" +
                                (name.empty() ? std::string() : " (" + Printable(name) + ")") + ": " + reason);
        std::error_code ec;
        timer_.cancel();
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
        socket_.close(ec);
        std::vector<std::pair<int, std::string>> kept;
        TakeUnsentKept(kept, /*includeInFlight=*/true);
        for (auto& k : lostKept_) kept.push_back(std::move(k));
        lostKept_.clear();
        queue_.clear();
        queuedBytes_ = 0;
        held_.clear();
        hub_.OnClosed(*this, std::move(kept));
    }

private:
    struct Outgoing {
        std::string frame;
        bool keep = false;
        std::int64_t mailSeq = 0;  // mailbox row this packet delivers, or 0
        int code = 0;              // kept packets not yet in the mailbox
        std::string payload;
    };

    bool OnRequest(int code, std::string_view payload) override {
        if (closed_ || retiring_) return false;
        bool goOn = hub_.Handle(shared_from_this(), code, payload);
        return goOn && !paused_ && !closed_ && !retiring_;
    }

    void Read() {
        if (closed_ || paused_ || retiring_) return;
        reading_ = true;
        socket_.async_read_some(asio::buffer(readBuffer_),
                                [self = shared_from_this()](std::error_code ec, std::size_t n) { self->OnRead(ec, n); });
    }

    void OnRead(std::error_code ec, std::size_t n) {
        reading_ = false;
        if (closed_) return;
        if (ec) {
            Close(ec == asio::error::eof ? "closed by the client" : "read: " + ec.message());
            return;
        }
        lastActivity_ = Clock::now();
        if (retiring_) return;
        std::size_t used = reader_.Feed(readBuffer_.data(), n, *this);
        if (closed_) return;
        if (used < n) held_.append(readBuffer_.data() + used, n - used);
        Read();
    }

    void Write() {
        if (writing_ || queue_.empty() || closed_) return;
        buffers_.clear();
        for (auto& out : queue_) {
            if (buffers_.size() == kMaxBatchPackets) break;
            buffers_.push_back(asio::buffer(out.frame));
        }
        inFlight_ = buffers_.size();
        writing_ = true;
        asio::async_write(socket_, buffers_,
                          [self = shared_from_this()](std::error_code ec, std::size_t) { self->OnWrite(ec); });
    }

    void OnWrite(std::error_code ec) {
        writing_ = false;
        if (closed_) return;
        if (ec) {
            Close("write: " + ec.message());
            return;
        }
        std::int64_t deliveredSeq = 0;
        for (std::size_t i = 0; i < inFlight_ && !queue_.empty(); ++i) {
            deliveredSeq = std::max(deliveredSeq, queue_.front().mailSeq);
            queuedBytes_ -= queue_.front().frame.size();
            queue_.pop_front();
        }
        inFlight_ = 0;
        if (deliveredSeq != 0 && mailAccount != 0) hub_.AckMail(mailAccount, deliveredSeq);
        if (mailPending && !retiring_) hub_.PumpMail(*this);
        if (queue_.empty() && retiring_) {
            Close(account == 0 && name.empty() ? "exit" : "done");
            return;
        }
        Write();
    }

    // Kept packets that have not certainly left: the mailbox gets them back.
    // Those that came from the mailbox are still there (their rows are deleted
    // only once written), so they are not taken twice.
    void TakeUnsentKept(std::vector<std::pair<int, std::string>>& kept, bool includeInFlight) {
        std::size_t skip = (writing_ && !includeInFlight) ? inFlight_ : 0;
        for (std::size_t i = skip; i < queue_.size(); ++i) {
            auto& out = queue_[i];
            if (out.keep && out.mailSeq == 0 && !out.payload.empty()) {
                kept.emplace_back(out.code, std::move(out.payload));
                out.keep = false;
            }
        }
    }

    void ArmTimer() {
        auto deadline = Deadline();
        timer_.expires_at(deadline);
        timer_.async_wait([self = shared_from_this()](std::error_code ec) {
            if (ec || self->closed_) return;
            auto now = Clock::now();
            if (now >= self->Deadline()) {
                self->Close(self->retiring_ ? "did not read its last packets"
                                            : self->account == 0 ? "no login in time" : "silent for too long");
                return;
            }
            self->ArmTimer();
        });
    }

    Clock::time_point Deadline() const {
        if (retiring_) return retireDeadline_;
        if (account == 0 && !loginPending) return acceptedAt_ + hub_.Options().loginTimeout;
        return lastActivity_ + hub_.Options().idleTimeout;
    }

    Server::Impl& hub_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    std::uint64_t serial_;
    std::string peer_;
    RequestReader reader_;
    std::array<char, 4096> readBuffer_{};
    std::string held_;  // bytes received while paused, at most one read's worth
    std::deque<Outgoing> queue_;
    std::vector<std::pair<int, std::string>> lostKept_;
    std::vector<asio::const_buffer> buffers_;
    std::size_t inFlight_ = 0;
    std::size_t queuedBytes_ = 0;
    Clock::time_point acceptedAt_ = Clock::now();
    Clock::time_point lastActivity_ = Clock::now();
    Clock::time_point retireDeadline_{};
    bool reading_ = false;
    bool writing_ = false;
    bool paused_ = false;
    bool retiring_ = false;
    bool closed_ = false;
};

Server::Impl::Impl(asio::io_context& io, Store& store, ServerOptions options)
    : io_(io), store_(store), options_(std::move(options)), acceptor_(io),
      hashPool_(std::max(1u, options_.hashThreads)) {
    if (!InitPasswordHashing()) throw std::runtime_error("libsodium cannot be initialised");
    asio::ip::tcp::endpoint endpoint(asio::ip::make_address(options_.address), options_.port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    port_ = acceptor_.local_endpoint().port();
}

Server::Impl::~Impl() { hashPool_.join(); }

void Server::Impl::Start() { Accept(); }

void Server::Impl::Accept() {
    acceptor_.async_accept([self = shared_from_this()](std::error_code ec, asio::ip::tcp::socket socket) {
        if (self->stopping_) return;
        if (ec) {
            // Out of descriptors and the like: try again shortly rather than spin.
            Log(LogLevel::Warn, "accept: " + ec.message());
            auto timer = std::make_shared<asio::steady_timer>(self->io_, std::chrono::milliseconds(100));
            timer->async_wait([self, timer](std::error_code) {
                if (!self->stopping_) self->Accept();
            });
            return;
        }
        if (self->connections_.size() >= self->options_.maxConnections) {
            Log(LogLevel::Warn, "connection refused: " + std::to_string(self->connections_.size()) +
                                    " connections already (--max-connections)");
            std::error_code ignored;
            socket.close(ignored);
        } else {
            auto conn = std::make_shared<Connection>(*self, std::move(socket), self->nextSerial_++);
            self->connections_.insert(conn);
            Log(LogLevel::Debug, "connection #" + std::to_string(conn->Serial()) + " from " + conn->Peer());
            conn->Start();
        }
        self->Accept();
    });
}

void Server::Impl::Stop() {
    if (stopping_) return;
    stopping_ = true;
    std::error_code ec;
    acceptor_.close(ec);
    auto all = connections_;
    for (auto& conn : all) conn->Close("server stopping");
    connections_.clear();
    online_.clear();
}

ServerStats Server::Impl::Stats() const {
    ServerStats s = stats_;
    s.connections = connections_.size();
    s.online = online_.size();
    return s;
}

void Server::Impl::Drop(const Connection& conn, int code, std::string_view why) {
    ++stats_.dropped;
    if (CurrentLogLevel() >= LogLevel::Debug)
        Log(LogLevel::Debug, "connection #" + std::to_string(conn.Serial()) + ": request " + std::to_string(code) +
                                 " dropped: " + std::string(why));
}

std::shared_ptr<Connection> Server::Impl::OnlineConnection(std::int64_t account) const {
    auto found = online_.find(account);
    return found == online_.end() ? nullptr : found->second;
}

void Server::Impl::OnClosed(Connection& conn, std::vector<std::pair<int, std::string>> unsentKept) {
    std::shared_ptr<Connection> self = conn.shared_from_this();
    connections_.erase(self);
    if (conn.mailAccount != 0) {
        try {
            for (auto& [code, payload] : unsentKept) {
                if (store_.MailCount(conn.mailAccount) >= options_.maxMailPerUser) {
                    Log(LogLevel::Warn, "mailbox of " + Printable(conn.name) + " full; packet " +
                                            std::to_string(code) + " not kept");
                    continue;
                }
                store_.AddMail(conn.mailAccount, code, payload);
            }
        } catch (const StoreError& e) {
            Log(LogLevel::Error, e.what());
        }
    }
    if (conn.account == 0) return;
    std::int64_t account = conn.account;
    auto found = online_.find(account);
    if (found == online_.end() || found->second != self) return;
    online_.erase(found);
    for (auto it = oneToOneAsks_.begin(); it != oneToOneAsks_.end();) {
        if (it->first == account || it->second == account)
            it = oneToOneAsks_.erase(it);
        else
            ++it;
    }
    if (stopping_) return;
    // Status 0 tells the friends that the user went offline.
    try {
        ToOnlineFriends(account, 32, Join({conn.name, "0"}));
    } catch (const StoreError& e) {
        Log(LogLevel::Error, e.what());
    }
}

void Server::Impl::AckMail(std::int64_t account, std::int64_t seq) {
    try {
        store_.DeleteMailUpTo(account, seq);
    } catch (const StoreError& e) {
        Log(LogLevel::Error, e.what());
    }
}

void Server::Impl::DeliverOrKeep(std::int64_t account, int code, const std::string& payload) {
    auto conn = OnlineConnection(account);
    if (conn && !conn->mailPending) {
        conn->Send(code, payload, Keep::Yes);
        return;
    }
    if (store_.MailCount(account) >= options_.maxMailPerUser) {
        Log(LogLevel::Warn, "mailbox of account " + std::to_string(account) + " full; packet " +
                                std::to_string(code) + " not kept");
        return;
    }
    store_.AddMail(account, code, payload);
    if (conn) PumpMail(*conn);
}

void Server::Impl::PumpMail(Connection& conn) {
    // Half the backlog limit leaves room for the live packets of the moment,
    // so a long mailbox never makes its own reader look slow.
    const std::size_t room = options_.maxBacklogBytes / 2;
    try {
        while (conn.mailPending && !conn.Closed() && conn.QueuedBytes() < room) {
            auto batch = store_.MailAfter(conn.mailAccount, conn.mailCursor, 32);
            if (batch.empty()) {
                conn.mailPending = false;
                break;
            }
            for (const Mail& mail : batch) {
                conn.mailCursor = mail.seq;
                conn.Send(mail.code, mail.payload, Keep::Yes, mail.seq);
            }
        }
    } catch (const StoreError& e) {
        Log(LogLevel::Error, std::string("mailbox: ") + e.what());
    }
}

void Server::Impl::ToOnlineFriends(std::int64_t account, int code, const std::string& payload) {
    for (std::int64_t friendId : store_.FriendIds(account))
        if (auto conn = OnlineConnection(friendId)) conn->Send(code, payload);
}

bool Server::Impl::Handle(const std::shared_ptr<Connection>& conn, int code, std::string_view payload) {
    ++stats_.requests;
    if (conn->account == 0 && code != 1) {
        Drop(*conn, code, "not logged in");
        return true;
    }
    try {
        switch (code) {
            case 1: OnLogin(conn, payload); break;
            case 3: OnChat(conn, payload); break;
            case 7: conn->Send(8, ""); break;
            case 21: OnInitData(conn, payload); break;
            case 23: OnFriendAsk(conn, payload); break;
            case 24: OnFriendReply(conn, payload); break;
            case 25: OnAddBlacklist(conn, payload); break;
            case 29: OnDeleteFriend(conn, payload); break;
            case 31: case 40: case 43: OnPlainRoute(conn, code, payload); break;
            case 32: OnStatus(conn, payload); break;
            case 33: OnPosition(conn, payload); break;
            case 34: OnChangeInfo(conn, payload); break;
            case 36: OnGetUserInfo(conn, payload); break;
            case 41: On1V1Reply(conn, payload); break;
            case 44: OnSendAskList(conn, payload); break;
            case 99: OnExit(conn, payload); break;
            default: Drop(*conn, code, "unknown code"); break;
        }
    } catch (const std::exception& e) {
        // A failing statement or allocation costs this request, never the server.
        Log(LogLevel::Error, "request " + std::to_string(code) + ": " + e.what());
    }
    return true;
}

// --- Login ---------------------------------------------------------------

void Server::Impl::OnLogin(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    auto refuse = [&](char status, const char* reason) {
        std::string answer(1, status);
        answer.append(reason);
        conn->Send(2, answer);
    };
    if (conn->account != 0 || conn->loginPending) {
        refuse(texts::kLoginAlreadyLoggedIn, texts::kAlreadyLoggedIn);
        return;
    }
    std::string_view user = text::TakeField(payload, kSep);
    std::string_view password = payload;  // the rest: a password may hold any bytes
    if (!IsUserIdField(user) || password.empty() || password.size() > 64) {
        refuse(texts::kLoginBadData, texts::kBadLoginData);
        return;
    }
    auto profile = store_.FindByName(user);
    if (!profile) {
        Log(LogLevel::Info, "login refused for unknown account " + Printable(user) + " from " + conn->Peer());
        refuse(texts::kLoginNoSuchAccount, texts::kNoSuchAccount);
        return;
    }
    std::string hash = store_.PasswordHash(profile->id);
    conn->loginPending = true;
    conn->Pause();
    asio::post(hashPool_, [self = shared_from_this(), conn, hash = std::move(hash), password = std::string(password),
                           profile = std::move(*profile)]() mutable {
        bool ok = VerifyPassword(hash, password);
        // The pool must not hold the last reference: the server's teardown
        // joins the pool and cannot run on one of its threads.
        auto& io = self->io_;
        asio::post(io, [self = std::move(self), conn = std::move(conn), ok, profile = std::move(profile)]() {
            conn->loginPending = false;
            if (conn->Closed() || self->stopping_) return;
            if (!ok) {
                Log(LogLevel::Info, "login refused for " + Printable(profile.name) + " from " + conn->Peer() +
                                        ": wrong password");
                std::string answer(1, texts::kLoginWrongPassword);
                answer.append(texts::kWrongPassword);
                conn->Send(2, answer);
            } else {
                try {
                    self->FinishLogin(conn, profile);
                } catch (const StoreError& e) {
                    Log(LogLevel::Error, std::string("login: ") + e.what());
                }
            }
            conn->Resume();
        });
    });
}

void Server::Impl::FinishLogin(const std::shared_ptr<Connection>& conn, const Profile& profile) {
    if (auto previous = OnlineConnection(profile.id); previous && previous != conn) {
        std::vector<std::pair<int, std::string>> kept;
        previous->Retire(kept);
        for (auto& [code, payload] : kept) store_.AddMail(profile.id, code, payload);
        online_.erase(profile.id);
        Log(LogLevel::Info, Printable(profile.name) + " logged in again; connection #" +
                                std::to_string(previous->Serial()) + " replaced");
    }
    conn->account = profile.id;
    conn->mailAccount = profile.id;
    conn->name = profile.name;
    online_[profile.id] = conn;
    Log(LogLevel::Info, Printable(profile.name) + " logged in from " + conn->Peer());
    conn->Send(2, "0");

    // Pending requests stay pending until answered; those beyond a quarter of
    // the backlog limit come at a later login instead of making this one slow.
    std::size_t budget = options_.maxBacklogBytes / 4;
    for (const FriendRequest& request : store_.FriendRequestsTo(profile.id)) {
        std::string body = Join({request.fromName, profile.name});
        if (request.withText) body.append(kSep).append(request.text);
        if (body.size() + 9 > budget) break;
        budget -= body.size() + 9;
        conn->Send(23, body);
    }
    conn->mailPending = true;
    conn->mailCursor = 0;
    PumpMail(*conn);
    ToOnlineFriends(profile.id, 32, Join({profile.name, std::to_string(profile.status), profile.statusNote}));
}

void Server::Impl::OnExit(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    if (payload != conn->name) {
        Drop(*conn, 99, "own ID mismatch");
        return;
    }
    std::int64_t account = conn->account;
    std::string name = conn->name;
    online_.erase(account);
    conn->account = 0;
    Log(LogLevel::Info, Printable(name) + " logged out");
    for (auto it = oneToOneAsks_.begin(); it != oneToOneAsks_.end();) {
        if (it->first == account || it->second == account)
            it = oneToOneAsks_.erase(it);
        else
            ++it;
    }
    ToOnlineFriends(account, 32, Join({name, "0"}));
    conn->CloseAfterFlush();
}

// --- Chat ----------------------------------------------------------------

void Server::Impl::OnChat(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    std::string_view recipient = text::TakeField(payload, kSep);
    std::string_view date = text::TakeField(payload, kSep);
    std::string_view sender = text::TakeField(payload, kSep);
    std::string_view msgType = text::TakeField(payload, kSep);
    std::string_view body = payload;  // the rest, separators included
    if (sender != conn->name) return Drop(*conn, 3, "own ID mismatch");
    if (!IsUserIdField(recipient) || date.empty() || date.size() > 31 || msgType.empty() || body.empty())
        return Drop(*conn, 3, "malformed chat");
    auto target = store_.FindByName(recipient);
    if (!target) return Drop(*conn, 3, "unknown recipient");
    if (store_.IsBlocked(target->id, conn->account)) return Drop(*conn, 3, "blacklisted by the recipient");
    // Offline messages may wait for days: the time they were sent is the
    // server's, not that of their delivery.
    std::string when = date == "SYSTEMDATE" ? ServerTimeText() : std::string(date);
    std::string forward = Join({recipient, when, sender, msgType, body});
    if (forward.size() > static_cast<std::size_t>(protocol::kMaxFrameLength - 4))
        return Drop(*conn, 3, "too long to forward");
    DeliverOrKeep(target->id, 3, forward);
}

// --- Friend list ---------------------------------------------------------

void Server::Impl::OnInitData(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    // The number asks for at most that many users per packet; 0 or less
    // leaves it to the packet size.
    int perBatch = text::AtoI(payload);
    const std::size_t room = static_cast<std::size_t>(protocol::kMaxFrameLength - 4) - std::string_view("<over>0</over>").size();
    std::vector<Profile> friends = store_.Friends(conn->account);
    std::string batch;
    int inBatch = 0;
    auto flush = [&](bool last) {
        batch.append(last ? "<over>1</over>" : "<over>0</over>");
        conn->Send(22, batch);
        batch.clear();
        inBatch = 0;
    };
    for (const Profile& p : friends) {
        std::string element = UserElement(p, ShownStatus(p));
        if (inBatch > 0 && (batch.size() + element.size() > room || (perBatch > 0 && inBatch >= perBatch)))
            flush(false);
        if (element.size() > room) continue;  // cannot happen with stored limits; never split a user
        batch.append(element);
        ++inBatch;
    }
    flush(true);
}

void Server::Impl::OnFriendAsk(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    std::string_view own = text::TakeField(payload, kSep);
    bool withText = !payload.empty() && text::Find(payload, kSep) != text::npos;
    std::string_view user = text::TakeField(payload, kSep);
    std::string_view askText = payload;
    if (own != conn->name) return Drop(*conn, 23, "own ID mismatch");
    if (!IsUserIdField(user)) return Drop(*conn, 23, "malformed user");
    if (withText && !IsSafeText(askText, 599)) return Drop(*conn, 23, "unsafe or long text");
    auto target = store_.FindByName(user);
    if (!target || target->id == conn->account) return Drop(*conn, 23, "unknown or own account");
    if (store_.IsBlocked(target->id, conn->account)) return Drop(*conn, 23, "blacklisted by the user");
    if (store_.AreFriends(conn->account, target->id)) return Drop(*conn, 23, "already friends");
    if (!store_.HasFriendRequest(conn->account, target->id) &&
        store_.FriendRequestCountTo(target->id) >= options_.maxFriendRequestsPerUser)
        return Drop(*conn, 23, "too many pending requests for the user");
    store_.Transaction([&] {
        // Asking someone to be a friend takes them off one's own blacklist.
        store_.Unblock(conn->account, target->id);
        store_.AddFriendRequest(conn->account, target->id, askText, withText);
    });
    std::string forward = Join({conn->name, target->name});
    if (withText) forward.append(kSep).append(askText);
    if (auto other = OnlineConnection(target->id)) other->Send(23, forward);
}

void Server::Impl::OnFriendReply(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    std::string_view own = text::TakeField(payload, kSep);
    std::string_view asker = text::TakeField(payload, kSep);
    std::string_view answer = text::TakeField(payload, kSep);
    if (own != conn->name) return Drop(*conn, 24, "own ID mismatch");
    if (answer != "0" && answer != "1") return Drop(*conn, 24, "answer is neither 0 nor 1");
    if (answer == "0") text::TakeField(payload, kSep);  // the number n: not used by the server
    std::string_view replyText = payload;
    if (!IsSafeText(replyText, 599)) replyText = {};
    auto other = IsUserIdField(asker) ? store_.FindByName(asker) : std::nullopt;
    if (!other || !store_.HasFriendRequest(other->id, conn->account))
        return Drop(*conn, 24, "no pending request from that user");
    bool agreed = answer == "0";
    if (agreed && (store_.FriendCount(conn->account) >= options_.maxFriendsPerUser ||
                   store_.FriendCount(other->id) >= options_.maxFriendsPerUser))
        return Drop(*conn, 24, "friend list full");
    store_.Transaction([&] {
        store_.RemoveFriendRequest(other->id, conn->account);
        if (agreed) {
            store_.RemoveFriendRequest(conn->account, other->id);
            store_.AddFriendship(conn->account, other->id);
        }
    });
    std::string toAsker = Join({conn->name, other->name, answer});
    std::string toAnswerer = Join({conn->name, other->name, answer});
    if (!replyText.empty()) {
        toAsker.append(kSep).append(replyText);
        toAnswerer.append(kSep).append(replyText);
    }
    DeliverOrKeep(other->id, 24, toAsker);
    conn->Send(38, toAnswerer);
}

void Server::Impl::OnAddBlacklist(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    std::string_view own = text::TakeField(payload, kSep);
    std::string_view user = text::TakeField(payload, kSep);
    std::string_view number = text::TakeField(payload, kSep);
    if (own != conn->name) return Drop(*conn, 25, "own ID mismatch");
    // The library reads at most 19 bytes here; a longer ID gets no answer it could use.
    if (user.empty() || user.size() > 19 || !IsSafeText(user, 19)) return Drop(*conn, 25, "malformed user");
    std::string head = Join({conn->name, user, std::to_string(text::AtoI(number))});
    auto target = store_.FindByName(user);
    if (!target) {
        conn->Send(26, Join({head, "1", texts::kNoSuchAccount}));
        return;
    }
    if (target->id == conn->account) {
        conn->Send(26, Join({head, "1", texts::kNotYourself}));
        return;
    }
    store_.Transaction([&] {
        store_.Block(conn->account, target->id);
        store_.RemoveFriendship(conn->account, target->id);
        store_.RemoveFriendRequest(conn->account, target->id);
        store_.RemoveFriendRequest(target->id, conn->account);
    });
    oneToOneAsks_.erase({target->id, conn->account});
    conn->Send(26, Join({head, "0"}));
}

void Server::Impl::OnDeleteFriend(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    std::string_view own = text::TakeField(payload, kSep);
    std::string_view user = text::TakeField(payload, kSep);
    if (own != conn->name) return Drop(*conn, 29, "own ID mismatch");
    if (user.empty() || user.size() > 19 || !IsSafeText(user, 19)) return Drop(*conn, 29, "malformed user");
    auto target = store_.FindByName(user);
    if (!target) {
        conn->Send(30, Join({conn->name, user, "1", texts::kNoSuchAccount}));
        return;
    }
    if (!store_.RemoveFriendship(conn->account, target->id)) {
        conn->Send(30, Join({conn->name, user, "1", texts::kNotAFriend}));
        return;
    }
    conn->Send(30, Join({conn->name, user, "0"}));
}

// Invitations (31), one-to-one requests (40) and stops (43): "own!|!user",
// passed on as they are to a user who is online and has not blacklisted the
// sender. They are moments, not messages: nobody offline is waiting for them.
void Server::Impl::OnPlainRoute(const std::shared_ptr<Connection>& conn, int code, std::string_view payload) {
    std::string_view own = text::TakeField(payload, kSep);
    std::string_view user = text::TakeField(payload, kSep);
    if (own != conn->name) return Drop(*conn, code, "own ID mismatch");
    if (!IsUserIdField(user)) return Drop(*conn, code, "malformed user");
    auto target = store_.FindByName(user);
    if (!target || target->id == conn->account) return Drop(*conn, code, "unknown or own account");
    if (store_.IsBlocked(target->id, conn->account)) return Drop(*conn, code, "blacklisted by the user");
    auto other = OnlineConnection(target->id);
    if (!other) return Drop(*conn, code, "user offline");
    if (code == 40) oneToOneAsks_.insert({conn->account, target->id});
    if (code == 43) {
        oneToOneAsks_.erase({conn->account, target->id});
        oneToOneAsks_.erase({target->id, conn->account});
    }
    other->Send(code, Join({conn->name, target->name}));
}

void Server::Impl::On1V1Reply(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    // The one request whose own ID stands second.
    std::string_view asker = text::TakeField(payload, kSep);
    std::string_view own = text::TakeField(payload, kSep);
    std::string_view answer = text::TakeField(payload, kSep);
    if (own != conn->name) return Drop(*conn, 41, "own ID mismatch");
    if (answer != "0" && answer != "1") return Drop(*conn, 41, "answer is neither 0 nor 1");
    auto other = IsUserIdField(asker) ? store_.FindByName(asker) : std::nullopt;
    if (!other || !oneToOneAsks_.count({other->id, conn->account}))
        return Drop(*conn, 41, "no open one-to-one request from that user");
    oneToOneAsks_.erase({other->id, conn->account});
    if (auto asking = OnlineConnection(other->id)) asking->Send(42, Join({conn->name, other->name, answer}));
}

// --- Presence and profile ------------------------------------------------

void Server::Impl::OnStatus(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    std::string_view own = text::TakeField(payload, kSep);
    std::string_view status = text::TakeField(payload, kSep);
    std::string_view note = text::TakeField(payload, kSep);
    if (own != conn->name) return Drop(*conn, 32, "own ID mismatch");
    if (status.empty() || !IsSafeText(note, 255)) return Drop(*conn, 32, "malformed status");
    int value = text::AtoI(status);
    store_.SetStatus(conn->account, value, note);
    ToOnlineFriends(conn->account, 32, Join({conn->name, std::to_string(value), note}));
}

void Server::Impl::OnPosition(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    std::string_view own = text::TakeField(payload, kSep);
    if (own != conn->name) return Drop(*conn, 33, "own ID mismatch");
    Position pos;
    if (!ParsePositionText(payload, pos)) return Drop(*conn, 33, "malformed position");
    store_.SetPosition(conn->account, pos);
    ToOnlineFriends(conn->account, 33, Join({conn->name, PositionElement(pos)}));
}

void Server::Impl::OnChangeInfo(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    std::string_view own = text::TakeField(payload, kSep);
    if (own != conn->name) return Drop(*conn, 34, "own ID mismatch");
    std::string_view element = text::TakeBetween(payload, "<user>", "</user>");
    ProfileChange change;
    if (element.empty() || !ParseProfileChange(element, change)) {
        conn->Send(35, Join({"1", texts::kBadProfileData}));
        return;
    }
    if (change.newpass.empty()) {
        FinishChangeInfo(conn, change, std::string());
        return;
    }
    // A new password needs the current one; both hashes run off the network thread.
    std::string hash = store_.PasswordHash(conn->account);
    conn->Pause();
    asio::post(hashPool_, [self = shared_from_this(), conn, hash = std::move(hash), change = std::move(change)]() mutable {
        bool ok = VerifyPassword(hash, change.oldpass);
        std::optional<std::string> newHash = ok ? HashPassword(change.newpass) : std::nullopt;
        auto& io = self->io_;
        asio::post(io, [self = std::move(self), conn = std::move(conn), ok, newHash = std::move(newHash),
                        change = std::move(change)]() {
            if (conn->Closed() || self->stopping_ || conn->account == 0) return;
            try {
                if (!ok)
                    conn->Send(35, Join({"2", texts::kOldPasswordWrong}));
                else if (!newHash)
                    conn->Send(35, Join({"3", texts::kBusy}));
                else
                    self->FinishChangeInfo(conn, change, *newHash);
            } catch (const StoreError& e) {
                Log(LogLevel::Error, std::string("change info: ") + e.what());
            }
            conn->Resume();
        });
    });
}

void Server::Impl::FinishChangeInfo(const std::shared_ptr<Connection>& conn, const ProfileChange& change,
                                    const std::string& newHash) {
    store_.Transaction([&] {
        store_.UpdateProfile(conn->account, change.nickname, change.littleword, change.birthday, change.afset);
        if (!newHash.empty()) store_.SetPasswordHash(conn->account, newHash);
    });
    // The new password is not echoed: the client knows it, and the wire need not carry it twice.
    std::string element = "<user><nickname>" + change.nickname + "</nickname><newpass></newpass><littleword>" +
                          change.littleword + "</littleword><brithday>" + change.birthday + "</brithday><afset>" +
                          std::to_string(change.afset) + "</afset></user>";
    conn->Send(35, Join({"0", element}));
}

void Server::Impl::OnGetUserInfo(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    std::string_view user = payload;
    if (!IsUserIdField(user) || !IsSafeText(user, kMaxUserId)) return Drop(*conn, 36, "malformed user");
    auto target = store_.FindByName(user);
    if (!target) {
        conn->Send(37, Join({"1", user, texts::kNoSuchAccount}));
        return;
    }
    conn->Send(37, "0" + UserElement(*target, ShownStatus(*target)));
}

// The answer to request 44 lists the user's friends who are online now, each
// as "ID:status", in friend-ID order; entries that would not fit one packet
// are left out. Nobody online gives an empty list.
void Server::Impl::OnSendAskList(const std::shared_ptr<Connection>& conn, std::string_view payload) {
    if (payload != conn->name) return Drop(*conn, 44, "own ID mismatch");
    std::string list;
    for (std::int64_t friendId : store_.FriendIds(conn->account)) {
        auto other = OnlineConnection(friendId);
        if (!other) continue;
        auto profile = store_.FindById(friendId);
        if (!profile) continue;
        std::string entry = profile->name + ":" + std::to_string(profile->status);
        if (list.size() + kSep.size() + entry.size() > static_cast<std::size_t>(protocol::kMaxFrameLength - 4)) break;
        if (!list.empty()) list.append(kSep);
        list.append(entry);
    }
    conn->Send(45, list);
}

// --- Facade --------------------------------------------------------------

Server::Server(asio::io_context& io, Store& store, ServerOptions options)
    : impl_(std::make_shared<Impl>(io, store, std::move(options))) {}

Server::~Server() = default;
std::uint16_t Server::Port() const { return impl_->Port(); }
void Server::Start() { impl_->Start(); }
void Server::Stop() { impl_->Stop(); }
ServerStats Server::Stats() const { return impl_->Stats(); }

}  // namespace vexa::server
