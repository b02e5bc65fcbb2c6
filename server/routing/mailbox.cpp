#include "server/routing/mailbox.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <memory>
#include <thread>

#include "server/base/log.h"

namespace vexa::server {

namespace {
constexpr int kMailBatch = 32;
constexpr int kHandBackRetries = 40;
constexpr auto kHandBackRetryWait = std::chrono::milliseconds(250);
constexpr auto kPumpRetryWait = std::chrono::milliseconds(500);
}  // namespace

Mailbox::Mailbox(Store& store, MailOwners& owners, std::size_t maxPerUser, std::size_t room)
    : store_(store), owners_(owners), maxPerUser_(maxPerUser), room_(room) {}

bool Mailbox::Keep(std::int64_t account, int code, const std::string& payload) {
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
            batch = store_.MailAfter(account, cursor, kMailBatch);
            owners_.WithCursor(account, link, [&](MailCursor& c) {
                if (c.seq != cursor) {  // another pump went on meanwhile
                    again = true;
                    return;
                }
                if (batch.empty()) {
                    // Rows are only added under this lock, so an empty read
                    // here means the mailbox is done and live delivery may take over.
                    again = !store_.MailAfter(account, cursor, 1).empty();
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
    std::size_t stored = 0;
    std::vector<Mail> batch;
    batch.reserve(packets.size());
    for (const KeptPacket& p : packets) batch.push_back(Mail{0, p.code, p.payload});
    for (int attempt = 0;; ++attempt) {
        try {
            if (ackedSeq != 0) store_.DeleteMailUpTo(account, ackedSeq);
            ackedSeq = 0;
            // One transaction: all of them, in order, or none.
            store_.AddMails(account, batch);
            stored = packets.size();
            break;
        } catch (const StoreUnavailable& e) {
            if (attempt < kHandBackRetries) {
                std::this_thread::sleep_for(kHandBackRetryWait);
                continue;
            }
            Log(LogLevel::Error, "mailbox of account " + std::to_string(account) + ": " + e.what() + "; " +
                                     std::to_string(packets.size() - stored) + " packets lost");
            break;
        } catch (const StoreError& e) {
            Log(LogLevel::Error, "mailbox of account " + std::to_string(account) + ": " + e.what() + "; " +
                                     std::to_string(packets.size() - stored) + " packets lost");
            break;
        }
    }
    return stored;
}

}  // namespace vexa::server
