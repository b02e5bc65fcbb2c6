#include "server/admin/console.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "protocol/field_widths.h"
#include "server/auth/accounts.h"
#include "server/admin/assets.h"
#include "server/admin/http_edge.h"
#include "server/admin/pages.h"
#include "server/admin/sessions.h"
#include "server/admin/web_text.h"
#include "server/base/log.h"
#include "server/auth/password.h"

namespace vexa::server::admin {

namespace {

using Request = HttpRequest;
using Response = HttpResponse;
using SystemClock = std::chrono::system_clock;

constexpr char kSessionCookie[] = "vexa_session";
constexpr char kSignInCookie[] = "vexa_signin";
// The console's own script sends it on the overview's background polls,
// which must not keep an unattended session alive.
constexpr char kPollHeader[] = "X-Vexa-Poll";
constexpr std::size_t kMaxPassword = 1024;
constexpr auto kSampleEvery = std::chrono::seconds(2);
constexpr std::size_t kHistoryPoints = 300;  // ten minutes of samples
// A slowed sign-in waits for its turn this long at most; later turns are refused at once.
constexpr auto kMaxSignInWait = std::chrono::seconds(3);
constexpr std::size_t kMaxListed = 1000;

std::int64_t NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SystemClock::now().time_since_epoch()).count();
}

std::string Param(const Request& req, const char* name, std::size_t max = 256) {
    if (!req.HasParam(name)) return {};
    std::string v = req.ParamValue(name);
    if (v.size() > max) v.resize(max);
    return v;
}

void Html(Response& res, int status, const std::string& body) {
    res.status = status;
    res.SetContent(body, "text/html; charset=utf-8");
}

void Json(Response& res, int status, const std::string& body) {
    res.status = status;
    res.SetContent(body, "application/json; charset=utf-8");
}

void Redirect(Response& res, const std::string& to) {
    res.status = 303;
    res.SetHeader("Location", to);
}

// What an action did, for a page's message and for the JSON answer.
struct Outcome {
    bool ok = false;
    std::string message;  // UTF-8
    int status = 200;
};
Outcome Fail(int status, std::string message) { return Outcome{false, std::move(message), status}; }
Outcome Done(std::string message) { return Outcome{true, std::move(message), 200}; }

enum class Kind { Page, Api };

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool IsAddressLiteral(const std::string& name) {
    unsigned char bytes[16];
    if (inet_pton(AF_INET, name.c_str(), bytes) == 1) return true;
    return name.size() > 2 && name.front() == '[' && name.back() == ']' &&
           inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), bytes) == 1;
}

// The host of a Host header (or of an origin without its scheme), lower case
// and without its port; empty when it is no host.
std::string HostName(std::string_view authority) {
    if (authority.empty()) return {};
    std::size_t end = std::min(authority.find(':'), authority.size());
    if (authority.front() == '[') {
        end = authority.find(']');
        if (end == std::string_view::npos) return {};
        ++end;
    }
    std::string_view host = authority.substr(0, end), port = authority.substr(end);
    if (host.empty() || (!port.empty() && (port.size() < 2 || port.front() != ':' ||
                                           port.find_first_not_of("0123456789", 1) != std::string_view::npos)))
        return {};
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && std::string_view(".-[]:").find(c) == std::string_view::npos)
            return {};
    return Lower(std::string(host));
}

bool IsLoopback(const std::string& address) {
    unsigned char bytes[16];
    if (address == "localhost") return true;
    if (inet_pton(AF_INET, address.c_str(), bytes) == 1) return bytes[0] == 127;
    return address == "::1";
}

// The administrator is the one account of the console. Its failures are
// counted per address with the limits of an account, so a guesser locks out
// the addresses he guesses from and never the administrator elsewhere.
ThrottleOptions PerAddress(ThrottleOptions o) {
    o.addressFree = o.accountFree;
    o.addressLock = o.accountLock;
    return o;
}

}  // namespace

class AdminConsole::Impl {
public:
    Impl(const AdminOptions& options, ConsoleBackend& backend);
    ~Impl();
    std::uint16_t Port() const { return port_; }

private:
    using Route = std::function<void(const Request&, Response&)>;
    struct Call {
        const Request& req;
        Response& res;
        std::string token;
        AdminSessions::Session session;
        std::string Admin() const { return "administrator at " + req.remoteAddress; }
    };
    using Handler = std::function<void(Call&)>;

    void Routes();
    void OpenRoutes();
    void SessionRoutes();
    void OverviewRoutes();
    void AccountRoutes();
    void MailboxAndLogRoutes();
    void Get(const std::string& path, Route route) { routes_["GET " + path] = std::move(route); }
    void Post(const std::string& path, Route route) { routes_["POST " + path] = std::move(route); }
    void Dispatch(const Request& req, Response& res);
    void Signed(const char* path, bool post, Kind kind, Handler handler);
    void Guarded(const Request& req, Response& res, const std::function<void()>& body, Kind kind);
    bool HostServed(const std::string& host) const;
    std::string ClientAddress(const Request& req) const;
    bool SameOrigin(const Request& req) const;

