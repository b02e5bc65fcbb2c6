#include "server/admin/http_edge.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <cctype>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "server/base/log.h"

namespace vexa::server::admin {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

constexpr std::size_t kMaxHead = 8 * 1024;
constexpr std::ptrdiff_t kMaxFields = 64;
constexpr std::size_t kMaxBody = 64 * 1024;
constexpr auto kRequestTime = std::chrono::seconds(10);
constexpr auto kWriteTime = std::chrono::seconds(10);
// After a refusal the client may still be sending; what it sends is read and
// dropped for a moment, so that its kernel sees the answer before a reset.
constexpr auto kDrainTime = std::chrono::seconds(1);
constexpr std::size_t kMaxDrain = 1024 * 1024;
constexpr std::size_t kMaxConnections = 256;
constexpr std::size_t kMaxPerAddress = 32;
// A handful of threads: the console has a few users, and a sign-in may wait for its turn.
constexpr std::size_t kHandlerThreads = 8;

// Header names and media types compare without regard to ASCII case.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string DecodeComponent(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out.push_back(' ');
        } else if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

HttpResponse PlainAnswer(int status, const char* text) {
    HttpResponse r;
    r.status = status;
    r.SetContent(text, "text/plain; charset=utf-8");
    return r;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> DecodeForm(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> fields;
    while (!text.empty()) {
        std::size_t end = text.find('&');
        std::string_view pair = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (pair.empty()) continue;
        std::size_t eq = pair.find('=');
        fields.emplace_back(DecodeComponent(pair.substr(0, eq)),
                            eq == std::string_view::npos ? std::string() : DecodeComponent(pair.substr(eq + 1)));
    }
    return fields;
}

std::string HttpRequest::Header(std::string_view name) const {
    for (const auto& h : headers)
        if (SameName(h.first, name)) return h.second;
    return {};
}

bool HttpRequest::HasHeader(std::string_view name) const {
    for (const auto& h : headers)
        if (SameName(h.first, name)) return true;
    return false;
}

bool HttpRequest::HasParam(std::string_view name) const {
    for (const auto& p : params)
        if (p.first == name) return true;
    return false;
}

std::string HttpRequest::ParamValue(std::string_view name) const {
    for (const auto& p : params)
        if (p.first == name) return p.second;
    return {};
}

void HttpResponse::SetContent(std::string content, const char* contentType) {
    body = std::move(content);
    SetHeader("Content-Type", contentType);
}

void HttpResponse::SetHeader(std::string name, std::string value) { headers.emplace_back(std::move(name), std::move(value)); }

class HttpEdge::Impl {
public:
    Impl(const std::string& address, std::uint16_t port, HttpHeaders defaultHeaders, Handler handler);
    ~Impl();
    std::uint16_t Port() const { return port_; }

    // The connection counts, from any thread.
    bool Enter(const std::string& address);
    void Leave(const std::string& address);
    // Runs the console's handler; whatever it throws becomes a 500 without its text.
    void Run(const HttpRequest& request, HttpResponse& response);
    const HttpHeaders& DefaultHeaders() const { return defaults_; }
    net::thread_pool& Workers() { return workers_; }

private:
    void Accept();

    // Declared before io_: sessions that io_ still holds at its end leave through them.
    std::mutex countsMutex_;
    std::size_t open_ = 0;
    std::map<std::string, std::size_t> perAddress_;
    HttpHeaders defaults_;
    Handler handler_;
    net::thread_pool workers_{kHandlerThreads};
    net::io_context io_{1};
    tcp::acceptor acceptor_{io_};
    net::steady_timer acceptRetry_{io_};
    std::uint16_t port_ = 0;
    std::thread thread_;
};

namespace {

// One connection: requests read one after another (keep-alive), each
// handled on the pool, its answer written on the network thread.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(HttpEdge::Impl& edge, tcp::socket socket, std::string address)
        : edge_(edge), stream_(std::move(socket)), address_(std::move(address)) {}
    ~Session() { edge_.Leave(address_); }

    void ReadHead() {
        parser_.emplace();
        parser_->header_limit(kMaxHead);
        parser_->body_limit(kMaxBody);
        stream_.expires_after(kRequestTime);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnHead(ec); });
    }

