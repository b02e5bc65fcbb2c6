#include "server/admin/pages.h"

#include <cstdio>
#include <ctime>

#include "server/admin/web_text.h"

namespace vexa::server::admin {

namespace {

// A GBK text from the store, ready for a page.
std::string H(const std::string& gbk) { return EscapeHtml(GbkToUtf8(gbk)); }
// A GBK text from the store, ready for JSON.
std::string J(const std::string& gbk) { return JsonString(GbkToUtf8(gbk)); }

std::string Fixed(double v, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

std::string Bytes(std::uint64_t n) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(n);
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    return u == 0 ? std::to_string(n) + " B" : Fixed(v, 1) + " " + units[u];
}

std::string CsrfField(const std::string& csrf) {
    return "<input type=\"hidden\" name=\"csrf\" value=\"" + EscapeHtml(csrf) + "\">";
}

std::string PostButton(const std::string& action, const std::string& fields, const std::string& csrf,
                       const std::string& label, const char* cls) {
    return "<form class=\"inline\" method=\"post\" action=\"" + action + "\">" + CsrfField(csrf) + fields +
           "<button class=\"" + cls + "\">" + label + "</button></form>";
}

std::string Hidden(const char* name, const std::string& value) {
    return std::string("<input type=\"hidden\" name=\"") + name + "\" value=\"" + EscapeHtml(value) + "\">";
}

std::string AccountLink(std::int64_t id, const std::string& nameGbk) {
    return "<a href=\"/account?id=" + std::to_string(id) + "\">" + H(nameGbk) + "</a>";
}

struct Totals {
    std::uint64_t online = 0, connections = 0, slowReaders = 0;
    double messages = 0, logins = 0;
};
Totals Sum(const OverviewView& v) {
    Totals t;
    for (const NodeView& n : v.nodes) {
        t.online += n.stats.online;
        t.connections += n.stats.connections;
        t.slowReaders += n.stats.slowReaders;
        t.messages += n.messagesPerSecond;
        t.logins += n.loginsPerMinute;
    }
    return t;
}

std::string MailboxText(const MailboxTotals& m) {
    return std::to_string(m.messages) + " for " + std::to_string(m.recipients) + (m.recipients == 1 ? " user" : " users") +
           (m.messages ? ", oldest " + Age(m.oldestSeconds) : std::string());
}

}  // namespace

std::string Page(const Frame& f, const std::string& body) {
    static const std::pair<const char*, const char*> kNav[] = {
        {"overview", "/"}, {"online", "/online"}, {"accounts", "/accounts"}, {"mailboxes", "/mailboxes"}, {"log", "/log"}};
    static const char* kLabels[] = {"Overview", "Users online", "Accounts", "Mailboxes", "Log"};
    std::string nav;
    for (std::size_t i = 0; i < std::size(kNav); ++i)
        nav += std::string("<a href=\"") + kNav[i].second + "\"" + (f.active == kNav[i].first ? " class=\"active\"" : "") +
               ">" + kLabels[i] + "</a>";
    std::string flash;
    if (!f.flash.empty())
        flash = std::string("<div class=\"flash") + (f.flashIsError ? " error" : "") + "\" role=\"status\">" +
                EscapeHtml(f.flash) + "</div>";
    return "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
           "content=\"width=device-width\"><title>" +
           EscapeHtml(f.title) +
           " · VexaIM server</title><link rel=\"stylesheet\" href=\"/static/console.css\"></head><body><header>"
           "<span class=\"brand\">VexaIM server<small>" +
           EscapeHtml(f.node) + "</small></span><nav>" + nav +
           "</nav><form method=\"post\" action=\"/logout\">" + CsrfField(f.csrf) +
           "<button id=\"sign-out\">Sign out</button></form></header><main>" + flash + body +
           "</main></body></html>";
}

std::string SignInPage(const std::string& csrf, const std::string& message) {
    return "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Sign in · VexaIM server</title>"
           "<link rel=\"stylesheet\" href=\"/static/console.css\"></head><body><form class=\"signin\" method=\"post\" "
           "action=\"/login\"><h1>VexaIM server</h1><p>Operators' console</p>" +
           (message.empty() ? std::string() : "<div class=\"flash error\" role=\"alert\">" + EscapeHtml(message) + "</div>") +
           CsrfField(csrf) +
           "<label for=\"password\">Administrator password</label><input type=\"password\" id=\"password\" "
           "name=\"password\" autocomplete=\"current-password\" autofocus required maxlength=\"1024\">"
           "<button id=\"sign-in\">Sign in</button></form></body></html>";
}

std::string OverviewBody(const OverviewView& v, const std::string& csrf) {
    Totals t = Sum(v);
    auto card = [](const char* id, const char* label, const std::string& value, const std::string& sub) {
        return std::string("<div class=\"card\"><div class=\"label\">") + label + "</div><div class=\"value\" id=\"card-" +
               id + "\">" + EscapeHtml(value) + "</div><div class=\"sub\" id=\"card-" + id + "-sub\">" +
               EscapeHtml(sub) + "</div></div>";
    };
    std::string body = "<h1>Overview</h1><div class=\"cards\">";
    body += card("online", "Users online", std::to_string(t.online), "logged in now");
    body += card("connections", "Connections", std::to_string(t.connections), "open now");
    body += card("messages", "Messages / s", Fixed(t.messages, 1), "chats routed or kept");
    body += card("logins", "Logins / min", Fixed(t.logins, 1), "accepted");
    body += card("mailbox", "Mailbox backlog", std::to_string(v.mailbox.messages), MailboxText(v.mailbox));
    body += card("slow", "Slow readers", std::to_string(t.slowReaders), "disconnected for backlog");
    body += "</div><div class=\"panel\"><h2>Messages per second, last 10 minutes</h2><div class=\"chart\">"
            "<canvas id=\"rate-chart\"></canvas></div></div><div class=\"panel\"><h2>Nodes</h2><table><thead><tr>"
            "<th>Node</th><th class=\"num\">Online</th><th class=\"num\">Connections</th><th class=\"num\">Messages/s</th>"
            "<th class=\"num\">Logins/min</th><th class=\"num\">Slow readers</th><th class=\"num\">Received</th>"
            "<th class=\"num\">Sent</th><th>Last seen</th></tr></thead><tbody id=\"node-rows\">";
    for (const NodeView& n : v.nodes) {
        body += "<tr><td>" + EscapeHtml(n.stats.node) + "</td><td class=\"num\">" + std::to_string(n.stats.online) +
                "</td><td class=\"num\">" + std::to_string(n.stats.connections) + "</td><td class=\"num\">" +
                Fixed(n.messagesPerSecond, 1) + "</td><td class=\"num\">" + Fixed(n.loginsPerMinute, 1) +
                "</td><td class=\"num\">" + std::to_string(n.stats.slowReaders) + "</td><td class=\"num\">" +
                Bytes(n.stats.bytesIn) + "</td><td class=\"num\">" + Bytes(n.stats.bytesOut) + "</td><td>" +
                Age(n.seenSecondsAgo) + " ago</td></tr>";
    }
    body += "</tbody></table></div><div class=\"panel\"><h2>Backup</h2>";
    body += v.backupDir.empty()
                ? std::string("<p class=\"muted\">Backups from here need the server started with --backup-dir DIR.</p>")
                : "<p>A consistent copy of the database, made while the server serves, written to " +
                      EscapeHtml(v.backupDir) + ".</p>" + PostButton("/backup", "", csrf, "Back up now", "secondary");
    body += "</div><script src=\"/static/chart.js\"></script><script src=\"/static/console.js\">"
            "</script>";
    return body;
}

std::string OverviewJson(const OverviewView& v, const History& history, std::int64_t nowMillis) {
    Totals t = Sum(v);
    std::string out = "{\"now\":" + std::to_string(nowMillis) + ",\"cards\":{\"online\":" +
                      JsonString(std::to_string(t.online)) + ",\"connections\":" +
                      JsonString(std::to_string(t.connections)) + ",\"messages\":" + JsonString(Fixed(t.messages, 1)) +
                      ",\"logins\":" + JsonString(Fixed(t.logins, 1)) + ",\"mailbox\":" +
                      JsonString(std::to_string(v.mailbox.messages)) + ",\"mailbox-sub\":" +
                      JsonString(MailboxText(v.mailbox)) + ",\"slow\":" +
                      JsonString(std::to_string(t.slowReaders)) + "},\"mailbox\":{\"messages\":" +
                      std::to_string(v.mailbox.messages) + ",\"users\":" + std::to_string(v.mailbox.recipients) +
                      ",\"oldestSeconds\":" + std::to_string(v.mailbox.oldestSeconds) + "},\"nodes\":[";
    for (std::size_t i = 0; i < v.nodes.size(); ++i) {
        const NodeView& n = v.nodes[i];
        out += std::string(i ? "," : "") + "{\"node\":" + JsonString(n.stats.node) +
               ",\"online\":" + std::to_string(n.stats.online) + ",\"connections\":" +
               std::to_string(n.stats.connections) + ",\"messagesPerSecond\":" + Fixed(n.messagesPerSecond, 2) +
               ",\"loginsPerMinute\":" + Fixed(n.loginsPerMinute, 2) + ",\"slowReaders\":" +
               std::to_string(n.stats.slowReaders) + ",\"loginsSucceeded\":" + std::to_string(n.stats.loginsSucceeded) +
               ",\"loginsFailed\":" + std::to_string(n.stats.loginsFailed) + ",\"messages\":" +
               std::to_string(n.stats.messages) + ",\"received\":" + JsonString(Bytes(n.stats.bytesIn)) +
               ",\"sent\":" + JsonString(Bytes(n.stats.bytesOut)) + ",\"seen\":" +
               JsonString(Age(n.seenSecondsAgo) + " ago") + "}";
    }
    out += "],\"history\":[";
    for (std::size_t i = 0; i < history.size(); ++i) {
        out += std::string(i ? "," : "") + "{\"node\":" + JsonString(history[i].first) + ",\"points\":[";
        const auto& points = history[i].second;
        for (std::size_t j = 0; j < points.size(); ++j)
            out += std::string(j ? "," : "") + "[" + std::to_string(points[j].first) + "," + Fixed(points[j].second, 2) + "]";
        out += "]}";
    }
    return out + "]}";
}

std::string OnlineBody(const std::vector<OnlineView>& users, const std::vector<std::string>& silent,
                       const std::string& csrf) {
    std::string body = "<h1>Users online <span class=\"muted\">(" + std::to_string(users.size()) + ")</span></h1>";
    for (const std::string& node : silent)
        body += "<div class=\"flash error\">Node " + EscapeHtml(node) + " did not answer; its users are not listed.</div>";
    body += "<div class=\"panel\"><table id=\"online\"><thead><tr><th>User ID</th><th>Nickname</th><th>Node</th>"
            "<th>Since</th><th>From</th><th></th></tr></thead><tbody>";
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    for (const OnlineView& u : users) {
        body += "<tr data-user=\"" + H(u.name) + "\"><td>" + AccountLink(u.account, u.name) + "</td><td>" + H(u.nickname) +
                "</td><td>" + EscapeHtml(u.node) + "</td><td>" + LocalTime(u.sinceUnix) + " <span class=\"muted\">(" +
                Age(now - u.sinceUnix) + ")</span></td><td>" + EscapeHtml(u.from) + "</td><td>" +
                PostButton("/online/disconnect", Hidden("account", std::to_string(u.account)), csrf, "Disconnect",
                           "danger") +
                "</td></tr>";
    }
    if (users.empty()) body += "<tr><td colspan=\"6\" class=\"muted\">Nobody is online.</td></tr>";
    return body + "</tbody></table></div>";
}

std::string OnlineJson(const std::vector<OnlineView>& users, const std::vector<std::string>& silent) {
    std::string out = "{\"users\":[";
    for (std::size_t i = 0; i < users.size(); ++i) {
        const OnlineView& u = users[i];
        out += std::string(i ? "," : "") + "{\"account\":" + std::to_string(u.account) + ",\"name\":" + J(u.name) +
               ",\"nickname\":" + J(u.nickname) + ",\"node\":" + JsonString(u.node) + ",\"since\":" +
               std::to_string(u.sinceUnix) + ",\"from\":" + JsonString(u.from) + "}";
    }
    out += "],\"silentNodes\":[";
    for (std::size_t i = 0; i < silent.size(); ++i) out += std::string(i ? "," : "") + JsonString(silent[i]);
    return out + "]}";
}

std::string AccountsBody(const std::vector<AccountSummary>& accounts, const std::string& query,
                         const std::string& csrf) {
    std::string body =
        "<h1>Accounts</h1><div class=\"row\"><div class=\"panel\"><h2>Find</h2><form class=\"search\" method=\"get\" "
        "action=\"/accounts\"><input type=\"search\" name=\"q\" id=\"q\" placeholder=\"user ID or nickname\" value=\"" +
        EscapeHtml(query) +
        "\" maxlength=\"60\"><button class=\"secondary\">Search</button></form><table id=\"accounts\"><thead><tr>"
        "<th class=\"num\">No.</th><th>User ID</th><th>Nickname</th><th>State</th></tr></thead><tbody>";
    for (const AccountSummary& a : accounts)
        body += "<tr><td class=\"num\">" + std::to_string(a.id) + "</td><td>" + AccountLink(a.id, a.name) + "</td><td>" +
                H(a.nickname) + "</td><td>" +
                (a.disabled ? "<span class=\"tag off\">disabled</span>" : "<span class=\"tag on\">active</span>") +
                "</td></tr>";
    if (accounts.empty()) body += "<tr><td colspan=\"4\" class=\"muted\">No account matches.</td></tr>";
    body += "</tbody></table></div><div class=\"panel\"><h2>Create an account</h2><form class=\"stack\" method=\"post\" "
            "action=\"/accounts/create\" id=\"create\">" +
            CsrfField(csrf) +
            "<label for=\"name\">User ID</label><input type=\"text\" id=\"name\" name=\"name\" required maxlength=\"60\">"
            "<label for=\"nickname\">Nickname</label><input type=\"text\" id=\"nickname\" name=\"nickname\" "
            "maxlength=\"60\"><label for=\"password\">Password</label><input type=\"password\" id=\"password\" "
            "name=\"password\" required maxlength=\"19\" autocomplete=\"new-password\"><div class=\"actions\">"
            "<button id=\"create-account\">Create</button></div></form><p class=\"muted\">A user ID is 1–20 bytes "
            "(GBK), without blanks or markup; a password is 1–19 bytes.</p></div></div>";
    return body;
}

std::string AccountsJson(const std::vector<AccountSummary>& accounts) {
    std::string out = "{\"accounts\":[";
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        const AccountSummary& a = accounts[i];
        out += std::string(i ? "," : "") + "{\"id\":" + std::to_string(a.id) + ",\"name\":" + J(a.name) +
               ",\"nickname\":" + J(a.nickname) + ",\"disabled\":" + (a.disabled ? "true" : "false") + "}";
    }
    return out + "]}";
}

