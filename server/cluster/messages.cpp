#include "server/cluster/messages.h"

#include <limits>
#include <tuple>

#include "protocol/frame.h"
#include "protocol/text.h"

namespace vexa::server::cluster {

namespace {

constexpr std::string_view kUserPrefix = "vexa.user.";
constexpr std::string_view kReplyPrefix = "vexa.reply.";
constexpr std::string_view kOnlineToken = "online";
constexpr std::string_view kAnswersToken = "answers";
constexpr std::string_view kSnapshotToken = "snapshot";
constexpr std::string_view kChatsToken = "chats";
constexpr std::int64_t kMaxMillis = 9'000'000'000'000;  // in 2255, short of what nanoseconds in 64 bits hold

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

// Exactly a decimal number that fits a signed 64-bit value, without leading zeros (one spelling per number), nothing else.
std::optional<std::uint64_t> StrictNumber(std::string_view text) {
    if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > kMax) return std::nullopt;
    return value;
}

// Fields each ended by a newline, read one at a time; one failure fails the rest.
class Fields {
public:
    explicit Fields(std::string_view data) : rest_(data) {}
    std::string_view Text() {
        std::size_t end = rest_.find('\n');
        if (end == std::string_view::npos) {
            ok_ = false;
            return {};
        }
        std::string_view field = rest_.substr(0, end);
        rest_.remove_prefix(end + 1);
        return field;
    }
    std::string Node() {
        std::string_view node = Text();
        // It becomes part of a subject: printable, no blank, no wildcard.
        if (node.empty() || node.size() > kMaxNodeName) ok_ = false;
        for (char c : node)
            if (c <= ' ' || c > '~' || c == '*' || c == '>') ok_ = false;
        return std::string(node);
    }
    std::uint64_t Number() {
        auto n = StrictNumber(Text());
        if (!n) ok_ = false;
        return n.value_or(0);
    }
    std::int64_t Signed() { return static_cast<std::int64_t>(Number()); }
    // Four digits of code, then the payload: the rest.
    void Packet(int& code, std::string& payload) {
        if (!ok_ || rest_.size() < protocol::kCodeSize) {
            ok_ = false;
            return;
        }
        code = 0;
        for (char c : rest_.substr(0, protocol::kCodeSize)) {
            if (c < '0' || c > '9') ok_ = false;
            code = code * 10 + (c - '0');
        }
        if (rest_.size() - protocol::kCodeSize > protocol::kMaxPayloadSize) ok_ = false;
        payload = std::string(rest_.substr(protocol::kCodeSize));
        rest_ = {};
    }
    std::string_view Rest() const { return rest_; }
    // Everything was read, and read well.
    bool Done() const { return ok_ && rest_.empty(); }
    bool Ok() const { return ok_; }

private:
    std::string_view rest_;
    bool ok_ = true;
};

void Field(std::string& out, std::string_view text) { out.append(text).push_back('\n'); }
void Field(std::string& out, std::uint64_t n) { Field(out, std::to_string(n)); }
void Field(std::string& out, std::int64_t n) { Field(out, std::to_string(n)); }

std::string ReplyTo(const std::string& node, std::string_view what) {
    return std::string(kReplyPrefix) + node + "." + std::string(what);
}

}  // namespace

bool operator<(const LoginStamp& a, const LoginStamp& b) {
    return std::tie(a.nanos, a.node, a.counter) < std::tie(b.nanos, b.node, b.counter);
}
bool operator==(const LoginStamp& a, const LoginStamp& b) {
    return std::tie(a.nanos, a.node, a.counter) == std::tie(b.nanos, b.node, b.counter);
}

std::string UserSubject(std::int64_t account) { return std::string(kUserPrefix) + std::to_string(account); }

std::int64_t AccountOf(std::string_view subject) {
    if (subject.substr(0, kUserPrefix.size()) != kUserPrefix) return 0;
    auto n = StrictNumber(subject.substr(kUserPrefix.size()));
    return n ? static_cast<std::int64_t>(*n) : 0;
}

std::string ReplySubjects(const std::string& node) { return ReplyTo(node, "*"); }
std::string ReplySubject(const std::string& node, std::uint64_t token) { return ReplyTo(node, std::to_string(token)); }
std::string OnlineSubject(const std::string& node) { return ReplyTo(node, kOnlineToken); }
std::string AnswersSubject(const std::string& node) { return ReplyTo(node, kAnswersToken); }
std::string SnapshotSubject(const std::string& node) { return ReplyTo(node, kSnapshotToken); }
std::string ChatsSubject(const std::string& node) { return ReplyTo(node, kChatsToken); }