private:
    void OnHead(beast::error_code ec) {
        if (ec) return Refused(ec);
        const auto& head = parser_->get();
        if (std::distance(head.begin(), head.end()) > kMaxFields)
            return Refuse(431, "too many header fields", "request header fields too large\n");
        // One way to tell where a request ends, or none: whatever two parsers
        // could read differently is refused.
        if (head.count(http::field::content_length) > 1 || head.count(http::field::transfer_encoding) != 0)
            return Refuse(400, "ambiguous framing", "bad request\n");
        if (head.count(http::field::host) > 1) return Refuse(400, "two Host fields", "bad request\n");
        if (parser_->is_done()) return Dispatch();
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return self->Refused(ec);
            self->Dispatch();
        });
    }

    void Refused(beast::error_code ec) {
        if (ec == http::error::header_limit) return Refuse(431, "header too large", "request header fields too large\n");
        if (ec == http::error::body_limit) return Refuse(413, "body too large", "payload too large\n");
        if (ec == beast::error::timeout) {
            // The stream has closed the socket; an idle keep-alive connection ends without a word.
            if (parser_->got_some())
                LogLimited(LogLevel::Info, "console slow request",
                           "console: a request from " + address_ + " did not arrive whole in time; closed");
            return;
        }
        if (ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return Refuse(400, ec.message().c_str(), "bad request\n");
        // The client closed or reset the connection: nothing to answer.
    }

    void Refuse(int status, const char* why, const char* text) {
        LogLimited(LogLevel::Warn, "console bad request",
                   "console: request from " + address_ + " refused (" + std::to_string(status) + "): " + why);
        Write(PlainAnswer(status, text), false);
    }

    void Dispatch() {
        auto& message = parser_->get();
        auto request = std::make_shared<HttpRequest>();
        request->method = std::string(message.method_string());
        std::string_view target(message.target().data(), message.target().size());
        std::size_t question = target.find('?');
        request->path = std::string(target.substr(0, question));
        request->remoteAddress = address_;
        for (const auto& field : message)
            request->headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        if (question != std::string_view::npos) request->params = DecodeForm(target.substr(question + 1));
        std::string_view type(message[http::field::content_type].data(), message[http::field::content_type].size());
        if (request->method == "POST" && SameName(type.substr(0, type.find(';')), "application/x-www-form-urlencoded")) {
            auto form = DecodeForm(message.body());
            request->params.insert(request->params.end(), std::make_move_iterator(form.begin()),
                                   std::make_move_iterator(form.end()));
        }
        keepAlive_ = message.keep_alive();
        version_ = message.version();
        // No deadline while the handler works; the next read sets its own.
        stream_.expires_never();
        net::post(edge_.Workers(), [self = shared_from_this(), request] {
            HttpResponse response;
            self->edge_.Run(*request, response);
            net::post(self->stream_.get_executor(),
                      [self, response = std::move(response)]() mutable { self->Write(std::move(response), self->keepAlive_); });
        });
    }

    void Write(HttpResponse answer, bool keepAlive) {
        response_ = {};
        response_.version(version_);
        response_.result(static_cast<unsigned>(answer.status));
        for (const auto& h : edge_.DefaultHeaders()) response_.insert(h.first, h.second);
        for (const auto& h : answer.headers) response_.insert(h.first, h.second);
        response_.body() = std::move(answer.body);
        response_.keep_alive(keepAlive);
        response_.prepare_payload();
        stream_.expires_after(kWriteTime);
        http::async_write(stream_, response_, [self = shared_from_this(), keepAlive](beast::error_code ec, std::size_t) {
            if (ec) return;
            if (keepAlive) return self->ReadHead();
            self->CloseGently();
        });
    }

    // Sends our end of the stream, then reads and drops what the client still
    // sends for a moment, so that the answer is not lost to a reset.
    void CloseGently() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(kDrainTime);
        Drain();
    }

    void Drain() {
        stream_.async_read_some(net::buffer(scratch_), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
            self->drained_ += n;
            if (ec || self->drained_ > kMaxDrain) {
                beast::error_code ignored;
                self->stream_.socket().close(ignored);
                return;
            }
            self->Drain();
        });
    }

    HttpEdge::Impl& edge_;
    beast::tcp_stream stream_;
    std::string address_;
    // Never more than a whole request and what may follow it in one read.
    beast::flat_buffer buffer_{kMaxHead + kMaxBody + 16 * 1024};
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    unsigned version_ = 11;
    bool keepAlive_ = false;
    std::array<char, 16 * 1024> scratch_{};
    std::size_t drained_ = 0;
};

}  // namespace