std::string AccountBody(const AccountView& v, const std::string& csrf) {
    const Profile& p = v.profile;
    const std::string id = std::to_string(p.id);
    auto people = [](const std::vector<Profile>& list, const char* tableId, const char* none) {
        std::string t = std::string("<table id=\"") + tableId + "\"><thead><tr><th>User ID</th><th>Nickname</th></tr>"
                        "</thead><tbody>";
        for (const Profile& f : list) t += "<tr><td>" + AccountLink(f.id, f.name) + "</td><td>" + H(f.nickname) + "</td></tr>";
        if (list.empty()) t += std::string("<tr><td colspan=\"2\" class=\"muted\">") + none + "</td></tr>";
        return t + "</tbody></table>";
    };
    std::string body = "<h1>Account " + H(p.name) + " <span class=\"muted\">" + H(p.nickname) + "</span></h1>";
    body += "<div class=\"row\"><div class=\"panel\"><h2>Details</h2><dl class=\"facts\"><dt>Number</dt><dd>" + id +
            "</dd><dt>User ID</dt><dd>" + H(p.name) + "</dd><dt>Nickname</dt><dd id=\"nickname\">" + H(p.nickname) +
            "</dd><dt>Personal text</dt><dd>" + H(p.littleword) + "</dd><dt>Birthday</dt><dd>" + H(p.birthday) +
            "</dd><dt>State</dt><dd id=\"state\">" +
            (p.disabled ? "<span class=\"tag off\">disabled</span>" : "<span class=\"tag on\">active</span>") +
            "</dd><dt>Mailbox</dt><dd><a href=\"/mailboxes?user=" + H(p.name) + "\">" + std::to_string(v.mailbox.count) +
            " waiting</a>" + (v.mailbox.count ? ", oldest " + Age(v.mailbox.oldestSeconds) : std::string()) + "</dd></dl></div>";
    body += "<div class=\"panel\"><h2>Manage</h2><form class=\"stack\" method=\"post\" action=\"/account/password\">" +
            CsrfField(csrf) + Hidden("id", id) +
            "<label for=\"new-password\">New password</label><input type=\"password\" id=\"new-password\" "
            "name=\"password\" required maxlength=\"19\" autocomplete=\"new-password\"><div class=\"actions\">"
            "<button class=\"secondary\" id=\"reset-password\">Reset password</button></div></form><p>" +
            (p.disabled ? PostButton("/account/enable", Hidden("id", id), csrf, "Enable", "secondary")
                        : PostButton("/account/disable", Hidden("id", id), csrf, "Disable", "secondary")) +
            " <span class=\"muted\">A disabled account cannot log in; its user is disconnected.</span></p>"
            "<form method=\"post\" action=\"/account/delete\">" +
            CsrfField(csrf) + Hidden("id", id) +
            "<label><input type=\"checkbox\" name=\"confirm\" value=\"yes\" required> delete this account, its "
            "friendships, requests, blacklist and mailbox</label> <button class=\"danger\">Delete</button></form></div></div>";
    body += "<div class=\"row\"><div class=\"panel\"><h2>Friends (" + std::to_string(v.friends.size()) + ")</h2>" +
            people(v.friends, "friends", "No friends.") + "</div><div class=\"panel\"><h2>Blacklist (" +
            std::to_string(v.blocked.size()) + ")</h2>" + people(v.blocked, "blacklist", "Nobody is blacklisted.") +
            "</div></div>";
    return body;
}

