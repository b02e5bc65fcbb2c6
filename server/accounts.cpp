#include "server/accounts.h"

#include "server/password.h"
#include "server/records.h"
#include "server/server_texts.h"

namespace vexa::server {

AccountResult CreateAccount(Store& store, std::string_view name, std::string_view password,
                            std::string_view nickname) {
    if (!IsValidAccountName(name)) return AccountResult::BadName;
    if (password.empty() || password.size() > 19) return AccountResult::BadPassword;
    if (store.FindByName(name)) return AccountResult::Exists;
    if (!InitPasswordHashing()) return AccountResult::HashFailed;
    auto hash = HashPassword(password);
    if (!hash) return AccountResult::HashFailed;
    std::string_view shown = IsSafeText(nickname, 20) && !nickname.empty() ? nickname : name;
    return store.CreateAccount(name, *hash, shown) ? AccountResult::Created : AccountResult::Exists;
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
