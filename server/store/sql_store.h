// The store's one implementation, over either engine: every operation once,
// in terms of the statements of sql.cpp. An engine (sqlite/, postgres/)
// brings connections, transactions and the dialect; this brings the rules.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/store/presence.h"
#include "server/store/sql.h"
#include "server/store/store.h"

namespace vexa::server {

class SqlStore : public Store {
public:
    // Creates or migrates the schema; throws StoreError (or
    // StoreUnavailable) when it cannot.
    explicit SqlStore(std::unique_ptr<sql::Engine> engine);
    ~SqlStore() override;

    bool Blocking() const override { return engine_->Blocking(); }
    void BackUpTo(const std::string& file) override { engine_->BackUpTo(file); }

    std::optional<std::int64_t> CreateAccount(std::string_view name, std::string_view passwordHash,
                                              std::string_view nickname) override;
    std::optional<Profile> FindByName(std::string_view name) override;
    std::optional<Profile> FindById(std::int64_t id) override;
    std::optional<std::int64_t> FindIdByName(std::string_view name) override;
    Recipient FindRecipient(std::string_view name, std::int64_t sender) override;
    std::optional<Recipient> KnownRecipient(std::string_view name, std::int64_t sender) override;
    std::string PasswordHash(std::int64_t id) override;
    void SetPasswordHash(std::int64_t id, std::string_view hash) override;
    void ChangeProfile(std::int64_t id, std::string_view nickname, std::string_view littleword,
                       std::string_view birthday, int afset, std::string_view newHash) override;
    void UpdateDetails(const Profile& profile) override;
    void SetStatus(std::int64_t id, int status, std::string_view note) override;
    void SetPosition(std::int64_t id, const Position& pos) override;
    bool AreFriends(std::int64_t a, std::int64_t b) override;
    void AddFriendship(std::int64_t a, std::int64_t b) override;
    bool RemoveFriendship(std::int64_t a, std::int64_t b) override;
    std::vector<Profile> Friends(std::int64_t id) override;
    std::vector<std::int64_t> FriendIds(std::int64_t id) override;
    std::size_t FriendCount(std::int64_t id) override;
    bool IsBlocked(std::int64_t owner, std::int64_t blocked) override;
    void BlockUser(std::int64_t owner, std::int64_t blocked) override;
    void AskFriend(std::int64_t from, std::int64_t to, std::string_view text, bool withText) override;
    bool HasFriendRequest(std::int64_t from, std::int64_t to) override;
    void AnswerFriendRequest(std::int64_t asker, std::int64_t answerer, bool agreed) override;
    std::vector<FriendRequest> FriendRequestsTo(std::int64_t to) override;
    std::size_t FriendRequestCountTo(std::int64_t to) override;
    std::int64_t AddMail(std::int64_t recipient, int code, std::string_view payload) override;
    void AddMails(std::int64_t recipient, const std::vector<Mail>& packets) override;
    std::vector<Mail> MailAfter(std::int64_t recipient, std::int64_t afterSeq, int limit) override;
    void DeleteMailUpTo(std::int64_t recipient, std::int64_t seq) override;
    std::size_t MailCount(std::int64_t recipient) override;
    void SetDisabled(std::int64_t id, bool disabled) override;
    bool DeleteAccount(std::int64_t id) override;
    std::vector<AccountSummary> ListAccounts(std::string_view contains, std::size_t limit) override;
    std::vector<std::int64_t> BlockedIds(std::int64_t owner) override;
    MailboxSummary Mailbox(std::int64_t recipient) override;
    std::vector<MailboxSummary> LargestMailboxes(std::size_t limit) override;
    MailboxTotals AllMailboxes() override;
    std::string Setting(std::string_view key) override;
    void SetSetting(std::string_view key, std::string_view value) override;
    void PutNodeStats(const NodeStats& stats) override;
    std::vector<NodeStats> RecentNodeStats(std::chrono::seconds maxAge) override;

    // Forgets the lookups kept in memory; they are read again when next
    // needed. For whoever hears of a change some other way (an announcement
    // from another node).
    void ForgetLookups();

protected:
    // One statement on a connection of its own.
    std::int64_t Run(sql::Query query, sql::Params params, sql::RowFn onRow = {});
    sql::Engine& Engine() { return *engine_; }
    // The first column of the row it yields, or empty for none.
    std::string Bytes(sql::Query query, sql::Params params);

private:
    void Migrate();
    std::int64_t Count(sql::Query query, sql::Params params);
    bool Exists(sql::Query query, sql::Params params);
    std::vector<std::int64_t> Ids(sql::Query query, sql::Params params);
    // With the lookups' lock held: forgets them when another writer may have
    // changed the data; false then, and the caller asks the database itself.
    bool Refresh();
    std::optional<std::int64_t> CachedId(std::string_view name);
    bool CachedBlocked(std::int64_t owner, std::int64_t blocked);

    // The lookups of every message kept in memory: account numbers by name,
    // and the blacklist, so that a chat between users who are online asks
    // the database nothing. Only where the engine sees the changes other
    // writers make (SeesOutsideChanges): they are emptied whenever it says
    // another writer may have changed the data, and every change made here
    // is applied to them too. Only names of accounts that exist are kept; a
    // name asked for and not found costs the query each time, so a stranger
    // cannot fill the memory.
    struct Lookups;
    std::unique_ptr<sql::Engine> engine_;
    std::unique_ptr<Lookups> lookups_;
};

// The store of a database that a cluster's nodes share, with their heartbeats.
class SharedSqlStore : public SqlStore, public PresenceDirectory {
public:
    using SqlStore::SqlStore;

    void Heartbeat(const std::string& node, bool clearOwn) override;
};

}  // namespace vexa::server