ReplyTarget ReplyTargetOf(std::string_view subject) {
    std::string_view last = subject.substr(subject.rfind('.') + 1);
    if (last == kOnlineToken) return ReplyTarget{ReplyTarget::What::Online, 0};
    if (last == kAnswersToken) return ReplyTarget{ReplyTarget::What::Answers, 0};
    if (last == kSnapshotToken) return ReplyTarget{ReplyTarget::What::Snapshot, 0};
    if (last == kChatsToken) return ReplyTarget{ReplyTarget::What::Chats, 0};
    return ReplyTarget{ReplyTarget::What::Token, StrictNumber(last).value_or(0)};
}

std::string Encode(const Message& m) {
    std::string out(1, static_cast<char>(m.kind));
    switch (m.kind) {
        case Kind::Send: out.append(protocol::FourDigits(m.code)).append(m.payload); break;
        case Kind::Chat:
            Field(out, m.node);
            Field(out, m.boot);
            Field(out, m.seq);
            Field(out, m.base);
            Field(out, m.prev);
            out.append(protocol::FourDigits(m.code)).append(m.payload);
            break;
        case Kind::LetGo:
        case Kind::Ask: Field(out, m.node); break;
        case Kind::Up:
        case Kind::Down:
        case Kind::Beat:
            Field(out, m.node);
            Field(out, m.boot);
            Field(out, m.version);
            if (m.kind == Kind::Beat) break;
            Field(out, m.account);
            if (m.kind == Kind::Down) break;
            Field(out, m.nanos);
            Field(out, m.counter);
            break;
        case Kind::Drained: Field(out, m.account); break;
        case Kind::Mail:
        case Kind::Released:
        case Kind::Ping:
        case Kind::Kick: break;
    }
    return out;
}

std::optional<Message> Decode(std::string_view data) {
    if (data.empty()) return std::nullopt;
    Message m(static_cast<Kind>(data[0]));
    Fields f(data.substr(1));
    switch (m.kind) {
        case Kind::Mail:
        case Kind::Released:
        case Kind::Ping:
        case Kind::Kick: break;
        case Kind::Send: f.Packet(m.code, m.payload); break;
        case Kind::Chat:
            m.node = f.Node();
            m.boot = f.Number();
            m.seq = f.Number();
            m.base = f.Number();
            m.prev = f.Number();
            f.Packet(m.code, m.payload);
            if (m.seq == 0 || m.base == 0 || m.base > m.seq || m.prev >= m.seq) return std::nullopt;
            break;
        case Kind::LetGo:
        case Kind::Ask: m.node = f.Node(); break;
        case Kind::Up:
        case Kind::Down:
        case Kind::Beat:
            m.node = f.Node();
            m.boot = f.Number();
            m.version = f.Number();
            if (m.kind == Kind::Beat) break;
            m.account = f.Signed();
            if (m.account <= 0) return std::nullopt;
            if (m.kind == Kind::Down) break;
            m.nanos = f.Signed();
            m.counter = f.Number();
            break;
        case Kind::Drained:
            m.account = f.Signed();
            if (m.account <= 0) return std::nullopt;
            break;
        default: return std::nullopt;
    }
    if (!f.Done()) return std::nullopt;
    return m;
}

// "A<boot>\n" then "<seq><verdict>" for each, one a line.
std::string EncodeAnswers(const Answers& a) {
    std::string out = "A";
    Field(out, a.boot);
    for (const Answer& answer : a.answers) {
        out.append(std::to_string(answer.seq)).push_back(static_cast<char>(answer.verdict));
        out.push_back('\n');
    }
    return out;
}

std::optional<Answers> DecodeAnswers(std::string_view data) {
    if (data.empty() || data[0] != 'A') return std::nullopt;
    Fields f(data.substr(1));
    Answers a;
    a.boot = f.Number();
    while (f.Ok() && !f.Rest().empty()) {
        std::string_view line = f.Text();
        if (line.empty()) return std::nullopt;
        auto verdict = static_cast<Verdict>(line.back());
        if (verdict != Verdict::Queued && verdict != Verdict::Delivered && verdict != Verdict::Stored &&
            verdict != Verdict::Refused)
            return std::nullopt;
        auto seq = StrictNumber(line.substr(0, line.size() - 1));
        if (!seq || *seq == 0) return std::nullopt;
        a.answers.push_back(Answer{*seq, verdict});
    }
    if (!f.Done()) return std::nullopt;
    return a;
}

