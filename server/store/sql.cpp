// Every statement of the store and every step of its schema, once, for both
// engines. The words in braces are the dialects' differences (dialect.cpp).
#include "server/store/sql.h"

namespace vexa::server::sql {

// The columns of an account's public profile, in the order ReadProfile reads them.
#define VEXA_PROFILE_COLUMNS                                                                        \
    "id, name, nickname, littleword, birthday, sex, photo, pos_id, pos_ms, pos0, pos1, pos2, pos3," \
    " class, vip, status, status_note, style, afset, vp, lt, disabled"

const char* CommonText(Query query) {
    switch (query) {
        case Query::SchemaVersion: return "SELECT COALESCE(MAX(version), 0) FROM schema_version";
        case Query::ClearSchemaVersion: return "DELETE FROM schema_version";
        case Query::SetSchemaVersion: return "INSERT INTO schema_version (version) VALUES ($1)";
        // Accounts are numbered from 10001, as the users know them.
        case Query::CreateAccount:
            return "INSERT INTO accounts (id, name, pwhash, nickname)"
                   " SELECT (SELECT {greatest}(10001, COALESCE(MAX(id), 0) + 1) FROM accounts), $1, {text:$2}, $3"
                   " WHERE NOT EXISTS (SELECT 1 FROM accounts WHERE name = $1) RETURNING id";
        case Query::ProfileByName: return "SELECT " VEXA_PROFILE_COLUMNS " FROM accounts WHERE name = $1";
        case Query::ProfileById: return "SELECT " VEXA_PROFILE_COLUMNS " FROM accounts WHERE id = $1";
        case Query::IdByName: return "SELECT id FROM accounts WHERE name = $1";
        case Query::Recipient:
            return "SELECT a.id, EXISTS (SELECT 1 FROM blacklist b WHERE b.owner = a.id AND b.blocked = $2)"
                   " FROM accounts a WHERE a.name = $1";
        case Query::PasswordHash: return "SELECT pwhash FROM accounts WHERE id = $1";
        case Query::SetPasswordHash: return "UPDATE accounts SET pwhash = {text:$2} WHERE id = $1";
        case Query::ChangeProfile:
            return "UPDATE accounts SET nickname = $2, littleword = $3, birthday = $4, afset = $5 WHERE id = $1";
        case Query::UpdateDetails:
            return "UPDATE accounts SET nickname = $2, littleword = $3, birthday = $4, sex = $5, photo = $6,"
                   " class = $7, vip = $8, style = $9, afset = $10, vp = $11, lt = $12 WHERE id = $1";
        case Query::SetStatus: return "UPDATE accounts SET status = $2, status_note = $3 WHERE id = $1";
        case Query::SetPosition:
            return "UPDATE accounts SET pos_id = $2, pos_ms = $3, pos0 = $4, pos1 = $5, pos2 = $6, pos3 = $7"
                   " WHERE id = $1";
        case Query::AreFriends: return "SELECT 1 FROM friends WHERE owner = $1 AND friend = $2";
        case Query::AddFriendship:
            return "INSERT INTO friends (owner, friend) VALUES ($1, $2), ($2, $1) ON CONFLICT DO NOTHING";
        case Query::RemoveFriendship:
            return "DELETE FROM friends WHERE (owner = $1 AND friend = $2) OR (owner = $2 AND friend = $1)";
        case Query::FriendProfiles:
            return "SELECT " VEXA_PROFILE_COLUMNS
                   " FROM accounts WHERE id IN (SELECT friend FROM friends WHERE owner = $1) ORDER BY id";
        case Query::FriendIds: return "SELECT friend FROM friends WHERE owner = $1 ORDER BY friend";
        case Query::FriendCount: return "SELECT COUNT(*) FROM friends WHERE owner = $1";
        case Query::IsBlocked: return "SELECT 1 FROM blacklist WHERE owner = $1 AND blocked = $2";
        case Query::AllBlocked: return "SELECT owner, blocked FROM blacklist";
        case Query::Block: return "INSERT INTO blacklist (owner, blocked) VALUES ($1, $2) ON CONFLICT DO NOTHING";
        case Query::Unblock: return "DELETE FROM blacklist WHERE owner = $1 AND blocked = $2";
        case Query::BlockedIds: return "SELECT blocked FROM blacklist WHERE owner = $1 ORDER BY blocked";
        // A newer request from the same asker replaces the older one and goes to the end.
        case Query::AskFriend:
            return "INSERT INTO friend_requests (from_id, to_id, text, with_text, created)"
                   " VALUES ($1, $2, $3, $4 <> 0, {request-order}) ON CONFLICT (from_id, to_id) DO UPDATE"
                   " SET text = excluded.text, with_text = excluded.with_text, created = excluded.created";
        case Query::HasFriendRequest: return "SELECT 1 FROM friend_requests WHERE from_id = $1 AND to_id = $2";
        case Query::RemoveFriendRequest: return "DELETE FROM friend_requests WHERE from_id = $1 AND to_id = $2";
        case Query::RemoveRequestsBetween:
            return "DELETE FROM friend_requests WHERE (from_id = $1 AND to_id = $2) OR (from_id = $2 AND to_id = $1)";
        case Query::FriendRequestsTo:
            return "SELECT r.from_id, a.name, r.text, r.with_text FROM friend_requests r"
                   " JOIN accounts a ON a.id = r.from_id WHERE r.to_id = $1 ORDER BY r.created";
        case Query::FriendRequestCountTo: return "SELECT COUNT(*) FROM friend_requests WHERE to_id = $1";
        case Query::AddMail:
            return "INSERT INTO mailbox (recipient, code, payload, created) VALUES ($1, $2, $3, {now}) RETURNING seq";
        case Query::MailAfter:
            return "SELECT seq, code, payload FROM mailbox WHERE recipient = $1 AND seq > $2 ORDER BY seq LIMIT $3";
        case Query::DeleteMailUpTo: return "DELETE FROM mailbox WHERE recipient = $1 AND seq <= $2";
        case Query::MailCount: return "SELECT COUNT(*) FROM mailbox WHERE recipient = $1";
        case Query::SetDisabled: return "UPDATE accounts SET disabled = ($2 <> 0) WHERE id = $1";
        case Query::DeleteFriendsOf: return "DELETE FROM friends WHERE owner = $1 OR friend = $1";
        case Query::DeleteRequestsOf: return "DELETE FROM friend_requests WHERE from_id = $1 OR to_id = $1";
        case Query::DeleteBlacklistsOf: return "DELETE FROM blacklist WHERE owner = $1 OR blocked = $1";
        case Query::DeleteMailOf: return "DELETE FROM mailbox WHERE recipient = $1";
        case Query::DeletePresenceOf: return "DELETE FROM presence WHERE account = $1";
        case Query::DeleteAccount: return "DELETE FROM accounts WHERE id = $1";
        // Bytes, not patterns: no character of the search means anything.
        case Query::ListAccounts:
            return "SELECT id, name, nickname, disabled FROM accounts WHERE length({bytes-param:$1}) = 0"
                   " OR {contains:name:$1} OR {contains:nickname:$1} ORDER BY id LIMIT $2";
        case Query::MailboxOf:
            return "SELECT COUNT(*), COALESCE({since:MIN(created)}, 0) FROM mailbox WHERE recipient = $1";
        case Query::LargestMailboxes:
            return "SELECT m.recipient, a.name, COUNT(*), {since:MIN(m.created)} FROM mailbox m"
                   " JOIN accounts a ON a.id = m.recipient GROUP BY m.recipient, a.name"
                   " ORDER BY COUNT(*) DESC, m.recipient LIMIT $1";
        case Query::AllMailboxes:
            return "SELECT COUNT(*), COUNT(DISTINCT recipient), COALESCE({since:MIN(created)}, 0) FROM mailbox";
        case Query::Setting: return "SELECT value FROM settings WHERE key = {text:$1}";
        case Query::SetSetting:
            return "INSERT INTO settings (key, value) VALUES ({text:$1}, $2)"
                   " ON CONFLICT (key) DO UPDATE SET value = excluded.value";
        case Query::PutNodeStats:
            return "INSERT INTO node_stats (node, updated, online, connections, logins_ok, logins_failed, messages,"
                   " slow_readers, bytes_in, bytes_out) VALUES ({text:$1}, {now}, $2, $3, $4, $5, $6, $7, $8, $9)"
                   " ON CONFLICT (node) DO UPDATE SET updated = excluded.updated, online = excluded.online,"
                   " connections = excluded.connections, logins_ok = excluded.logins_ok,"
                   " logins_failed = excluded.logins_failed, messages = excluded.messages,"
                   " slow_readers = excluded.slow_readers, bytes_in = excluded.bytes_in, bytes_out = excluded.bytes_out";
        case Query::RecentNodeStats:
            return "SELECT node, {unix:updated}, online, connections, logins_ok, logins_failed, messages, slow_readers,"
                   " bytes_in, bytes_out FROM node_stats WHERE {within:updated:$1} ORDER BY node";
        // The cluster's presence, in a shared database only.
        case Query::Heartbeat:
            return "INSERT INTO nodes (name, seen) VALUES ($1, {now}) ON CONFLICT (name) DO UPDATE SET seen = excluded.seen";
        // Presence rows an older version of the nodes wrote; presence lives in memory now.
        case Query::ClearPresence: return "DELETE FROM presence WHERE node = $1";
    }
    return "";
}

#undef VEXA_PROFILE_COLUMNS

const char* SchemaVersionTable() { return "CREATE TABLE IF NOT EXISTS schema_version (version {int} NOT NULL)"; }

const std::vector<std::vector<SchemaStep>>& Schema() {
    static const std::vector<std::vector<SchemaStep>> steps = {
        {
            {"CREATE TABLE IF NOT EXISTS accounts ("
             " id {int} PRIMARY KEY, name {bytes} NOT NULL UNIQUE, pwhash {hash} NOT NULL,"
             " nickname {bytes} NOT NULL DEFAULT {no-bytes}, littleword {bytes} NOT NULL DEFAULT {no-bytes},"
             " birthday {bytes} NOT NULL DEFAULT {bytes-literal:'19000101'}, sex {int} NOT NULL DEFAULT 0,"
             " photo {bytes} NOT NULL DEFAULT {no-bytes}, pos_id {int} NOT NULL DEFAULT 0,"
             " pos_ms {bytes} NOT NULL DEFAULT {no-bytes}, pos0 {int} NOT NULL DEFAULT 0,"
             " pos1 {int} NOT NULL DEFAULT 0, pos2 {int} NOT NULL DEFAULT 0, pos3 {int} NOT NULL DEFAULT 0,"
             " class {int} NOT NULL DEFAULT 0, vip {int} NOT NULL DEFAULT 0, status {int} NOT NULL DEFAULT 1,"
             " status_note {bytes} NOT NULL DEFAULT {no-bytes}, style {int} NOT NULL DEFAULT 0,"
             " afset {int} NOT NULL DEFAULT 0, vp {int} NOT NULL DEFAULT 0, lt {int} NOT NULL DEFAULT 0)"},
            {"CREATE TABLE IF NOT EXISTS friends (owner {int} NOT NULL REFERENCES accounts(id){cascade},"
             " friend {int} NOT NULL REFERENCES accounts(id){cascade}, PRIMARY KEY (owner, friend)){without-rowid}"},
            {"CREATE SEQUENCE IF NOT EXISTS friend_request_order", true},
            {"CREATE TABLE IF NOT EXISTS friend_requests (from_id {int} NOT NULL REFERENCES accounts(id){cascade},"
             " to_id {int} NOT NULL REFERENCES accounts(id){cascade}, text {bytes} NOT NULL, with_text {bool} NOT NULL,"
             " created {int} NOT NULL{request-order-default}, PRIMARY KEY (from_id, to_id)){without-rowid}"},
            {"CREATE INDEX IF NOT EXISTS friend_requests_to ON friend_requests (to_id, created)"},
            {"CREATE TABLE IF NOT EXISTS blacklist (owner {int} NOT NULL REFERENCES accounts(id){cascade},"
             " blocked {int} NOT NULL REFERENCES accounts(id){cascade}, PRIMARY KEY (owner, blocked)){without-rowid}"},
            {"CREATE TABLE IF NOT EXISTS mailbox (seq {serial-key},"
             " recipient {int} NOT NULL REFERENCES accounts(id){cascade}, code {int} NOT NULL, payload {bytes} NOT NULL)"},
            {"CREATE INDEX IF NOT EXISTS mailbox_recipient ON mailbox (recipient, seq)"},
            {"CREATE TABLE IF NOT EXISTS nodes (name TEXT PRIMARY KEY, seen {time} NOT NULL)", true},
            {"CREATE TABLE IF NOT EXISTS presence (account {int} PRIMARY KEY, node TEXT NOT NULL,"
             " since {time} NOT NULL DEFAULT {time-default})",
             true},
        },
        {
            // Version 2: what the operators' console needs.
            {"ALTER TABLE accounts ADD COLUMN disabled {bool} NOT NULL DEFAULT {false}"},
            // Packets kept before the column existed count from now.
            {"ALTER TABLE mailbox ADD COLUMN created {time} NOT NULL DEFAULT {time-default}"},
            {"UPDATE mailbox SET created = {now}"},
            {"CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value {bytes} NOT NULL)"},
            {"CREATE TABLE IF NOT EXISTS node_stats (node TEXT PRIMARY KEY, updated {time} NOT NULL,"
             " online {int} NOT NULL, connections {int} NOT NULL, logins_ok {int} NOT NULL,"
             " logins_failed {int} NOT NULL, messages {int} NOT NULL, slow_readers {int} NOT NULL,"
             " bytes_in {int} NOT NULL, bytes_out {int} NOT NULL)"},
            {"CREATE INDEX IF NOT EXISTS friends_friend ON friends (friend)"},
            {"CREATE INDEX IF NOT EXISTS blacklist_blocked ON blacklist (blocked)"},
        },
        {
            // Version 3: every writer of a shared database (a node, the command
            // line's account work, an operator's psql) announces changes to what
            // the nodes keep in memory, on the channel kLookupsChannel. Names
            // only change or vanish by update and delete; a new account was
            // never kept as missing.
            {"CREATE OR REPLACE FUNCTION vexa_lookups_changed() RETURNS trigger LANGUAGE plpgsql AS"
             " $$BEGIN PERFORM pg_notify('vexa_lookups', ''); RETURN NULL; END$$",
             true},
            {"CREATE OR REPLACE TRIGGER accounts_lookups AFTER DELETE OR UPDATE OF name ON accounts"
             " FOR EACH ROW EXECUTE FUNCTION vexa_lookups_changed()",
             true},
            {"CREATE OR REPLACE TRIGGER blacklist_lookups AFTER INSERT OR UPDATE OR DELETE ON blacklist"
             " FOR EACH ROW EXECUTE FUNCTION vexa_lookups_changed()",
             true},
            {"CREATE OR REPLACE TRIGGER accounts_lookups_emptied AFTER TRUNCATE ON accounts"
             " FOR EACH STATEMENT EXECUTE FUNCTION vexa_lookups_changed()",
             true},
            {"CREATE OR REPLACE TRIGGER blacklist_lookups_emptied AFTER TRUNCATE ON blacklist"
             " FOR EACH STATEMENT EXECUTE FUNCTION vexa_lookups_changed()",
             true},
        },
    };
    return steps;
}

}  // namespace vexa::server::sql
