#include "server/routing/mailbox.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <memory>
#include <thread>

#include "server/base/log.h"

namespace vexa::server {

namespace {
constexpr int kMailBatch = 32;
// A hand-back waits this long for the database under the account's lock,
// which covers a blip; after that its packets wait in memory.
constexpr int kHandBackRetries = 4;
constexpr auto kHandBackRetryWait = std::chrono::milliseconds(250);
constexpr auto kPumpRetryWait = std::chrono::milliseconds(500);
constexpr auto kParkedRetryWait = std::chrono::milliseconds(500);
}  // namespace

Mailbox::Mailbox(Store& store, MailOwners& owners, std::size_t maxPerUser, std::size_t room)
    : store_(store), owners_(owners), maxPerUser_(maxPerUser), room_(room) {}

Mailbox::~Mailbox() { Stop(); }

bool Mailbox::Keep(std::int64_t account, int code, const std::string& payload) {
    StoreParked(account);
    if (store_.MailCount(account) >= maxPerUser_) {
        Log(LogLevel::Warn, "mailbox of account " + std::to_string(account) + " full; packet " +
                                std::to_string(code) + " not kept");
        return false;
    }
    store_.AddMail(account, code, payload);
    return true;
}

void Mailbox::Wake(MailCursor& cursor, const LinkPtr& owner, std::int64_t account) {
    if (cursor.wakeQueued) return;
    cursor.wakeQueued = true;
    asio::post(owner->RequestExecutor(), [this, owner, account] { Pump(owner, account); });
}

void Mailbox::Pump(const LinkPtr& link, std::int64_t account) {
    for (;;) {
        std::int64_t cursor = 0;
        bool go = false;
        bool owned = owners_.WithCursor(account, link, [&](MailCursor& c) {
            c.wakeQueued = false;
            go = c.draining && !c.held;
            cursor = c.seq;
        });
        if (!owned || !go || link->Closing()) return;
        if (link->QueuedBytes() >= room_) {
            link->RequestRoom();
            return;
        }
        std::vector<Mail> batch;
        bool again = false, drained = false;
        try {
            StoreParked(account);
            batch = store_.MailAfter(account, cursor, kMailBatch);
            owners_.WithCursor(account, link, [&](MailCursor& c) {
                if (c.seq != cursor) {  // another pump went on meanwhile
                    again = true;
                    return;
                }
                if (batch.empty()) {
                    // Rows are only added under this lock, so an empty read
                    // here means the mailbox is done and live delivery may take over.
                    again = HasParked(account) || !store_.MailAfter(account, cursor, 1).empty();
                    if (!again) {
                        c.draining = false;
                        drained = true;
                    }
                    return;
                }
                for (const Mail& mail : batch) {
                    link->Send(mail.code, mail.payload, Keep::Yes, mail.seq);
                    c.seq = mail.seq;
                }
                again = true;
            });
        } catch (const StoreError& e) {
            Log(LogLevel::Error, std::string("mailbox: ") + e.what());
            RetryPump(link, account);
            return;
        }
        if (drained) owners_.Drained(account);
        if (!again) return;
    }
}

void Mailbox::RetryPump(const LinkPtr& link, std::int64_t account) {
    auto timer = std::make_shared<asio::steady_timer>(link->RequestExecutor(), kPumpRetryWait);
    timer->async_wait([this, timer, link, account](std::error_code) {
        if (!link->Closing()) Pump(link, account);
    });
}

void Mailbox::Acknowledged(std::int64_t account, std::int64_t seq) {
    try {
        store_.DeleteMailUpTo(account, seq);
    } catch (const StoreError& e) {
        Log(LogLevel::Error, std::string("mailbox: ") + e.what());
    }
}

std::size_t Mailbox::HandBack(std::int64_t account, const std::vector<KeptPacket>& packets, std::int64_t ackedSeq) {
    Parked back{ackedSeq, {}};
    back.mail.reserve(packets.size());
    for (const KeptPacket& p : packets) back.mail.push_back(Mail{0, p.code, p.payload});
    for (int attempt = 0;; ++attempt) {
        try {
            StoreParked(account);  // an earlier hand-back goes first
            Write(store_, account, back);
            return packets.size();
        } catch (const StoreUnavailable& e) {
            if (attempt < kHandBackRetries) {
                std::this_thread::sleep_for(kHandBackRetryWait);
                continue;
            }
            Park(account, std::move(back), e.what());
            return 0;
        } catch (const StoreError& e) {
            Log(LogLevel::Error, "mailbox of account " + std::to_string(account) + ": " + e.what() + "; " +
                                     std::to_string(packets.size()) + " packets lost");
            return 0;
        }
    }
}

bool Mailbox::HasParked(std::int64_t account) {
    if (!anyParked_.load()) return false;
    std::lock_guard<std::mutex> lock(parkedMutex_);
    return parked_.count(account) != 0;
}

void Mailbox::Write(Store& store, std::int64_t account, Parked& parked) {
    if (parked.ackedSeq != 0) store.DeleteMailUpTo(account, parked.ackedSeq);
    parked.ackedSeq = 0;
    // One transaction: all of them, in order, or none.
    if (!parked.mail.empty()) store.AddMails(account, parked.mail);
}

void Mailbox::StoreParked(std::int64_t account) {
    if (!anyParked_.load()) return;
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(parkedMutex_);
        auto found = parked_.find(account);
        if (found == parked_.end()) return;
        Write(store_, account, found->second);
        count = found->second.mail.size();
        parked_.erase(found);
        anyParked_ = !parked_.empty();
    }
    Log(LogLevel::Info, "mailbox of account " + std::to_string(account) + ": " + std::to_string(count) +
                            " packets that waited in memory are kept");
}

