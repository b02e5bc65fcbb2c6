// Where SQLite and PostgreSQL differ, in one table: each {word} of the common
// text and what it is in either engine. @1 and @2 stand for the word's
// arguments ({word:first:second}). After the words, SQLite's parameters are
// ?1.. where the common text has $1...
#include <cctype>
#include <stdexcept>

#include "server/store/sql.h"

namespace vexa::server::sql {

namespace {

struct Word {
    const char* name;
    const char* sqlite;
    const char* postgres;
};

// SQLite keeps times as Unix seconds, texts as BLOBs, truth as 0 and 1.
constexpr Word kWords[] = {
    {"int", "INTEGER", "BIGINT"},
    {"bytes", "BLOB", "BYTEA"},
    {"no-bytes", "x''", "''::bytea"},
    {"bytes-literal", "@1", "@1::bytea"},
    {"bool", "INTEGER", "BOOLEAN"},
    {"false", "0", "false"},
    {"hash", "TEXT", "BYTEA"},  // the password hash's column
    {"time", "INTEGER", "TIMESTAMPTZ"},
    {"time-default", "0", "now()"},
    {"now", "CAST(strftime('%s', 'now') AS INTEGER)", "now()"},
    {"since", "CAST(strftime('%s', 'now') AS INTEGER) - @1", "EXTRACT(EPOCH FROM now() - @1)::bigint"},
    {"unix", "@1", "EXTRACT(EPOCH FROM @1)::bigint"},
    {"within", "@1 >= CAST(strftime('%s', 'now') AS INTEGER) - @2", "@1 > now() - make_interval(secs => @2)"},
    {"serial-key", "INTEGER PRIMARY KEY AUTOINCREMENT", "BIGSERIAL PRIMARY KEY"},
    {"cascade", "", " ON DELETE CASCADE"},
    {"without-rowid", " WITHOUT ROWID", ""},
    {"greatest", "MAX", "GREATEST"},
    // A parameter compared with or stored in a TEXT column (SQLite binds every text as bytes).
    {"text", "CAST(@1 AS TEXT)", "@1"},
    // A parameter that must be read as bytes where nothing else says so.
    {"bytes-param", "@1", "@1::bytea"},
    {"contains", "instr(@1, @2) > 0", "position(@2::bytea IN @1) > 0"},
    {"request-order", "(SELECT COALESCE(MAX(created), 0) + 1 FROM friend_requests)", "nextval('friend_request_order')"},
    {"request-order-default", "", " DEFAULT nextval('friend_request_order')"},
};

}  // namespace

const Dialect& Dialect::Sqlite() {
    static const Dialect dialect("sqlite", true);
    return dialect;
}

const Dialect& Dialect::Postgres() {
    static const Dialect dialect("postgresql", false);
    return dialect;
}

Dialect::Dialect(const char* name, bool sqlite) : name_(name), sqlite_(sqlite) {
    texts_.reserve(kQueryCount);
    for (std::size_t i = 0; i < kQueryCount; ++i) texts_.push_back(Expand(CommonText(static_cast<Query>(i))));
}

std::string Dialect::WordFor(std::string_view word, std::string_view arguments) const {
    for (const Word& w : kWords) {
        if (word != w.name) continue;
        std::string_view first = arguments.substr(0, arguments.find(':'));
        std::string_view second = first.size() < arguments.size() ? arguments.substr(first.size() + 1) : "";
        std::string out;
        for (const char* at = sqlite_ ? w.sqlite : w.postgres; *at; ++at) {
            if (at[0] == '@' && (at[1] == '1' || at[1] == '2')) {
                out.append(at[1] == '1' ? first : second);
                ++at;
            } else {
                out.push_back(*at);
            }
        }
        return out;
    }
    // The statements are ours: a word missing here is a mistake in them.
    throw std::logic_error("sql: no word {" + std::string(word) + "}");
}

std::string Dialect::Expand(std::string_view text) const {
    std::string worded;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t open = text.find('{', at);
        if (open == std::string_view::npos) {
            worded.append(text.substr(at));
            break;
        }
        std::size_t close = text.find('}', open);
        if (close == std::string_view::npos) throw std::logic_error("sql: an unclosed {word}");
        worded.append(text.substr(at, open - at));
        std::string_view inside = text.substr(open + 1, close - open - 1);
        std::size_t colon = inside.find(':');
        worded.append(WordFor(inside.substr(0, colon),
                              colon == std::string_view::npos ? std::string_view() : inside.substr(colon + 1)));
        at = close + 1;
    }
    if (!sqlite_) return worded;
    // $N becomes ?N: the same parameter however often and wherever it stands.
    for (std::size_t i = 0; i + 1 < worded.size(); ++i)
        if (worded[i] == '$' && std::isdigit(static_cast<unsigned char>(worded[i + 1]))) worded[i] = '?';
    return worded;
}

}  // namespace vexa::server::sql