std::string AccountJson(const AccountView& v) {
    const Profile& p = v.profile;
    auto people = [](const std::vector<Profile>& list) {
        std::string out = "[";
        for (std::size_t i = 0; i < list.size(); ++i)
            out += std::string(i ? "," : "") + "{\"id\":" + std::to_string(list[i].id) + ",\"name\":" + J(list[i].name) +
                   ",\"nickname\":" + J(list[i].nickname) + "}";
        return out + "]";
    };
    return "{\"id\":" + std::to_string(p.id) + ",\"name\":" + J(p.name) + ",\"nickname\":" + J(p.nickname) +
           ",\"littleword\":" + J(p.littleword) + ",\"birthday\":" + J(p.birthday) + ",\"disabled\":" +
           (p.disabled ? "true" : "false") + ",\"friends\":" + people(v.friends) + ",\"blacklist\":" +
           people(v.blocked) + ",\"mailbox\":" + MailboxJson(v.mailbox) + "}";
}

std::string MailboxesBody(const MailboxTotals& totals, const std::vector<MailboxSummary>& largest,
                          const std::optional<MailboxSummary>& lookedUp, const std::string& query) {
    std::string body = "<h1>Mailboxes</h1><div class=\"panel\"><p>Packets waiting for users who are away: <b id=\"totals\">" +
                       EscapeHtml(MailboxText(totals)) +
                       "</b>. Only counts and ages are shown, never what the messages say.</p>"
                       "<form class=\"search\" method=\"get\" action=\"/mailboxes\"><input type=\"search\" name=\"user\" "
                       "placeholder=\"user ID\" maxlength=\"60\" value=\"" +
                       EscapeHtml(query) + "\"><button class=\"secondary\">Look up</button></form>";
    if (lookedUp)
        body += "<p id=\"looked-up\">" + (lookedUp->account ? AccountLink(lookedUp->account, lookedUp->name) : H(lookedUp->name)) +
                ": " + std::to_string(lookedUp->count) + " waiting" +
                (lookedUp->count ? ", the oldest for " + Age(lookedUp->oldestSeconds) : std::string()) + "</p>";
    else if (!query.empty())
        body += "<p id=\"looked-up\" class=\"muted\">No account " + EscapeHtml(query) + ".</p>";
    body += "</div><div class=\"panel\"><h2>Largest</h2><table id=\"mailboxes\"><thead><tr><th>User ID</th>"
            "<th class=\"num\">Waiting</th><th>Oldest</th></tr></thead><tbody>";
    for (const MailboxSummary& m : largest)
        body += "<tr><td>" + AccountLink(m.account, m.name) + "</td><td class=\"num\">" + std::to_string(m.count) +
                "</td><td>" + Age(m.oldestSeconds) + "</td></tr>";
    if (largest.empty()) body += "<tr><td colspan=\"3\" class=\"muted\">Every mailbox is empty.</td></tr>";
    return body + "</tbody></table></div>";
}

