#include "server/auth/accounts.h"

#include "protocol/field_widths.h"
#include "protocol/frame.h"
#include "protocol/text.h"
#include "server/auth/password.h"
#include "server/base/texts.h"

namespace vexa::server {

namespace {

bool IsWellFormedGbk(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) return false;
            ++i;
            continue;
        }
        if (text::CharLength(text, i) != 2) return false;  // a stray lead or trail byte
        i += 2;
    }
    return true;
}

}  // namespace

bool IsSafeText(std::string_view text, std::size_t maxBytes) {
    if (text.size() > maxBytes) return false;
    if (!IsWellFormedGbk(text)) return false;
    if (text::Find(text, "<") != text::npos || text::Find(text, ">") != text::npos) return false;
    if (text::Find(text, protocol::kFieldSeparator) != text::npos ||
        text::Find(text, protocol::kFileSeparator) != text::npos)
        return false;
    return true;
}

bool IsValidAccountName(std::string_view name) {
    if (name.empty() || !IsSafeText(name, protocol::kMaxUserIdBytes)) return false;
    for (std::size_t i = 0; i < name.size(); i += text::CharLength(name, i)) {
        char c = name[i];
        if (c == ' ' || c == '!' || c == '|' || c == '~' || c == ':' || c == '&') return false;
    }
    return true;
}

AccountResult CreateAccount(Store& store, std::string_view name, std::string_view password,
                            std::string_view nickname) {
    if (!IsValidAccountName(name)) return AccountResult::BadName;
    if (password.empty() || password.size() > protocol::kMaxPasswordBytes) return AccountResult::BadPassword;
    if (store.FindByName(name)) return AccountResult::Exists;
    if (!InitPasswordHashing()) return AccountResult::HashFailed;
    auto hash = HashPassword(password);
    if (!hash) return AccountResult::HashFailed;
    std::string_view shown = IsSafeText(nickname, protocol::kMaxNicknameBytes) && !nickname.empty() ? nickname : name;
    return store.CreateAccount(name, *hash, shown) ? AccountResult::Created : AccountResult::Exists;
}

PasswordResult SetPassword(Store& store, std::int64_t id, std::string_view password) {
    if (password.empty() || password.size() > protocol::kMaxPasswordBytes) return PasswordResult::BadPassword;
    auto hash = InitPasswordHashing() ? HashPassword(password) : std::nullopt;
    if (!hash) return PasswordResult::HashFailed;
    store.SetPasswordHash(id, *hash);
    return PasswordResult::Set;
}

bool MakeFriends(Store& store, std::string_view a, std::string_view b) {
    auto first = store.FindByName(a);
    auto second = store.FindByName(b);
    if (!first || !second || first->id == second->id) return false;
    store.AddFriendship(first->id, second->id);
    return true;
}

int SeedDemo(Store& store) {
    struct Demo {
        const char* name;
        const char* password;
        const char* nickname;
    };
    const Demo demos[] = {
        {"10001", "alice123", texts::kNickAlice},
        {"10002", "bob123", texts::kNickBob},
        {"10003", "carol123", texts::kNickCarol},
    };
    int created = 0;
    for (const Demo& d : demos)
        if (CreateAccount(store, d.name, d.password, d.nickname) == AccountResult::Created) ++created;
    if (auto alice = store.FindByName("10001")) {
        Profile p = *alice;
        if (p.littleword.empty()) {
            p.littleword = texts::kWordAlice;
            p.birthday = "19950314";
            p.sex = 0;
            store.UpdateDetails(p);
        }
    }
    MakeFriends(store, "10001", "10002");
    MakeFriends(store, "10001", "10003");
    return created;
}

}  // namespace vexa::server
