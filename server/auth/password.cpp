#include "server/auth/password.h"

#include <sodium.h>

namespace vexa::server {

bool InitPasswordHashing() { return sodium_init() >= 0; }

std::optional<std::string> HashPassword(std::string_view password) {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), kPasswordOpsLimit, kPasswordMemLimit) != 0)
        return std::nullopt;
    return std::string(out);
}

bool VerifyPassword(std::string_view hash, std::string_view password) {
    // The stored string must be NUL-terminated and fit the library's buffer.
    if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
    std::string terminated(hash);
    return crypto_pwhash_str_verify(terminated.c_str(), password.data(), password.size()) == 0;
}

}  // namespace vexa::server