    void SignInPageGet(const Request& req, Response& res, const std::string& message, int status);
    void SignIn(const Request& req, Response& res);
    void Metrics(const Request& req, Response& res);

    // Every action once, for its form and its JSON endpoint.
    Outcome Disconnect(const Call& c);
    Outcome CreateAccount(const Call& c);
    Outcome ResetPassword(const Call& c);
    Outcome SetDisabled(const Call& c, bool disabled);
    Outcome DeleteAccount(const Call& c);
    Outcome BackUp(const Call& c);
    void Act(const char* path, std::function<Outcome(Call&)> action, std::function<std::string(Call&)> backTo);

    OverviewView Overview(History* history);
    std::vector<OnlineView> Online(std::vector<std::string>& silent);
    std::optional<AccountView> Account(std::int64_t id);
    std::optional<Profile> AccountOf(const Call& c);
    Frame FrameFor(const Call& c, const std::string& title, const std::string& active);

    void SampleLoop();
    void Sample();

    AdminOptions options_;
    ConsoleBackend& backend_;
    Store& store_;
    AdminSessions sessions_;
    LoginThrottle throttle_;         // sign-ins, per address
    LoginThrottle metricsThrottle_;  // wrong /metrics tokens, per address
    std::string publicOrigin_, publicHost_;  // of --admin-url, when given
    std::map<std::string, Route> routes_;     // by "METHOD /path", exactly
    std::uint16_t port_ = 0;

    // The chart's history, per node.
    struct Track {
        NodeStats last;
        double at = 0;  // seconds, of the last sample that moved
        bool have = false;
        double messagesPerSecond = 0, loginsPerMinute = 0;
        std::int64_t seenMillis = 0;
        std::deque<std::pair<std::int64_t, double>> points;
    };
    std::mutex historyMutex_;
    std::map<std::string, Track> tracks_;
    std::mutex sampleMutex_;
    std::condition_variable sampleWake_;
    bool stopping_ = false;
    std::thread sampler_;
    std::unique_ptr<HttpEdge> edge_;  // last: its handlers use everything above
};

AdminConsole::Impl::Impl(const AdminOptions& options, ConsoleBackend& backend)
    : options_(options),
      backend_(backend),
      store_(backend.GetStore()),
      throttle_(PerAddress(backend.Throttle())),
      metricsThrottle_(PerAddress(backend.Throttle())) {
    if (!options_.publicUrl.empty()) {
        publicOrigin_ = PublicOrigin(options_.publicUrl).value_or("");
        if (publicOrigin_.empty()) throw std::runtime_error("console: --admin-url needs http(s)://HOST[:PORT]/");
        publicHost_ = HostName(std::string_view(publicOrigin_).substr(publicOrigin_.find("://") + 3));
    }
    Routes();
    Sample();
    edge_ = std::make_unique<HttpEdge>(
        options_.address, options_.port,
        HttpHeaders{
            {"Content-Security-Policy",
             "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
             "form-action 'self'; frame-ancestors 'none'; base-uri 'none'"},
            {"X-Content-Type-Options", "nosniff"},
            {"X-Frame-Options", "DENY"},
            {"Referrer-Policy", "same-origin"},  // no-referrer would make form posts say Origin: null
            {"Cache-Control", "no-store"},
        },
        [this](const Request& req, Response& res) { Dispatch(req, res); });
    port_ = edge_->Port();
    sampler_ = std::thread([this] { SampleLoop(); });
    Log(LogLevel::Info, "console on http://" + options_.address + ":" + std::to_string(port_) + "/");
    if (!IsLoopback(options_.address))
        Log(LogLevel::Warn, "console: " + options_.address +
                                " is not a loopback address, and the console speaks plain HTTP: its password and "
                                "session cookies would cross the network readable. Serve it through a TLS reverse "
                                "proxy (and --admin-url) or an SSH tunnel.");
}

AdminConsole::Impl::~Impl() {
    edge_.reset();
    {
        std::lock_guard<std::mutex> lock(sampleMutex_);
        stopping_ = true;
    }
    sampleWake_.notify_all();
    if (sampler_.joinable()) sampler_.join();
}

// --- Sign-in and guards ------------------------------------------------------

// Loopback names, any address literal (no rebinding of a name can reach a
// page through one: the browser's origin is then the address itself), the
// bound name and the declared public URL's host. Any other name is a page
// that a DNS answer pointed here.
bool AdminConsole::Impl::HostServed(const std::string& host) const {
    std::string name = HostName(host);
    if (name.empty()) return false;
    return name == "localhost" || IsAddressLiteral(name) || name == Lower(options_.address) ||
           (!publicHost_.empty() && name == publicHost_);
}

