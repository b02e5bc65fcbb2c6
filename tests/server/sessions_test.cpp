// The console's sessions on a clock of their own: the idle end, which a
// page's background poll does not put off, and the end after the lifetime.
#include <gtest/gtest.h>

#include "server/admin/sessions.h"

namespace vexa::server::admin {
namespace {

using std::chrono::minutes;

TEST(AdminSessions, IdleEndIsPutOffByUseButNotByPolls) {
    struct Step {
        int at;     // minutes from the sign-in
        bool poll;  // a background poll rather than a page
        bool alive;
    } steps[] = {
        {20, false, true},  // a page: the idle time starts again
        {45, true, true},   // a poll within 30 minutes of that page
        {49, true, true},
        {51, true, false},  // 31 minutes after the last page: polls alone kept nothing alive
        {52, false, false},
    };
    AdminSessions sessions;
    auto start = AdminSessions::Clock::now();
    std::string token = sessions.Create("127.0.0.1", start);
    for (const Step& s : steps) {
        SCOPED_TRACE(s.at);
        EXPECT_EQ(sessions.Use(token, start + minutes(s.at), false, !s.poll).has_value(), s.alive);
    }
    // Used all the time, a session still ends after its lifetime.
    std::string busy = sessions.Create("127.0.0.1", start);
    for (int at = 10; at < 12 * 60; at += 10) ASSERT_TRUE(sessions.Use(busy, start + minutes(at))) << at;
    EXPECT_FALSE(sessions.Use(busy, start + minutes(12 * 60 + 1)));
}

}  // namespace
}  // namespace vexa::server::admin
