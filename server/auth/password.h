// Salted password hashes (libsodium's Argon2id string format).
//
// Limits: 2 passes over 19 MiB of memory, the smallest Argon2id setting that
// current password-storage guidance (OWASP) recommends. It is below libsodium's
// INTERACTIVE preset (2 passes, 64 MiB), keeps a login at about 20 ms of one
// core, and lets the tests and the demo start quickly. The limits are stored
// inside each hash, so hashes made with other limits still verify.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vexa::server {

constexpr unsigned long long kPasswordOpsLimit = 2;
// The longest password a login or a change of password is checked with;
// longer ones are refused without hashing.
constexpr std::size_t kMaxCheckedPasswordBytes = 64;
constexpr std::size_t kPasswordMemLimit = 19u * 1024u * 1024u;

// Must be called once before hashing (thread-safe, idempotent).
bool InitPasswordHashing();
// nullopt when hashing fails (out of memory).
std::optional<std::string> HashPassword(std::string_view password);
bool VerifyPassword(std::string_view hash, std::string_view password);

}  // namespace vexa::server