HttpEdge::Impl::Impl(const std::string& address, std::uint16_t port, HttpHeaders defaultHeaders, Handler handler)
    : defaults_(std::move(defaultHeaders)), handler_(std::move(handler)) {
    const std::string where = address + ":" + std::to_string(port);
    try {
        tcp::resolver resolver(io_);
        auto found = resolver.resolve(address, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service);
        tcp::endpoint endpoint = found.begin()->endpoint();
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(tcp::acceptor::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen(net::socket_base::max_listen_connections);
        port_ = acceptor_.local_endpoint().port();
    } catch (const std::exception& e) {
        throw std::runtime_error("console: cannot listen on " + where + ": " + e.what());
    }
    Accept();
    thread_ = std::thread([this] { io_.run(); });
}

HttpEdge::Impl::~Impl() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
    // Handlers in flight finish; what they post back is dropped with io_.
    workers_.join();
}

void HttpEdge::Impl::Accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors and the like: try again shortly rather than spin.
            LogLimited(LogLevel::Warn, "console accept", "console: accept: " + ec.message());
            acceptRetry_.expires_after(std::chrono::milliseconds(100));
            acceptRetry_.async_wait([this](beast::error_code waitError) {
                if (!waitError) Accept();
            });
            return;
        }
        beast::error_code peerError;
        net::ip::address peer = socket.remote_endpoint(peerError).address();
        if (peer.is_v6() && peer.to_v6().is_v4_mapped()) peer = net::ip::make_address_v4(net::ip::v4_mapped, peer.to_v6());
        std::string address = peerError ? std::string("?") : peer.to_string();
        if (Enter(address)) {
            std::make_shared<Session>(*this, std::move(socket), std::move(address))->ReadHead();
        } else {
            LogLimited(LogLevel::Warn, "console connection refused",
                       "console: connection from " + address + " refused: too many connections");
        }
        Accept();
    });
}

bool HttpEdge::Impl::Enter(const std::string& address) {
    std::lock_guard<std::mutex> lock(countsMutex_);
    std::size_t& mine = perAddress_[address];
    if (open_ >= kMaxConnections || mine >= kMaxPerAddress) {
        if (mine == 0) perAddress_.erase(address);
        return false;
    }
    ++open_;
    ++mine;
    return true;
}

void HttpEdge::Impl::Leave(const std::string& address) {
    std::lock_guard<std::mutex> lock(countsMutex_);
    --open_;
    auto found = perAddress_.find(address);
    if (found != perAddress_.end() && --found->second == 0) perAddress_.erase(found);
}

void HttpEdge::Impl::Run(const HttpRequest& request, HttpResponse& response) {
    try {
        handler_(request, response);
        return;
    } catch (const std::exception& e) {
        LogLimited(LogLevel::Error, "console internal error", "console: " + Printable(request.path) + ": " + e.what());
    } catch (...) {
        LogLimited(LogLevel::Error, "console internal error", "console: " + Printable(request.path) + ": failed");
    }
    response = PlainAnswer(500, "internal error\n");
}

HttpEdge::HttpEdge(const std::string& address, std::uint16_t port, HttpHeaders defaultHeaders, Handler handler)
    : impl_(std::make_unique<Impl>(address, port, std::move(defaultHeaders), std::move(handler))) {}
HttpEdge::~HttpEdge() = default;
std::uint16_t HttpEdge::Port() const { return impl_->Port(); }

}  // namespace vexa::server::admin