std::string MailboxJson(const MailboxSummary& m) {
    return "{\"account\":" + std::to_string(m.account) + ",\"name\":" + J(m.name) + ",\"count\":" +
           std::to_string(m.count) + ",\"oldestSeconds\":" + std::to_string(m.oldestSeconds) + "}";
}

std::string MailboxesJson(const MailboxTotals& totals, const std::vector<MailboxSummary>& largest) {
    std::string out = "{\"messages\":" + std::to_string(totals.messages) + ",\"users\":" +
                      std::to_string(totals.recipients) + ",\"oldestSeconds\":" + std::to_string(totals.oldestSeconds) +
                      ",\"largest\":[";
    for (std::size_t i = 0; i < largest.size(); ++i) out += std::string(i ? "," : "") + MailboxJson(largest[i]);
    return out + "]}";
}

std::string LogBody(const std::vector<std::string>& lines) {
    std::string body = "<h1>Recent log lines</h1><div class=\"panel log\" id=\"log\">";
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        std::string text = LogLineToUtf8(*it);
        // "YYYY-MM-DD HH:MM:SS.mmm LEVEL message": the level names the line's class.
        std::string level = text.size() > 29 ? text.substr(24, 5) : std::string();
        while (!level.empty() && level.back() == ' ') level.pop_back();
        body += "<div class=\"" + EscapeHtml(level) + "\">" + EscapeHtml(text) + "</div>";
    }
    if (lines.empty()) body += "<p class=\"muted\">Nothing logged yet.</p>";
    return body + "</div>";
}

std::string LogJson(const std::vector<std::string>& lines) {
    std::string out = "{\"lines\":[";
    for (std::size_t i = 0; i < lines.size(); ++i) out += std::string(i ? "," : "") + JsonString(LogLineToUtf8(lines[i]));
    return out + "]}";
}

std::string ResultJson(bool ok, const std::string& message) {
    return std::string("{\"ok\":") + (ok ? "true" : "false") + ",\"message\":" + JsonString(message) + "}";
}

}  // namespace vexa::server::admin
