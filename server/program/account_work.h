// What the program does with the store before it serves, or instead of
// serving (--admin-only): opening it, and the account work of the command
// line (demo accounts, new accounts and friendships, the console's password).
#pragma once

#include <memory>
#include <string>

#include "server/program/option_table.h"
#include "server/store/store.h"

namespace vexa::server {

// The store the options name: SQLite (its folder made) or PostgreSQL.
// Throws StoreError when it cannot be opened.
std::unique_ptr<Store> OpenStore(const ProgramOptions& program);

// The account work the options ask for; an error text for the command line, or empty.
std::string DoAccountWork(const ProgramOptions& program, Store& store);

// --backup-to: a consistent copy of the SQLite database, made while a
// server may be using it. An error text for the command line, or empty.
std::string BackUp(const ProgramOptions& program);

// The first line of a file (or of standard input, "-"): a password or a token.
bool ReadSecret(const std::string& path, std::string& secret);

}  // namespace vexa::server
