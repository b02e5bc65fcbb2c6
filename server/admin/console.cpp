#include "server/admin/console.h"

#include <httplib.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "server/accounts.h"
#include "server/admin/assets.h"
#include "server/admin/pages.h"
#include "server/admin/sessions.h"
#include "server/admin/web_text.h"
#include "server/log.h"
#include "server/password.h"
#include "server/records.h"

namespace vexa::server::admin {

namespace {

using httplib::Request;
using httplib::Response;
using SystemClock = std::chrono::system_clock;

constexpr char kSessionCookie[] = "vexa_session";
constexpr char kSignInCookie[] = "vexa_signin";
// The throttle counts the administrator as one account.
constexpr std::int64_t kAdminAccount = 1;
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
    if (!req.has_param(name)) return {};
    std::string v = req.get_param_value(name);
    if (v.size() > max) v.resize(max);
    return v;
}

void Html(Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_content(body, "text/html; charset=utf-8");
}

void Json(Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_content(body, "application/json; charset=utf-8");
}

void Redirect(Response& res, const std::string& to) {
    res.status = 303;
    res.set_header("Location", to);
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

}  // namespace

class AdminConsole::Impl {
public:
    Impl(const AdminOptions& options, ConsoleBackend& backend);
    ~Impl();
    std::uint16_t Port() const { return port_; }

private:
    struct Call {
        const Request& req;
        Response& res;
        std::string token;
        AdminSessions::Session session;
        std::string Admin() const { return "administrator at " + req.remote_addr; }
    };
    using Handler = std::function<void(Call&)>;

