// The login throttle on a clock of its own: free failures, doubling delays
// spaced as turns, the lock, fading counts, and accounts that never slow
// each other.
#include <gtest/gtest.h>

#include "server/auth/login_throttle.h"

namespace vexa::server {
namespace {

using ms = std::chrono::milliseconds;

ThrottleOptions Small() {
    ThrottleOptions o;
    o.accountFree = 2;
    o.accountLock = 5;
    o.addressFree = 4;
    o.addressLock = 8;
    o.delay = ms(100);
    o.maxDelay = ms(400);
    o.forget = std::chrono::hours(1);  // no fading unless a test asks for it
    o.lockout = ms(3000);
    o.maxTracked = 4;
    return o;
}

TEST(LoginThrottle, StepTable) {
    enum Action { Admit, Fail, Succeed };
    struct Step {
        int at;  // ms from the start
        std::int64_t account;
        const char* address;
        Action action;
        int turnAt;  // Admit: when the check may run; -1 for a refusal
    } steps[] = {
        // Two free failures: nothing waits.
        {0, 1, "a", Admit, 0},      {0, 1, "a", Fail, 0},       {0, 1, "a", Admit, 0},
        {0, 1, "a", Fail, 0},
        // Then the turns are spaced 100, 200, 400 ms apart.
        {0, 1, "a", Admit, 100},    {100, 1, "a", Fail, 0},     {100, 1, "a", Admit, 300},
        // Nor is another account from the same address, whose count is still free.
        {100, 2, "a", Admit, 100},
        {300, 1, "a", Fail, 0},     {300, 1, "a", Admit, 700},
        // Another account from another address is never slowed.
        {300, 2, "b", Admit, 300},
        // The fifth failure locks the account, even for the right password.
        {700, 1, "a", Fail, 0},     {700, 1, "a", Admit, -1},   {3600, 1, "a", Admit, -1},
        // The lock ends with its time.
        {3700, 1, "a", Admit, 3700}, {3700, 1, "a", Succeed, 0},
        // Success clears the account: free failures again (from a fresh address).
        {3700, 1, "c", Fail, 0},    {3700, 1, "c", Admit, 3700},
    };
    LoginThrottle throttle(Small());
    auto start = LoginThrottle::Clock::now();
    for (const Step& s : steps) {
        SCOPED_TRACE(::testing::Message() << "at " << s.at << " account " << s.account);
        auto now = start + ms(s.at);
        if (s.action == Fail) throttle.Failed(s.account, s.address, now);
        if (s.action == Succeed) throttle.Succeeded(s.account);
        if (s.action != Admit) continue;
        auto v = throttle.Admit(s.account, s.address, now);
        EXPECT_EQ(v.refused, s.turnAt < 0);
        if (s.turnAt >= 0) {
            EXPECT_EQ(std::chrono::duration_cast<ms>(v.notBefore - start).count(), s.turnAt);
        }
    }
}

TEST(LoginThrottle, CountsFadeWithTime) {
    ThrottleOptions o = Small();
    o.forget = ms(1000);
    LoginThrottle throttle(o);
    auto now = LoginThrottle::Clock::now();
    for (int i = 0; i < 4; ++i) throttle.Failed(1, "a", now);
    EXPECT_EQ(throttle.AccountFailures(1, now), 4u);
    EXPECT_GT(throttle.Admit(1, "a", now).notBefore, now);
    EXPECT_EQ(throttle.AccountFailures(1, now + ms(2500)), 2u);
    auto later = now + ms(5000);
    EXPECT_EQ(throttle.Admit(1, "a", later).notBefore, later);
}

TEST(LoginThrottle, AddressGuessingManyAccountsIsSlowedThenRefused) {
    LoginThrottle throttle(Small());
    auto now = LoginThrottle::Clock::now();
    // One failure each at many accounts: no account is slowed, the address is.
    for (int i = 0; i < 4; ++i) throttle.Failed(100 + i, "x", now);
    EXPECT_GT(throttle.Admit(200, "x", now).notBefore, now);
    EXPECT_EQ(throttle.Admit(201, "y", now).notBefore, now) << "another address is not affected";
    for (int i = 4; i < 8; ++i) throttle.Failed(100 + i, "x", now);
    EXPECT_TRUE(throttle.Admit(300, "x", now).refused);
    EXPECT_TRUE(throttle.Admit(0, "x", now).refused) << "names that are no account count too";
}

TEST(LoginThrottle, MemoryIsBoundedAndLocksOutliveEviction) {
    LoginThrottle throttle(Small());
    auto now = LoginThrottle::Clock::now();
    for (int i = 0; i < 5; ++i) throttle.Failed(1, "a", now);
    // Many other accounts and addresses come and go: at most maxTracked are kept,
    // and the locked one is not the one forgotten while others have faded.
    for (int i = 0; i < 100; ++i) throttle.Admit(1000 + i, "addr" + std::to_string(i), now + ms(2000));
    EXPECT_TRUE(throttle.Admit(1, "z", now + ms(2000)).refused);
}

}  // namespace
}  // namespace vexa::server
