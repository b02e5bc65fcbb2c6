// What the nodes of a cluster say to each other over NATS: the subjects and
// the messages, encoded and decoded here without any I/O (cluster.cpp sends
// and receives them).
//
// Subjects: vexa.user.<account> reaches the node that has the user;
// vexa.reply.<node>.<token> carries answers to one question of a node;
// vexa.reply.<node>.online asks a node for the list of its users.
// A message on a user's subject is one byte of kind, then its fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/routing/router.h"

namespace vexa::server::cluster {

std::string UserSubject(std::int64_t account);
// The account a user subject names; 0 when it names none.
std::int64_t AccountOf(std::string_view userSubject);
// Every reply subject of a node (for its one subscription).
std::string ReplySubjects(const std::string& node);
std::string ReplySubject(const std::string& node, std::uint64_t token);
std::string OnlineSubject(const std::string& node);

// What the last part of a reply subject asks for.
struct ReplyTarget {
    bool online = false;      // the list of the node's users
    std::uint64_t token = 0;  // otherwise the answer to this question
};
ReplyTarget ReplyTargetOf(std::string_view subject);

enum class Kind : char {
    Mail = 'M',      // rows were added to the user's mailbox
    Send = 'S',      // a packet that only matters now: four digits of code, then the payload
    LetGo = 'T',     // another node takes the user over (node: the one asking); answered with Released
    Claim = 'C',     // "<wall-clock ns of the login>\n<node>": that node has the user
    Released = 'R',  // the answer to LetGo, on the asker's reply subject
    Ping = 'P',      // is anybody there? answered at once with Pong
    Kick = 'K',      // an administrator disconnects the user
};

struct Message {
    explicit Message(Kind k = Kind::Mail) : kind(k) {}
    Kind kind;
    int code = 0;                 // Send
    std::string payload;          // Send
    std::string node;             // LetGo, Claim
    std::int64_t loginNanos = 0;  // Claim
};

std::string Encode(const Message& message);
// nullopt for what no node sends: empty, an unknown kind, a Send too short
// for its code, a Claim without its node.
std::optional<Message> Decode(std::string_view data);

// The answer to Ping.
inline constexpr std::string_view kPong = "p";

// A node's users, one line each: account, login time in Unix milliseconds,
// address. Lines that do not read so are left out.
std::string EncodeOnlineList(const std::vector<Router::OnlineUser>& users);
std::vector<Router::OnlineUser> DecodeOnlineList(std::string_view data);

}  // namespace vexa::server::cluster