void Mailbox::Park(std::int64_t account, Parked back, const std::string& why) {
    if (back.mail.empty() && back.ackedSeq == 0) return;
    const std::size_t count = back.mail.size();
    bool stopped;
    {
        std::lock_guard<std::mutex> lock(parkedMutex_);
        stopped = stopped_;
        if (!stopped) {
            Parked& parked = parked_[account];
            parked.ackedSeq = std::max(parked.ackedSeq, back.ackedSeq);
            parked.mail.insert(parked.mail.end(), std::make_move_iterator(back.mail.begin()),
                               std::make_move_iterator(back.mail.end()));
            anyParked_ = true;
            if (!writer_.joinable()) writer_ = std::thread([this] { WriteParkedLoop(); });
            parkedChanged_.notify_one();
        }
    }
    if (stopped) {
        Log(LogLevel::Error, "mailbox of account " + std::to_string(account) + ": " + why + "; stopping, " +
                                 std::to_string(count) + " packets lost");
        return;
    }
    Log(LogLevel::Warn, "mailbox of account " + std::to_string(account) + ": " + why + "; " + std::to_string(count) +
                            " packets wait in memory until the database is back");
}

void Mailbox::WriteParkedLoop() {
    std::unique_lock<std::mutex> lock(parkedMutex_);
    for (;;) {
        parkedChanged_.wait(lock, [&] { return stopped_ || !parked_.empty(); });
        if (parkedChanged_.wait_for(lock, kParkedRetryWait, [&] { return stopped_; })) return;
        std::vector<std::pair<std::int64_t, std::size_t>> written;
        for (auto it = parked_.begin(); it != parked_.end();) {
            try {
                Write(store_, it->first, it->second);
            } catch (const StoreError&) {
                break;  // still out of reach: all of them wait for the next round
            }
            written.emplace_back(it->first, it->second.mail.size());
            it = parked_.erase(it);
        }
        anyParked_ = !parked_.empty();
        if (written.empty()) continue;
        lock.unlock();
        for (const auto& [account, count] : written) {
            Log(LogLevel::Info, "mailbox of account " + std::to_string(account) + ": " + std::to_string(count) +
                                    " packets that waited in memory are kept");
            owners_.Stored(account);
        }
        lock.lock();
    }
}

void Mailbox::Stop() {
    std::thread writer;
    {
        std::lock_guard<std::mutex> lock(parkedMutex_);
        if (stopped_) return;
        stopped_ = true;
        parkedChanged_.notify_all();
        writer = std::move(writer_);
    }
    if (writer.joinable()) writer.join();
    std::lock_guard<std::mutex> lock(parkedMutex_);
    std::string why;  // once the database has failed, the rest are not tried
    for (auto& [account, parked] : parked_) {
        try {
            if (why.empty()) Write(store_, account, parked);
        } catch (const StoreError& e) {
            why = e.what();
        }
        if (!why.empty())
            Log(LogLevel::Error, "mailbox of account " + std::to_string(account) + ": " + why + "; stopping, " +
                                     std::to_string(parked.mail.size()) + " packets lost");
    }
    parked_.clear();
    anyParked_ = false;
}

}  // namespace vexa::server