    void Routes();
    void Signed(const char* path, bool post, Kind kind, Handler handler);
    void Guarded(const Request& req, Response& res, const std::function<void()>& body, Kind kind);
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
    LoginThrottle throttle_;
    httplib::Server http_;
    std::uint16_t port_ = 0;
    std::thread listener_;

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
};

AdminConsole::Impl::Impl(const AdminOptions& options, ConsoleBackend& backend)
    : options_(options), backend_(backend), store_(backend.GetStore()), throttle_(backend.Throttle()) {
    // A handful of threads: the console has a few users, and a browser opens several connections.
    http_.new_task_queue = [] { return new httplib::ThreadPool(8); };
    http_.set_read_timeout(5, 0);
    http_.set_write_timeout(5, 0);
    http_.set_keep_alive_timeout(2);
    http_.set_keep_alive_max_count(100);
    http_.set_payload_max_length(64 * 1024);
    http_.set_default_headers({
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
         "form-action 'self'; frame-ancestors 'none'; base-uri 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "same-origin"},  // no-referrer would make form posts say Origin: null
        {"Cache-Control", "no-store"},
    });
    Routes();
    if (options_.port == 0) {
        int port = http_.bind_to_any_port(options_.address);
        if (port <= 0) throw std::runtime_error("console: cannot listen on " + options_.address);
        port_ = static_cast<std::uint16_t>(port);
    } else {
        if (!http_.bind_to_port(options_.address, options_.port))
            throw std::runtime_error("console: cannot listen on " + options_.address + ":" + std::to_string(options_.port));
        port_ = options_.port;
    }
    Sample();
    listener_ = std::thread([this] { http_.listen_after_bind(); });
    // Stop can only end a listener that has started.
    for (int i = 0; i < 500 && !http_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    sampler_ = std::thread([this] { SampleLoop(); });
    Log(LogLevel::Info, "console on http://" + options_.address + ":" + std::to_string(port_) + "/");
}

AdminConsole::Impl::~Impl() {
    {
        std::lock_guard<std::mutex> lock(sampleMutex_);
        stopping_ = true;
    }
    sampleWake_.notify_all();
    if (sampler_.joinable()) sampler_.join();
    http_.stop();
    if (listener_.joinable()) listener_.join();
}

// --- Sign-in and guards ------------------------------------------------------

bool AdminConsole::Impl::SameOrigin(const Request& req) const {
    // Browsers name the page a request comes from; it must be one of ours.
    if (!req.has_header("Origin")) return true;
    return req.get_header_value("Origin") == "http://" + req.get_header_value("Host");
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
            std::string token = CookieValue(req.get_header_value("Cookie"), kSessionCookie);
            auto session = token.empty() ? std::nullopt
                                         : sessions_.Use(token, AdminSessions::Clock::now(), kind == Kind::Page && !post);
            if (!session) {
                if (kind == Kind::Api) return Json(res, 401, ResultJson(false, "sign in first"));
                return Redirect(res, "/login");
            }
            if (post) {
                std::string csrf = req.has_param("csrf") ? Param(req, "csrf") : req.get_header_value("X-CSRF-Token");
                if (!SameOrigin(req) || !SameSecret(csrf, session->csrf)) {
                    Log(LogLevel::Warn, "console: " + req.path + " from " + req.remote_addr +
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
        http_.Post(path, guarded);
    else
        http_.Get(path, guarded);
}

void AdminConsole::Impl::SignInPageGet(const Request& req, Response& res, const std::string& message, int status) {
    // The form's token is also in a cookie, which another site can neither read nor set.
    std::string token = RandomToken();
    res.set_header("Set-Cookie", std::string(kSignInCookie) + "=" + token +
                                     "; Path=/login; HttpOnly; SameSite=Strict; Max-Age=900");
    Html(res, status, SignInPage(token, message));
}

void AdminConsole::Impl::SignIn(const Request& req, Response& res) {
    const std::string address = req.remote_addr;
    if (!SameOrigin(req) ||
        !SameSecret(Param(req, "csrf"), CookieValue(req.get_header_value("Cookie"), kSignInCookie)))
        return SignInPageGet(req, res, "The sign-in form had expired. Please try again.", 403);
    std::string password = req.has_param("password") ? req.get_param_value("password") : std::string();
    if (password.empty() || password.size() > kMaxPassword)
        return SignInPageGet(req, res, "Wrong password.", 401);
    auto now = LoginThrottle::Clock::now();
    LoginThrottle::Verdict verdict = throttle_.Admit(kAdminAccount, address, now);
    if (!verdict.refused && verdict.notBefore > now + kMaxSignInWait) {
        verdict.refused = true;
        verdict.retryAfter = std::chrono::ceil<std::chrono::seconds>(verdict.notBefore - now);
    }
    if (verdict.refused) {
        Log(LogLevel::Warn, "console: sign-in from " + address + " refused: too many failed attempts");
        res.set_header("Retry-After", std::to_string(verdict.retryAfter.count()));
        return SignInPageGet(req, res,
                             "Too many failed attempts. Try again in " + std::to_string(verdict.retryAfter.count()) +
                                 " s.",
                             429);
    }
    if (verdict.notBefore > now) std::this_thread::sleep_until(verdict.notBefore);
    std::string hash = store_.Setting(kAdminPasswordSetting);
    if (hash.empty())
        return SignInPageGet(req, res,
                             "No administrator password is set. Set one with: vexaim-server --admin-only "
                             "--set-admin-password FILE (or - for standard input).",
                             401);
    if (!VerifyPassword(hash, password)) {
        throttle_.Failed(kAdminAccount, address, LoginThrottle::Clock::now());
        Log(LogLevel::Warn, "console: wrong administrator password from " + address);
        return SignInPageGet(req, res, "Wrong password.", 401);
    }
    throttle_.Succeeded(kAdminAccount);
    std::string token = sessions_.Create(address, AdminSessions::Clock::now());
    Log(LogLevel::Info, "console: administrator signed in from " + address);
    res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
    Redirect(res, "/");
}

void AdminConsole::Impl::Metrics(const Request& req, Response& res) {
    std::string auth = req.get_header_value("Authorization");
    bool allowed = !options_.metricsToken.empty() && auth.rfind("Bearer ", 0) == 0 &&
                   SameSecret(auth.substr(7), options_.metricsToken);
    if (!allowed) {
        std::string token = CookieValue(req.get_header_value("Cookie"), kSessionCookie);
        allowed = !token.empty() && sessions_.Use(token, AdminSessions::Clock::now()).has_value();
    }
    if (!allowed) {
        res.status = 401;
        res.set_header("WWW-Authenticate", "Bearer realm=\"vexaim metrics\"");
        res.set_content("a scrape token or a console sign-in is needed\n", "text/plain; charset=utf-8");
        return;
    }
    res.set_content(backend_.Metrics(), "text/plain; version=0.0.4; charset=utf-8");
}

// --- Data for the pages ---------------------------------------------------------

Frame AdminConsole::Impl::FrameFor(const Call& c, const std::string& title, const std::string& active) {
    return Frame{title, active, c.session.csrf, c.session.flash, c.session.flashIsError, backend_.NodeName()};
}

OverviewView AdminConsole::Impl::Overview(History* history) {
    OverviewView view;
    view.mailbox = store_.AllMailboxes();
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
    if (!nickname->empty() && !IsSafeText(*nickname, 20))
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
    std::string password = Param(c.req, "password", 64);
    if (password.empty() || password.size() > 19) return Fail(400, "A password is 1-19 bytes.");
    auto hash = HashPassword(password);
    if (!hash) return Fail(500, "The password could not be hashed.");
    store_.SetPasswordHash(profile->id, *hash);
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
    http_.Get("/healthz", [this](const Request& req, Response& res) {
        try {
            store_.FindIdByName("");
            res.set_content("ok\n", "text/plain; charset=utf-8");
        } catch (const StoreError&) {
            res.status = 503;
            res.set_content("store unavailable\n", "text/plain; charset=utf-8");
        }
    });
    http_.Get("/favicon.ico", [](const Request&, Response& res) { res.status = 204; });
    // The sign-in page's style sheet is part of the sign-in page; the scripts are not.
    http_.Get("/static/console.css", [](const Request& req, Response& res) {
        auto asset = FindAsset(req.path);
        res.set_content(std::string(asset->body), asset->contentType);
    });
    Signed(R"(/static/(console|chart)\.js)", false, Kind::Api, [](Call& c) {
        auto asset = FindAsset(c.req.path);
        c.res.set_content(std::string(asset->body), asset->contentType);
    });
    http_.Get("/login", [this](const Request& req, Response& res) {
        std::string token = CookieValue(req.get_header_value("Cookie"), kSessionCookie);
        if (!token.empty() && sessions_.Use(token, AdminSessions::Clock::now())) return Redirect(res, "/");
        SignInPageGet(req, res, "", 200);
    });
    http_.Post("/login", [this](const Request& req, Response& res) {
        Guarded(req, res, [&] { SignIn(req, res); }, Kind::Page);
    });
    for (Kind kind : {Kind::Page, Kind::Api}) {
        Signed(kind == Kind::Page ? "/logout" : "/api/logout", true, kind, [this, kind](Call& c) {
            sessions_.Remove(c.token);
            Log(LogLevel::Info, "console: " + c.Admin() + " signed out");
            c.res.set_header("Set-Cookie",
                             std::string(kSessionCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
            kind == Kind::Page ? Redirect(c.res, "/login") : Json(c.res, 200, ResultJson(true, "signed out"));
        });
    }
    http_.Get("/metrics", [this](const Request& req, Response& res) {
        Guarded(req, res, [&] { Metrics(req, res); }, Kind::Api);
    });
    Signed("/api/session", false, Kind::Api, [this](Call& c) {
        Json(c.res, 200, "{\"csrf\":" + JsonString(c.session.csrf) + ",\"node\":" + JsonString(backend_.NodeName()) + "}");
    });

    Signed("/", false, Kind::Page, [this](Call& c) {
        Html(c.res, 200, Page(FrameFor(c, "Overview", "overview"), OverviewBody(Overview(nullptr))));
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

AdminConsole::AdminConsole(const AdminOptions& options, ConsoleBackend& backend)
    : impl_(std::make_unique<Impl>(options, backend)) {}
AdminConsole::~AdminConsole() = default;
std::uint16_t AdminConsole::Port() const { return impl_->Port(); }

}  // namespace vexa::server::admin