bool AdminConsole::Impl::SameOrigin(const Request& req) const {
    // Browsers name the page a request comes from; it must be one of ours:
    // the console reached directly, or through the proxy at its public URL.
    if (!req.HasHeader("Origin")) return true;
    std::string origin = Lower(req.Header("Origin"));
    return origin == "http://" + Lower(req.Header("Host")) || (!publicOrigin_.empty() && origin == publicOrigin_);
}

// Behind the proxy of --admin-url every request comes from loopback, and the
// client is the last address that the proxy added to X-Forwarded-For; the
// sign-in throttle and the log then see each client. Only a loopback peer is
// believed, and only with a proxy declared (a local user may take any
// address of 127.0.0.0/8 anyway).
std::string AdminConsole::Impl::ClientAddress(const Request& req) const {
    std::string forwarded = req.Header("X-Forwarded-For");
    if (publicOrigin_.empty() || forwarded.empty() || !IsLoopback(req.remoteAddress)) return req.remoteAddress;
    std::size_t comma = forwarded.rfind(',');
    std::string last = forwarded.substr(comma == std::string::npos ? 0 : comma + 1);
    last.erase(0, std::min(last.find_first_not_of(' '), last.size()));
    last.erase(std::min(last.find_last_not_of(' ') + 1, last.size()));
    return IsAddressLiteral(last) || IsAddressLiteral("[" + last + "]") ? last : req.remoteAddress;
}

void AdminConsole::Impl::Dispatch(const Request& received, Response& res) {
    Request req = received;
    req.remoteAddress = ClientAddress(received);
    // Probes and scrapers name hosts of their own, and reach nothing that a
    // browser's cookie would open; everything else must be asked of us by name.
    bool probe = req.path == "/healthz" || req.path == "/metrics";
    if (!probe && !HostServed(req.Header("Host"))) {
        LogLimited(LogLevel::Warn, "console host",
                   "console: request from " + req.remoteAddress + " for host \"" + Printable(req.Header("Host")) +
                       "\" refused: not a name of this console (--admin-url names a proxy's)");
        res.status = 421;
        res.SetContent("misdirected request\n", "text/plain; charset=utf-8");
        return;
    }
    auto route = routes_.find(req.method + " " + req.path);
    if (route == routes_.end()) {
        res.status = 404;
        res.SetContent("not found\n", "text/plain; charset=utf-8");
        return;
    }
    route->second(req, res);
}

void AdminConsole::Impl::Guarded(const Request& req, Response& res, const std::function<void()>& body, Kind kind) {
    try {
        body();
    } catch (const StoreUnavailable& e) {
        Log(LogLevel::Warn, std::string("console: ") + e.what());
        kind == Kind::Api ? Json(res, 503, ResultJson(false, "the database is unreachable"))
                          : Html(res, 503, "<!doctype html><p>The database is unreachable; try again shortly.</p>");
    } catch (const std::exception& e) {
        Log(LogLevel::Error, std::string("console: ") + req.path + ": " + e.what());
        kind == Kind::Api ? Json(res, 500, ResultJson(false, "internal error"))
                          : Html(res, 500, "<!doctype html><p>Something went wrong; the log says what.</p>");
    }
}

void AdminConsole::Impl::Signed(const char* path, bool post, Kind kind, Handler handler) {
    auto guarded = [this, post, kind, handler](const Request& req, Response& res) {
        Guarded(req, res, [&] {
            std::string token = CookieValue(req.Header("Cookie"), kSessionCookie);
            auto session = token.empty() ? std::nullopt
                                         : sessions_.Use(token, AdminSessions::Clock::now(), kind == Kind::Page && !post,
                                                         !req.HasHeader(kPollHeader));
            if (!session) {
                if (kind == Kind::Api) return Json(res, 401, ResultJson(false, "sign in first"));
                return Redirect(res, "/login");
            }
            if (post) {
                std::string csrf = req.HasParam("csrf") ? Param(req, "csrf") : req.Header("X-CSRF-Token");
                if (!SameOrigin(req) || !SameSecret(csrf, session->csrf)) {
                    LogLimited(LogLevel::Warn, "console forged post",
                               "console: " + req.path + " from " + req.remoteAddress +
                                   " refused: no valid token against cross-site requests");
                    return kind == Kind::Api ? Json(res, 403, ResultJson(false, "missing or wrong CSRF token"))
                                             : Html(res, 403, "<!doctype html><p>This form is not valid (missing or "
                                                              "wrong token). Reload the page and try again.</p>");
                }
            }
            Call call{req, res, token, std::move(*session)};
            handler(call);
        }, kind);
    };
    if (post)
        Post(path, guarded);
    else
        Get(path, guarded);
}

void AdminConsole::Impl::SignInPageGet(const Request& req, Response& res, const std::string& message, int status) {
    // The form's token is also in a cookie, which another site can neither read nor set.
    std::string token = RandomToken();
    res.SetHeader("Set-Cookie", std::string(kSignInCookie) + "=" + token +
                                    "; Path=/login; HttpOnly; SameSite=Strict; Max-Age=900");
    Html(res, status, SignInPage(token, message));
}

