// The server's counters: counted from any thread, read by Stats, /metrics
// and the operators' console.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vexa::server {

using Clock = std::chrono::steady_clock;

// Durations in fixed buckets, as a Prometheus histogram reports them.
class Histogram {
public:
    // Upper bounds in seconds, from a fast hop on one machine to a stalled database.
    static constexpr std::array<double, 17> kBounds = {0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025,
                                                       0.005,   0.01,   0.025,   0.05,   0.1,   0.25,
                                                       0.5,     1,      2.5,     5,      10};
    struct Snapshot {
        std::array<std::uint64_t, kBounds.size() + 1> buckets{};  // per bucket, not cumulative; the last is +Inf
        std::uint64_t count = 0;
        double sumSeconds = 0;
    };

    void Observe(std::chrono::nanoseconds d) {
        double seconds = std::chrono::duration<double>(d).count();
        std::size_t i = 0;
        while (i < kBounds.size() && seconds > kBounds[i]) ++i;
        buckets_[i].fetch_add(1, std::memory_order_relaxed);
        sumNanos_.fetch_add(static_cast<std::uint64_t>(d.count() < 0 ? 0 : d.count()), std::memory_order_relaxed);
    }
    Snapshot Read() const {
        Snapshot s;
        for (std::size_t i = 0; i < buckets_.size(); ++i) {
            s.buckets[i] = buckets_[i].load(std::memory_order_relaxed);
            s.count += s.buckets[i];
        }
        s.sumSeconds = static_cast<double>(sumNanos_.load(std::memory_order_relaxed)) / 1e9;
        return s;
    }

private:
    std::array<std::atomic<std::uint64_t>, kBounds.size() + 1> buckets_{};
    std::atomic<std::uint64_t> sumNanos_{0};
};

// Why a login was refused: the status characters '1' to '7' of a code-2 answer, in order.
inline constexpr std::array<const char*, 7> kLoginFailureReasons = {
    "no_such_account", "wrong_password", "bad_data", "already_logged_in", "throttled", "unavailable", "disabled"};

struct ServerCounters {
    std::atomic<std::uint64_t> requests{0};
    std::atomic<std::uint64_t> dropped{0};        // requests refused without an answer
    std::atomic<std::uint64_t> slowReaders{0};    // connections closed for their backlog
    std::atomic<std::uint64_t> loginsRefused{0};  // refused by the throttle without a password check
    std::atomic<std::uint64_t> handedBack{0};     // kept packets put back into the mailbox at a close
    std::atomic<std::uint64_t> refusedFull{0};        // connections refused: the server was full
    std::atomic<std::uint64_t> refusedPerAddress{0};  // connections refused: their address had its share

    std::atomic<std::uint64_t> loginsSucceeded{0};
    std::array<std::atomic<std::uint64_t>, kLoginFailureReasons.size()> loginsFailed{};
    // Codes are four digits; the library sends codes below 100.
    std::array<std::atomic<std::uint64_t>, 100> requestsByCode{};
    std::atomic<std::uint64_t> requestsOtherCode{0};
    std::atomic<std::uint64_t> messagesRouted{0};  // chats handed to their user's connection at once
    std::atomic<std::uint64_t> messagesStored{0};  // chats put into a mailbox for later
    std::atomic<std::uint64_t> bytesIn{0}, bytesOut{0};
    Histogram loginHashQueue;  // from a login's password check being queued to its start
    Histogram chatRouting;     // from a chat's handling to its hand-over or mailbox row

    void CountRequest(int code) {
        ++requests;
        if (code >= 0 && code < static_cast<int>(requestsByCode.size()))
            ++requestsByCode[static_cast<std::size_t>(code)];
        else
            ++requestsOtherCode;
    }
    void CountLoginFailure(char status) {
        auto i = static_cast<std::size_t>(status - '1');
        if (status >= '1' && i < loginsFailed.size()) ++loginsFailed[i];
    }
    std::uint64_t LoginFailures() const {
        std::uint64_t n = 0;
        for (const auto& c : loginsFailed) n += c.load();
        return n;
    }
};

// A reading of the counters with the gauges beside them (Server::Stats).
struct ServerStats {
    std::size_t connections = 0;
    std::size_t online = 0;
    std::uint64_t requests = 0;
    std::uint64_t dropped = 0;         // requests refused without an answer
    std::uint64_t slowReaders = 0;     // connections closed for their backlog
    std::uint64_t refusedPerAddress = 0;  // connections refused: their address had its share
    std::uint64_t loginsRefused = 0;   // refused by the throttle without a password check
    std::uint64_t handedBack = 0;      // kept packets put back into the mailbox at a close
};

}  // namespace vexa::server
