#include "server/cluster/messages.h"

#include "protocol/frame.h"
#include "protocol/text.h"

namespace vexa::server::cluster {

namespace {

constexpr std::string_view kUserPrefix = "vexa.user.";
constexpr std::string_view kReplyPrefix = "vexa.reply.";
constexpr std::string_view kOnlineToken = "online";

// A decimal number at the start of text, as atoll reads one (leading
// blanks, a sign, digits up to the first other character).
std::int64_t LeadingNumber(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
    std::uint64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) value = value * 10 + (text[at] - '0');
    return static_cast<std::int64_t>(negative ? 0 - value : value);
}

}  // namespace

std::string UserSubject(std::int64_t account) { return std::string(kUserPrefix) + std::to_string(account); }

std::int64_t AccountOf(std::string_view subject) {
    if (subject.substr(0, kUserPrefix.size()) != kUserPrefix) return 0;
    return LeadingNumber(subject.substr(kUserPrefix.size()));
}

std::string ReplySubjects(const std::string& node) { return std::string(kReplyPrefix) + node + ".*"; }

std::string ReplySubject(const std::string& node, std::uint64_t token) {
    return std::string(kReplyPrefix) + node + "." + std::to_string(token);
}

std::string OnlineSubject(const std::string& node) {
    return std::string(kReplyPrefix) + node + "." + std::string(kOnlineToken);
}

ReplyTarget ReplyTargetOf(std::string_view subject) {
    std::string_view last = subject.substr(subject.rfind('.') + 1);
    if (last == kOnlineToken) return ReplyTarget{true, 0};
    return ReplyTarget{false, static_cast<std::uint64_t>(LeadingNumber(last))};
}

std::string Encode(const Message& m) {
    std::string out(1, static_cast<char>(m.kind));
    switch (m.kind) {
        case Kind::Send: out.append(protocol::FourDigits(m.code)).append(m.payload); break;
        case Kind::LetGo: out.append(m.node); break;
        case Kind::Claim: out.append(std::to_string(m.loginNanos)).append("\n").append(m.node); break;
        default: break;
    }
    return out;
}

std::optional<Message> Decode(std::string_view data) {
    if (data.empty()) return std::nullopt;
    Message m;
    m.kind = static_cast<Kind>(data[0]);
    std::string_view rest = data.substr(1);
    switch (m.kind) {
        case Kind::Mail:
        case Kind::Released:
        case Kind::Ping:
        case Kind::Kick:
            return m;
        case Kind::Send:
            if (rest.size() < protocol::kCodeSize) return std::nullopt;
            m.code = text::AtoI(rest.substr(0, protocol::kCodeSize));
            m.payload = std::string(rest.substr(protocol::kCodeSize));
            return m;
        case Kind::LetGo:
            m.node = std::string(rest);
            return m;
        case Kind::Claim: {
            std::size_t newline = rest.find('\n');
            if (newline == std::string_view::npos) return std::nullopt;
            m.loginNanos = LeadingNumber(rest.substr(0, newline));
            m.node = std::string(rest.substr(newline + 1));
            return m;
        }
    }
    return std::nullopt;
}

std::string EncodeOnlineList(const std::vector<Router::OnlineUser>& users) {
    std::string list;
    for (const Router::OnlineUser& u : users) {
        auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(u.since.time_since_epoch()).count();
        list += std::to_string(u.account) + "\t" + std::to_string(millis) + "\t" + u.from + "\n";
    }
    return list;
}

std::vector<Router::OnlineUser> DecodeOnlineList(std::string_view data) {
    std::vector<Router::OnlineUser> users;
    std::size_t at = 0;
    while (at < data.size()) {
        std::size_t end = data.find('\n', at);
        if (end == std::string_view::npos) end = data.size();
        std::string_view line = data.substr(at, end - at);
        at = end + 1;
        auto tab1 = line.find('\t');
        auto tab2 = tab1 == std::string_view::npos ? std::string_view::npos : line.find('\t', tab1 + 1);
        if (tab2 == std::string_view::npos) continue;
        Router::OnlineUser u;
        u.account = LeadingNumber(line);
        u.since = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::milliseconds(LeadingNumber(line.substr(tab1 + 1)))));
        u.from = std::string(line.substr(tab2 + 1));
        if (u.account > 0) users.push_back(std::move(u));
    }
    return users;
}

}  // namespace vexa::server::cluster
