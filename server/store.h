// The server's storage: one SQLite database file.
//
// Texts are kept as the GBK bytes the clients send (BLOB columns), so no byte
// is ever reinterpreted. All calls come from the server's network thread; the
// store is not shared between threads. A failing statement throws StoreError,
// which the caller turns into a dropped request and a log line.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vexa::server {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Position {
    int id = 0;
    std::string ms;
    int pos0 = 0, pos1 = 0, pos2 = 0, pos3 = 0;
};

// One account's public profile: the fields of a friend-list user element.
struct Profile {
    std::int64_t id = 0;
    std::string name;        // the user ID that every packet carries
    std::string nickname;
    std::string littleword;
    std::string birthday;    // YYYYMMDD
    int sex = 0;
    std::string photo;
    Position pos;
    int userClass = 0, vip = 0;
    int status = 1;          // the last status the user chose (shown while online)
    std::string statusNote;
    int style = 0, afset = 0, vp = 0, lt = 0;
};

struct FriendRequest {
    std::int64_t from = 0;
    std::string fromName;
    std::string text;
    bool withText = false;
};

struct Mail {
    std::int64_t seq = 0;
    int code = 0;
    std::string payload;
};

class Store {
public:
    // Opens (creating when needed) the database and its tables.
    explicit Store(const std::string& path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // nullopt when the name is taken.
    std::optional<std::int64_t> CreateAccount(std::string_view name, std::string_view passwordHash,
                                              std::string_view nickname);
    std::optional<Profile> FindByName(std::string_view name);
    std::optional<Profile> FindById(std::int64_t id);
    std::string PasswordHash(std::int64_t id);
    void SetPasswordHash(std::int64_t id, std::string_view hash);
    void UpdateProfile(std::int64_t id, std::string_view nickname, std::string_view littleword,
                       std::string_view birthday, int afset);
    void UpdateDetails(const Profile& profile);  // every profile field but name and status
    void SetStatus(std::int64_t id, int status, std::string_view note);
    void SetPosition(std::int64_t id, const Position& pos);

    bool AreFriends(std::int64_t a, std::int64_t b);
    void AddFriendship(std::int64_t a, std::int64_t b);
    bool RemoveFriendship(std::int64_t a, std::int64_t b);  // false when they were not friends
    std::vector<Profile> Friends(std::int64_t id);           // ordered by friend id
    std::vector<std::int64_t> FriendIds(std::int64_t id);
    std::size_t FriendCount(std::int64_t id);

    bool IsBlocked(std::int64_t owner, std::int64_t blocked);
    void Block(std::int64_t owner, std::int64_t blocked);
    void Unblock(std::int64_t owner, std::int64_t blocked);

    // A newer request from the same asker replaces the older one.
    void AddFriendRequest(std::int64_t from, std::int64_t to, std::string_view text, bool withText);
    bool HasFriendRequest(std::int64_t from, std::int64_t to);
    void RemoveFriendRequest(std::int64_t from, std::int64_t to);
    std::vector<FriendRequest> FriendRequestsTo(std::int64_t to);
    std::size_t FriendRequestCountTo(std::int64_t to);

    // Packets kept for a user who is offline, delivered in seq order.
    std::int64_t AddMail(std::int64_t recipient, int code, std::string_view payload);
    std::vector<Mail> MailFor(std::int64_t recipient);
    // At most limit packets after seq afterSeq, in order.
    std::vector<Mail> MailAfter(std::int64_t recipient, std::int64_t afterSeq, int limit);
    void DeleteMailUpTo(std::int64_t recipient, std::int64_t seq);
    std::size_t MailCount(std::int64_t recipient);

    // Runs fn inside one transaction (commit on return, rollback on throw).
    template <class Fn>
    void Transaction(Fn&& fn) {
        Exec("BEGIN IMMEDIATE");
        try {
            fn();
        } catch (...) {
            Exec("ROLLBACK");
            throw;
        }
        Exec("COMMIT");
    }

private:
    class Statement;
    Statement Prepare(const char* sql);
    void Exec(const char* sql);
    static Profile ReadProfile(const Statement& row);

    sqlite3* db_ = nullptr;
    std::map<const char*, sqlite3_stmt*> cache_;  // keyed by the literal's address
};

}  // namespace vexa::server