void AdminConsole::Impl::SignIn(const Request& req, Response& res) {
    const std::string address = req.remoteAddress;
    if (!SameOrigin(req) ||
        !SameSecret(Param(req, "csrf"), CookieValue(req.Header("Cookie"), kSignInCookie)))
        return SignInPageGet(req, res, "The sign-in form had expired. Please try again.", 403);
    std::string password = req.HasParam("password") ? req.ParamValue("password") : std::string();
    if (password.empty() || password.size() > kMaxPassword)
        return SignInPageGet(req, res, "Wrong password.", 401);
    std::string hash = store_.Setting(kAdminPasswordSetting);
    if (hash.empty())
        return SignInPageGet(req, res,
                             "No administrator password is set. Set one with: vexaim-server --admin-only "
                             "--set-admin-password FILE (or - for standard input).",
                             401);
    // A turn is taken only by an attempt whose password is checked, so one
    // who comes back after Retry-After finds it free.
    auto now = LoginThrottle::Clock::now();
    LoginThrottle::Verdict verdict = throttle_.Admit(0, address, now, kMaxSignInWait);
    if (verdict.refused) {
        LogLimited(LogLevel::Warn, "console sign-in refused",
                   "console: sign-in from " + address + " refused: too many failed attempts");
        res.SetHeader("Retry-After", std::to_string(verdict.retryAfter.count()));
        return SignInPageGet(req, res,
                             "Too many failed attempts. Try again in " + std::to_string(verdict.retryAfter.count()) +
                                 " s.",
                             429);
    }
    if (verdict.notBefore > now) std::this_thread::sleep_until(verdict.notBefore);
    if (!VerifyPassword(hash, password)) {
        throttle_.Failed(0, address, LoginThrottle::Clock::now());
        LogLimited(LogLevel::Warn, "console wrong password", "console: wrong administrator password from " + address);
        return SignInPageGet(req, res, "Wrong password.", 401);
    }
    throttle_.SucceededFrom(address);
    std::string token = sessions_.Create(address, AdminSessions::Clock::now());
    Log(LogLevel::Info, "console: administrator signed in from " + address);
    res.SetHeader("Set-Cookie", std::string(kSessionCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
    Redirect(res, "/");
}

void AdminConsole::Impl::Metrics(const Request& req, Response& res) {
    std::string auth = req.Header("Authorization");
    bool allowed = false;
    if (auth.rfind("Bearer ", 0) == 0) {
        // A token is a password: guesses are slowed and refused as sign-ins are, per address.
        auto now = LoginThrottle::Clock::now();
        LoginThrottle::Verdict verdict =
            metricsThrottle_.Admit(0, req.remoteAddress, now, LoginThrottle::Clock::duration::zero());
        if (verdict.refused) {
            LogLimited(LogLevel::Warn, "console metrics token",
                       "console: /metrics from " + req.remoteAddress + " refused: too many wrong tokens");
            res.status = 429;
            res.SetHeader("Retry-After", std::to_string(verdict.retryAfter.count()));
            res.SetContent("too many wrong tokens\n", "text/plain; charset=utf-8");
            return;
        }
        allowed = !options_.metricsToken.empty() && SameSecret(auth.substr(7), options_.metricsToken);
        if (allowed) {
            metricsThrottle_.SucceededFrom(req.remoteAddress);
        } else {
            metricsThrottle_.Failed(0, req.remoteAddress, now);
            LogLimited(LogLevel::Warn, "console metrics token", "console: wrong metrics token from " + req.remoteAddress);
        }
    }
    if (!allowed) {
        std::string token = CookieValue(req.Header("Cookie"), kSessionCookie);
        allowed = !token.empty() && sessions_.Use(token, AdminSessions::Clock::now()).has_value();
    }
    if (!allowed) {
        res.status = 401;
        res.SetHeader("WWW-Authenticate", "Bearer realm=\"vexaim metrics\"");
        res.SetContent("a scrape token or a console sign-in is needed\n", "text/plain; charset=utf-8");
        return;
    }
    res.SetContent(backend_.Metrics(), "text/plain; version=0.0.4; charset=utf-8");
}

// --- Data for the pages ---------------------------------------------------------

Frame AdminConsole::Impl::FrameFor(const Call& c, const std::string& title, const std::string& active) {
    return Frame{title, active, c.session.csrf, c.session.flash, c.session.flashIsError, backend_.NodeName()};
}

OverviewView AdminConsole::Impl::Overview(History* history) {
    OverviewView view;
    view.mailbox = store_.AllMailboxes();
    view.backupDir = options_.backupDir;
    std::int64_t now = NowMillis();
    std::lock_guard<std::mutex> lock(historyMutex_);
    // This node first, then the others by name.
    std::string self = backend_.NodeName();
    std::vector<const Track*> ordered;
    if (tracks_.count(self)) ordered.push_back(&tracks_[self]);
    for (auto& [node, track] : tracks_)
        if (node != self) ordered.push_back(&track);
    for (const Track* t : ordered) {
        view.nodes.push_back(NodeView{t->last, t->messagesPerSecond, t->loginsPerMinute, (now - t->seenMillis) / 1000});
        if (history)
            history->emplace_back(t->last.node, std::vector<std::pair<std::int64_t, double>>(t->points.begin(), t->points.end()));
    }
    return view;
}

std::vector<OnlineView> AdminConsole::Impl::Online(std::vector<std::string>& silent) {
    std::vector<OnlineView> out;
    for (const ConsoleBackend::OnlineEntry& e : backend_.Online(silent)) {
        if (out.size() >= kMaxListed) break;
        OnlineView v;
        v.account = e.account;
        v.node = e.node;
        v.sinceUnix = std::chrono::duration_cast<std::chrono::seconds>(e.since.time_since_epoch()).count();
        v.from = e.from;
        if (auto p = store_.FindById(e.account)) {
            v.name = p->name;
            v.nickname = p->nickname;
        }
        out.push_back(std::move(v));
    }
    std::sort(out.begin(), out.end(), [](const OnlineView& a, const OnlineView& b) {
        return std::tie(a.node, a.account) < std::tie(b.node, b.account);
    });
    return out;
}

std::optional<AccountView> AdminConsole::Impl::Account(std::int64_t id) {
    auto profile = store_.FindById(id);
    if (!profile) return std::nullopt;
    AccountView v;
    v.profile = *profile;
    v.friends = store_.Friends(id);
    for (std::int64_t blocked : store_.BlockedIds(id))
        if (auto p = store_.FindById(blocked)) v.blocked.push_back(*p);
    v.mailbox = store_.Mailbox(id);
    v.mailbox.name = profile->name;
    return v;
}

std::optional<Profile> AdminConsole::Impl::AccountOf(const Call& c) {
    auto id = ParseId(Param(c.req, "id", 32));
    return id ? store_.FindById(*id) : std::nullopt;
}

// --- Actions -------------------------------------------------------------------

Outcome AdminConsole::Impl::Disconnect(const Call& c) {
    auto id = ParseId(Param(c.req, "account", 32));
    auto profile = id ? store_.FindById(*id) : std::nullopt;
    if (!profile) return Fail(404, "No such account.");
    std::string name = GbkToUtf8(profile->name);
    if (!backend_.Disconnect(*id)) return Fail(404, name + " is not online.");
    Log(LogLevel::Info, "console: " + c.Admin() + " disconnected " + Printable(profile->name));
    // The close is under way; the list shows it once the user is gone.
    for (int i = 0; i < 40; ++i) {
        std::vector<std::string> silent;
        auto online = backend_.Online(silent);
        if (std::none_of(online.begin(), online.end(), [&](const auto& e) { return e.account == *id; }))
            return Done(name + " was disconnected.");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Done(name + " is being disconnected.");
}

Outcome AdminConsole::Impl::CreateAccount(const Call& c) {
    auto name = Utf8ToGbk(Param(c.req, "name", 64));
    auto nickname = Utf8ToGbk(Param(c.req, "nickname", 64));
    std::string password = Param(c.req, "password", 64);
    if (!name || !nickname) return Fail(400, "The user ID and nickname must be text that GBK can carry.");
    if (!nickname->empty() && !IsSafeText(*nickname, protocol::kMaxNicknameBytes))
        return Fail(400, "A nickname is at most 20 bytes (GBK), without markup or separators.");
    switch (vexa::server::CreateAccount(store_, *name, password, nickname->empty() ? *name : *nickname)) {
        case AccountResult::Created: break;
        case AccountResult::Exists: return Fail(409, "The user ID " + GbkToUtf8(*name) + " is taken.");
        case AccountResult::BadName:
            return Fail(400, "A user ID is 1-20 bytes (GBK) without blanks, colons, markup or separators.");
        case AccountResult::BadPassword: return Fail(400, "A password is 1-19 bytes.");
        case AccountResult::HashFailed: return Fail(500, "The password could not be hashed.");
    }
    Log(LogLevel::Info, "console: " + c.Admin() + " created account " + Printable(*name));
    return Done("Account " + GbkToUtf8(*name) + " created.");
}

Outcome AdminConsole::Impl::ResetPassword(const Call& c) {
    auto profile = AccountOf(c);
    if (!profile) return Fail(404, "No such account.");
    switch (SetPassword(store_, profile->id, Param(c.req, "password", 64))) {
        case PasswordResult::Set: break;
        case PasswordResult::BadPassword: return Fail(400, "A password is 1-19 bytes.");
        case PasswordResult::HashFailed: return Fail(500, "The password could not be hashed.");
    }
    Log(LogLevel::Info, "console: " + c.Admin() + " reset the password of " + Printable(profile->name));
    return Done("The password of " + GbkToUtf8(profile->name) + " was reset.");
}

Outcome AdminConsole::Impl::SetDisabled(const Call& c, bool disabled) {
    auto profile = AccountOf(c);
    if (!profile) return Fail(404, "No such account.");
    store_.SetDisabled(profile->id, disabled);
    bool wasOnline = disabled && backend_.Disconnect(profile->id);
    Log(LogLevel::Info, "console: " + c.Admin() + (disabled ? " disabled " : " enabled ") + Printable(profile->name) +
                            (wasOnline ? " and disconnected it" : ""));
    return Done(GbkToUtf8(profile->name) + (disabled ? " is disabled" : " is enabled") +
                (wasOnline ? " and was disconnected." : "."));
}

Outcome AdminConsole::Impl::DeleteAccount(const Call& c) {
    auto profile = AccountOf(c);
    if (!profile) return Fail(404, "No such account.");
    if (Param(c.req, "confirm", 8) != "yes") return Fail(400, "Deleting needs the confirmation box ticked.");
    // Disabled first, so the user cannot log in again while the account goes.
    store_.SetDisabled(profile->id, true);
    backend_.Disconnect(profile->id);
    store_.DeleteAccount(profile->id);
    Log(LogLevel::Info, "console: " + c.Admin() + " deleted account " + Printable(profile->name));
    return Done("Account " + GbkToUtf8(profile->name) + " deleted.");
}

// Into the operator's folder only, under a name of the time: no request names a path.
Outcome AdminConsole::Impl::BackUp(const Call& c) {
    if (options_.backupDir.empty()) return Fail(409, "Backups from here need the server started with --backup-dir DIR.");
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char name[64];
    std::snprintf(name, sizeof name, "vexaim-%04d%02d%02d-%02d%02d%02d-%03d.db", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000));
    const std::string file = options_.backupDir + "/" + name;
    try {
        store_.BackUpTo(file);
    } catch (const StoreError& e) {
        Log(LogLevel::Warn, "console: backup for " + c.Admin() + " failed: " + e.what());
        return Fail(500, std::string("The backup failed: ") + e.what());
    }
    Log(LogLevel::Info, "console: " + c.Admin() + " backed up the database to " + file);
    return Done(std::string("Backup written: ") + name);
}

void AdminConsole::Impl::Act(const char* path, std::function<Outcome(Call&)> action,
                             std::function<std::string(Call&)> backTo) {
    Signed(path, true, Kind::Page, [this, action, backTo](Call& c) {
        Outcome o = action(c);
        sessions_.SetFlash(c.token, o.message, !o.ok);
        Redirect(c.res, backTo(c));
    });
    Signed((std::string("/api") + path).c_str(), true, Kind::Api, [action](Call& c) {
        Outcome o = action(c);
        Json(c.res, o.status, ResultJson(o.ok, o.message));
    });
}

// --- Routes ----------------------------------------------------------------------

void AdminConsole::Impl::Routes() {
    OpenRoutes();
    SessionRoutes();
    OverviewRoutes();
    AccountRoutes();
    MailboxAndLogRoutes();
}

// What answers without a sign-in: probes, the sign-in page and its style sheet.
void AdminConsole::Impl::OpenRoutes() {
    Get("/healthz", [this](const Request& req, Response& res) {
        try {
            store_.FindIdByName("");
            res.SetContent("ok\n", "text/plain; charset=utf-8");
        } catch (const StoreError&) {
            res.status = 503;
            res.SetContent("store unavailable\n", "text/plain; charset=utf-8");
        }
    });
    Get("/favicon.ico", [](const Request&, Response& res) { res.status = 204; });
    // The sign-in page's style sheet is part of the sign-in page; the scripts are not.
    Get("/static/console.css", [](const Request& req, Response& res) {
        auto asset = FindAsset(req.path);
        res.SetContent(std::string(asset->body), asset->contentType);
    });
    Get("/login", [this](const Request& req, Response& res) {
        std::string token = CookieValue(req.Header("Cookie"), kSessionCookie);
        if (!token.empty() && sessions_.Use(token, AdminSessions::Clock::now())) return Redirect(res, "/");
        SignInPageGet(req, res, "", 200);
    });
    Post("/login", [this](const Request& req, Response& res) {
        Guarded(req, res, [&] { SignIn(req, res); }, Kind::Page);
    });
    Get("/metrics", [this](const Request& req, Response& res) {
        Guarded(req, res, [&] { Metrics(req, res); }, Kind::Api);
    });
}

// The session itself: the scripts, its token, signing out.
void AdminConsole::Impl::SessionRoutes() {
    for (const char* script : {"/static/console.js", "/static/chart.js"}) {
        Signed(script, false, Kind::Api, [](Call& c) {
            auto asset = FindAsset(c.req.path);
            c.res.SetContent(std::string(asset->body), asset->contentType);
        });
    }
    for (Kind kind : {Kind::Page, Kind::Api}) {
        Signed(kind == Kind::Page ? "/logout" : "/api/logout", true, kind, [this, kind](Call& c) {
            sessions_.Remove(c.token);
            Log(LogLevel::Info, "console: " + c.Admin() + " signed out");
            c.res.SetHeader("Set-Cookie",
                             std::string(kSessionCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
            kind == Kind::Page ? Redirect(c.res, "/login") : Json(c.res, 200, ResultJson(true, "signed out"));
        });
    }
    Signed("/api/session", false, Kind::Api, [this](Call& c) {
        Json(c.res, 200, "{\"csrf\":" + JsonString(c.session.csrf) + ",\"node\":" + JsonString(backend_.NodeName()) + "}");
    });
}

// The overview and the users online.
void AdminConsole::Impl::OverviewRoutes() {
    Signed("/", false, Kind::Page, [this](Call& c) {
        Html(c.res, 200,
             Page(FrameFor(c, "Overview", "overview"), OverviewBody(Overview(nullptr), c.session.csrf)));
    });
    Signed("/api/overview", false, Kind::Api, [this](Call& c) {
        History history;
        OverviewView view = Overview(&history);
        Json(c.res, 200, OverviewJson(view, history, NowMillis()));
    });
    Signed("/online", false, Kind::Page, [this](Call& c) {
        std::vector<std::string> silent;
        auto users = Online(silent);
        Html(c.res, 200, Page(FrameFor(c, "Users online", "online"), OnlineBody(users, silent, c.session.csrf)));
    });
    Signed("/api/online", false, Kind::Api, [this](Call& c) {
        std::vector<std::string> silent;
        auto users = Online(silent);
        Json(c.res, 200, OnlineJson(users, silent));
    });
    Act("/online/disconnect", [this](Call& c) { return Disconnect(c); }, [](Call&) { return std::string("/online"); });
    Act("/backup", [this](Call& c) { return BackUp(c); }, [](Call&) { return std::string("/"); });
}

// The accounts: searching, one account, and what can be done to one.
void AdminConsole::Impl::AccountRoutes() {
    auto search = [this](Call& c, std::string& query) -> std::optional<std::vector<AccountSummary>> {
        query = Param(c.req, "q", 60);
        auto gbk = Utf8ToGbk(query);
        if (!gbk) return std::nullopt;
        return store_.ListAccounts(*gbk, 200);
    };
    Signed("/accounts", false, Kind::Page, [this, search](Call& c) {
        std::string query;
        auto found = search(c, query);
        Frame frame = FrameFor(c, "Accounts", "accounts");
        if (!found) {
            frame.flash = "Search for text that GBK can carry.";
            frame.flashIsError = true;
        }
        Html(c.res, 200, Page(frame, AccountsBody(found.value_or(std::vector<AccountSummary>{}), query, c.session.csrf)));
    });
    Signed("/api/accounts", false, Kind::Api, [search](Call& c) {
        std::string query;
        auto found = search(c, query);
        if (!found) return Json(c.res, 400, ResultJson(false, "search for text that GBK can carry"));
        Json(c.res, 200, AccountsJson(*found));
    });
    Act("/accounts/create", [this](Call& c) { return CreateAccount(c); },
        [](Call&) { return std::string("/accounts"); });

    Signed("/account", false, Kind::Page, [this](Call& c) {
        auto id = ParseId(Param(c.req, "id", 32));
        auto view = id ? Account(*id) : std::nullopt;
        if (!view)
            return Html(c.res, 404, Page(FrameFor(c, "Account", "accounts"), "<h1>No such account</h1>"));
        Html(c.res, 200, Page(FrameFor(c, "Account " + GbkToUtf8(view->profile.name), "accounts"),
                              AccountBody(*view, c.session.csrf)));
    });
    Signed("/api/account", false, Kind::Api, [this](Call& c) {
        auto id = ParseId(Param(c.req, "id", 32));
        auto view = id ? Account(*id) : std::nullopt;
        if (!view) return Json(c.res, 404, ResultJson(false, "no such account"));
        Json(c.res, 200, AccountJson(*view));
    });
    auto backToAccount = [](Call& c) { return "/account?id=" + std::to_string(ParseId(Param(c.req, "id", 32)).value_or(0)); };
    Act("/account/password", [this](Call& c) { return ResetPassword(c); }, backToAccount);
    Act("/account/disable", [this](Call& c) { return SetDisabled(c, true); }, backToAccount);
    Act("/account/enable", [this](Call& c) { return SetDisabled(c, false); }, backToAccount);
    Act("/account/delete", [this](Call& c) { return DeleteAccount(c); },
        [](Call&) { return std::string("/accounts"); });
}

// The mailboxes (counts and ages, never texts) and the log.
void AdminConsole::Impl::MailboxAndLogRoutes() {
    Signed("/mailboxes", false, Kind::Page, [this](Call& c) {
        std::string query = Param(c.req, "user", 60);
        std::optional<MailboxSummary> lookedUp;
        if (!query.empty()) {
            auto gbk = Utf8ToGbk(query);
            auto profile = gbk ? store_.FindByName(*gbk) : std::nullopt;
            if (profile) {
                lookedUp = store_.Mailbox(profile->id);
                lookedUp->name = profile->name;
            }
        }
        Html(c.res, 200, Page(FrameFor(c, "Mailboxes", "mailboxes"),
                              MailboxesBody(store_.AllMailboxes(), store_.LargestMailboxes(50), lookedUp, query)));
    });
    Signed("/api/mailboxes", false, Kind::Api, [this](Call& c) {
        Json(c.res, 200, MailboxesJson(store_.AllMailboxes(), store_.LargestMailboxes(50)));
    });
    Signed("/api/mailbox", false, Kind::Api, [this](Call& c) {
        auto profile = AccountOf(c);
        if (!profile) return Json(c.res, 404, ResultJson(false, "no such account"));
        MailboxSummary m = store_.Mailbox(profile->id);
        m.name = profile->name;
        Json(c.res, 200, MailboxJson(m));
    });

    Signed("/log", false, Kind::Page, [this](Call& c) {
        Html(c.res, 200, Page(FrameFor(c, "Log", "log"), LogBody(RecentLogLines(200))));
    });
    Signed("/api/log", false, Kind::Api, [](Call& c) { Json(c.res, 200, LogJson(RecentLogLines(200))); });
}

// --- The chart's samples ------------------------------------------------------------

void AdminConsole::Impl::SampleLoop() {
    std::unique_lock<std::mutex> lock(sampleMutex_);
    while (!sampleWake_.wait_for(lock, kSampleEvery, [this] { return stopping_; })) {
        lock.unlock();
        Sample();
        lock.lock();
    }
}

void AdminConsole::Impl::Sample() {
    const std::string self = backend_.NodeName();
    std::vector<NodeStats> nodes{backend_.LocalStats()};
    try {
        for (NodeStats& n : backend_.OtherNodes()) nodes.push_back(std::move(n));
    } catch (const StoreError& e) {
        Log(LogLevel::Debug, std::string("console: other nodes unknown: ") + e.what());
    }
    const std::int64_t now = NowMillis();
    const double steadySeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    std::lock_guard<std::mutex> lock(historyMutex_);
    for (const NodeStats& n : nodes) {
        Track& t = tracks_[n.node];
        // This node's counters are read now; another's as of its last record.
        double at = n.node == self ? steadySeconds : static_cast<double>(n.updated);
        bool restarted = n.messages < t.last.messages || n.loginsSucceeded < t.last.loginsSucceeded;
        if (t.have && !restarted && at > t.at) {
            t.messagesPerSecond = static_cast<double>(n.messages - t.last.messages) / (at - t.at);
            t.loginsPerMinute = static_cast<double>(n.loginsSucceeded - t.last.loginsSucceeded) * 60 / (at - t.at);
        }
        if (!t.have || restarted || at > t.at) {
            t.last = n;
            t.at = at;
        }
        t.have = true;
        t.seenMillis = n.node == self ? now : n.updated * 1000;
        t.points.emplace_back(now, t.messagesPerSecond);
        while (t.points.size() > kHistoryPoints) t.points.pop_front();
    }
    // Nodes gone for the whole chart leave it.
    for (auto it = tracks_.begin(); it != tracks_.end();)
        it = now - it->second.seenMillis > 600'000 ? tracks_.erase(it) : std::next(it);
}

std::optional<std::string> PublicOrigin(const std::string& url) {
    std::string lower = Lower(url);
    std::size_t colon = lower.find("://");
    if (colon == std::string::npos) return std::nullopt;
    std::string scheme = lower.substr(0, colon);
    std::string authority = lower.substr(colon + 3);
    if (!authority.empty() && authority.back() == '/') authority.pop_back();
    if ((scheme != "http" && scheme != "https") || authority.empty() || HostName(authority).empty())
        return std::nullopt;
    // A browser leaves the scheme's own port out of the origin it sends.
    const std::string defaultPort = scheme == "https" ? ":443" : ":80";
    if (authority.size() > defaultPort.size() &&
        authority.compare(authority.size() - defaultPort.size(), defaultPort.size(), defaultPort) == 0)
        authority.resize(authority.size() - defaultPort.size());
    return scheme + "://" + authority;
}

AdminConsole::AdminConsole(const AdminOptions& options, ConsoleBackend& backend)
    : impl_(std::make_unique<Impl>(options, backend)) {}
AdminConsole::~AdminConsole() = default;
std::uint16_t AdminConsole::Port() const { return impl_->Port(); }

}  // namespace vexa::server::admin
