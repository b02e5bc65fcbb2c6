// What the nodes of a cluster say to each other over NATS: the subjects and
// the messages, encoded and decoded here without any I/O (cluster.cpp sends
// and receives them). Everything read from NATS is treated as hostile: every
// field is bounded and checked, and what does not read exactly is refused.
//
// Subjects:
//   vexa.user.<account>      reaches the node that has the user (moments, takeover; chats
//                            one at a time, as a node of the previous release sends them)
//   vexa.nodes               every node: presence changes, heartbeats, drained mailboxes
//   vexa.reply.<node>.<what> to one node: the answer to a question's token, "online"
//                            (the list of its users), "answers" (what became of
//                            the chats it forwarded), "snapshot" (another node's users),
//                            "chats" (kept packets for its users, in batches)
// A message is one byte of kind, then its fields, each ended by a newline,
// then (for packets) four digits of code and the payload's bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/routing/router.h"

namespace vexa::server::cluster {

// Longest node name a message may carry.
inline constexpr std::size_t kMaxNodeName = 255;

std::string UserSubject(std::int64_t account);
// The account a user subject names; 0 when it names none.
std::int64_t AccountOf(std::string_view userSubject);
inline constexpr const char* kNodesSubject = "vexa.nodes";
// Every reply subject of a node (for its one subscription).
std::string ReplySubjects(const std::string& node);
std::string ReplySubject(const std::string& node, std::uint64_t token);
std::string OnlineSubject(const std::string& node);
std::string AnswersSubject(const std::string& node);
std::string SnapshotSubject(const std::string& node);
std::string ChatsSubject(const std::string& node);

// What the last part of a reply subject asks for.
struct ReplyTarget {
    enum class What { Token, Online, Answers, Snapshot, Chats } what = What::Token;
    std::uint64_t token = 0;  // Token: the answer to this question
};
ReplyTarget ReplyTargetOf(std::string_view subject);

// A login, ordered the same way on every node: wall-clock time, then the
// node's name, then the node's own count. Two nodes that took the same
// account therefore agree which login is the newer one.
struct LoginStamp {
    std::int64_t nanos = 0;  // wall clock, since the Unix epoch
    std::string node;
    std::uint64_t counter = 0;
};
bool operator<(const LoginStamp& a, const LoginStamp& b);
bool operator==(const LoginStamp& a, const LoginStamp& b);

enum class Kind : char {
    // On a user's subject.
    Mail = 'M',      // rows were added to the user's mailbox
    Send = 'S',      // a packet that only matters now: code, payload
    Chat = 'D',      // a kept packet from node (run boot): seq, base, prev, code, payload (one; see ChatBatch)
    LetGo = 'T',     // another node takes the user over (node: the one asking); answered with Released
    Released = 'R',  // the answer to LetGo, on the asker's reply subject
    Ping = 'P',      // is anybody there? answered at once with Pong
    Kick = 'K',      // an administrator disconnects the user
    // On the nodes' subject.
    Up = 'U',        // node (run boot, change number version) has the account from the login stamp
    Down = 'W',      // node no longer has the account
    Beat = 'B',      // node is alive; version: its latest change
    Ask = 'Q',       // node wants every other node's users (it starts, or its link came back)
    Drained = 'E',   // the account's mailbox was read to its end by the node that has it
};

struct Message {
    explicit Message(Kind k = Kind::Mail) : kind(k) {}
    Kind kind;
    std::string node;            // Chat (the origin), LetGo, Up, Down, Beat, Ask
    std::uint64_t boot = 0;      // Chat, Up, Down, Beat: which run of the node
    std::uint64_t version = 0;   // Up, Down, Beat
    std::int64_t account = 0;    // Up, Down, Drained
    std::int64_t nanos = 0;      // Up: the login stamp's time
    std::uint64_t counter = 0;   // Up: the login stamp's count
    std::uint64_t seq = 0;       // Chat: the origin's number for it
    std::uint64_t base = 0;      // Chat: the origin's oldest unsettled chat for the same user
    std::uint64_t prev = 0;      // Chat: the origin's chat for the same user before this one (0: none)
    int code = 0;                // Send, Chat
    std::string payload;         // Send, Chat
};

std::string Encode(const Message& message);
// nullopt for what no node sends: empty, an unknown kind, a missing or
// malformed field, a node name too long, bytes left over.
std::optional<Message> Decode(std::string_view data);

// The answer to Ping.
inline constexpr std::string_view kPong = "p";

// What became of forwarded chats, told to their origin in batches.
enum class Verdict : char {
    Queued = 'q',     // on the user's connection for a while; delivered or stored follows
    Delivered = 'd',  // the user's TCP acknowledged it
    Stored = 's',     // in the user's mailbox
    Refused = 'r',    // not taken: the origin keeps it in the mailbox
};
struct Answer {
    std::uint64_t seq = 0;
    Verdict verdict = Verdict::Queued;
};
struct Answers {
    std::uint64_t boot = 0;  // the origin's run they are for
    std::vector<Answer> answers;
};
std::string EncodeAnswers(const Answers& answers);
std::optional<Answers> DecodeAnswers(std::string_view data);

// Kept packets from one node run for users of another, as many as came
// together: one NATS message for a burst instead of one per chat. Each
// reads as a Chat would, with the user's account.
struct BatchedChat {
    std::int64_t account = 0;
    std::uint64_t seq = 0, base = 0, prev = 0;
    int code = 0;
    std::string payload;
};
struct ChatBatch {
    std::string node;
    std::uint64_t boot = 0;
    std::vector<BatchedChat> chats;
};
// Appends one to an encoded batch, which starts with ChatBatchHead.
std::string ChatBatchHead(const std::string& node, std::uint64_t boot);
void AppendChat(std::string& batch, const BatchedChat& chat);
std::string EncodeChatBatch(const ChatBatch& batch);
// nullopt unless every chat reads exactly, as Decode would read it.
std::optional<ChatBatch> DecodeChatBatch(std::string_view data);

// A node's users, for a node that joins or lost track.
struct Snapshot {
    std::string node;
    std::uint64_t boot = 0;
    std::uint64_t version = 0;
    struct User {
        std::int64_t account = 0;
        std::int64_t nanos = 0;
        std::uint64_t counter = 0;
    };
    std::vector<User> users;
};
std::string EncodeSnapshot(const Snapshot& snapshot);
std::optional<Snapshot> DecodeSnapshot(std::string_view data);

// A node's users, one line each: account, login time in Unix milliseconds,
// address. Lines that do not read so are left out.
std::string EncodeOnlineList(const std::vector<Router::OnlineUser>& users);
std::vector<Router::OnlineUser> DecodeOnlineList(std::string_view data);

}  // namespace vexa::server::cluster