// "C<node>\n<boot>\n" then for each chat "<account> <seq> <base> <prev> <code> <length>\n"
// and its payload's bytes (a payload may hold newlines).
std::string ChatBatchHead(const std::string& node, std::uint64_t boot) {
    std::string out = "C";
    Field(out, node);
    Field(out, boot);
    return out;
}

void AppendChat(std::string& out, const BatchedChat& c) {
    for (std::uint64_t n : {static_cast<std::uint64_t>(c.account), c.seq, c.base, c.prev})
        out.append(std::to_string(n)).push_back(' ');
    out.append(std::to_string(c.code)).push_back(' ');
    Field(out, static_cast<std::uint64_t>(c.payload.size()));
    out.append(c.payload);
}

std::string EncodeChatBatch(const ChatBatch& batch) {
    std::string out = ChatBatchHead(batch.node, batch.boot);
    for (const BatchedChat& c : batch.chats) AppendChat(out, c);
    return out;
}

std::optional<ChatBatch> DecodeChatBatch(std::string_view data) {
    if (data.empty() || data[0] != 'C') return std::nullopt;
    Fields f(data.substr(1));
    ChatBatch batch;
    batch.node = f.Node();
    batch.boot = f.Number();
    while (f.Ok() && !f.Rest().empty()) {
        std::string_view line = f.Text();
        std::optional<std::uint64_t> n[6];
        for (auto& number : n) {
            std::size_t end = &number == &n[5] ? line.size() : line.find(' ');
            if (end == std::string_view::npos) return std::nullopt;
            number = StrictNumber(line.substr(0, end));
            if (!number) return std::nullopt;
            line.remove_prefix(end == line.size() ? end : end + 1);
        }
        BatchedChat c{static_cast<std::int64_t>(*n[0]), *n[1], *n[2], *n[3], 0, {}};
        if (c.account <= 0 || c.seq == 0 || c.base == 0 || c.base > c.seq || c.prev >= c.seq || *n[4] > 9999 ||
            *n[5] > protocol::kMaxPayloadSize || *n[5] > f.Rest().size())
            return std::nullopt;
        c.code = static_cast<int>(*n[4]);
        c.payload = std::string(f.Rest().substr(0, *n[5]));
        f = Fields(f.Rest().substr(*n[5]));
        batch.chats.push_back(std::move(c));
    }
    if (!f.Done() || batch.chats.empty()) return std::nullopt;
    return batch;
}

// "N<node>\n<boot>\n<version>\n" then "<account> <nanos> <counter>" for each, one a line.
std::string EncodeSnapshot(const Snapshot& s) {
    std::string out = "N";
    Field(out, s.node);
    Field(out, s.boot);
    Field(out, s.version);
    for (const Snapshot::User& u : s.users)
        Field(out, std::to_string(u.account) + " " + std::to_string(u.nanos) + " " + std::to_string(u.counter));
    return out;
}

std::optional<Snapshot> DecodeSnapshot(std::string_view data) {
    if (data.empty() || data[0] != 'N') return std::nullopt;
    Fields f(data.substr(1));
    Snapshot s;
    s.node = f.Node();
    s.boot = f.Number();
    s.version = f.Number();
    while (f.Ok() && !f.Rest().empty()) {
        std::string_view line = f.Text();
        std::size_t first = line.find(' ');
        std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
        if (second == std::string_view::npos) return std::nullopt;
        auto account = StrictNumber(line.substr(0, first));
        auto nanos = StrictNumber(line.substr(first + 1, second - first - 1));
        auto counter = StrictNumber(line.substr(second + 1));
        if (!account || *account == 0 || !nanos || !counter) return std::nullopt;
        s.users.push_back(Snapshot::User{static_cast<std::int64_t>(*account), static_cast<std::int64_t>(*nanos), *counter});
    }
    if (!f.Done()) return std::nullopt;
    return s;
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
        // A time the clock cannot hold (it counts nanoseconds in 64 bits) does not read.
        const std::int64_t millis = LeadingNumber(line.substr(tab1 + 1));
        if (millis < 0 || millis > kMaxMillis) continue;
        u.since = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::milliseconds(millis)));
        u.from = std::string(line.substr(tab2 + 1));
        if (u.account > 0) users.push_back(std::move(u));
    }
    return users;
}

}  // namespace vexa::server::cluster
