// The directory of who is online on the other nodes, fed by hand: changes in
// order, a missed change noticed, a snapshot, a new run, a silent node, and
// two nodes with the same account.
#include <gtest/gtest.h>

#include "server/cluster/directory.h"

namespace vexa::server::cluster {
namespace {

using Clock = Directory::Clock;
using std::chrono::seconds;

TEST(ClusterDirectory, FollowsEachNodesChangesAndNoticesAMissedOne) {
    Directory d;
    const auto t = Clock::now();
    // Each row: what a node told, whether its whole list is wanted after it,
    // and who is online afterwards (10001, 10002, 10003).
    struct Row {
        char what;  // U(p), D(own), B(eat), S(napshot)
        std::uint64_t boot, version;
        std::int64_t account;
        bool wanted;
        std::vector<bool> online;
    } rows[] = {
        {'U', 1, 1, 10001, false, {true, false, false}},
        {'U', 1, 2, 10002, false, {true, true, false}},
        {'D', 1, 2, 10002, false, {true, true, false}},  // already seen: ignored
        {'B', 1, 2, 0, false, {true, true, false}},
        {'D', 1, 4, 10001, true, {false, true, false}},  // 3 was missed
        {'B', 1, 5, 0, true, {false, true, false}},      // behind again
        {'S', 1, 5, 10003, false, {false, false, true}},  // the snapshot replaces it all
        {'B', 1, 5, 0, false, {false, false, true}},
        {'B', 2, 0, 0, false, {false, false, false}},    // a new run of the node starts from nothing
        {'U', 2, 2, 10001, true, {true, false, false}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(1, r.what) + std::to_string(r.version));
        bool wanted = false;
        switch (r.what) {
            case 'U': wanted = d.Up("n2", r.boot, r.version, r.account, {100, "n2", r.version}, t); break;
            case 'D': wanted = d.Down("n2", r.boot, r.version, r.account, t); break;
            case 'B': wanted = d.Beat("n2", r.boot, r.version, t); break;
            case 'S': d.Replace(Snapshot{"n2", r.boot, r.version, {{r.account, 100, 1}}}, t); break;
        }
        EXPECT_EQ(wanted, r.wanted);
        EXPECT_EQ(d.OnlineAmong({10001, 10002, 10003}), r.online);
    }
}

TEST(ClusterDirectory, TheNewestLoginIsFoundAndASilentNodeIsDropped) {
    Directory d;
    const auto t = Clock::now();
    d.Up("n2", 1, 1, 10001, {200, "n2", 1}, t);
    d.Up("n3", 1, 1, 10001, {200, "n3", 1}, t + seconds(2));
    d.Up("n3", 1, 2, 10002, {100, "n3", 2}, t + seconds(2));
    ASSERT_TRUE(d.Find(10001));
    EXPECT_EQ(d.Find(10001)->node, "n3");  // same instant: the name decides
    EXPECT_EQ(d.DropSilent(t + seconds(4), seconds(3)), std::vector<std::string>{"n2"});
    EXPECT_EQ(d.Find(10001)->node, "n3");
    EXPECT_EQ(d.DropSilent(t + seconds(6), seconds(3)), std::vector<std::string>{"n3"});
    EXPECT_FALSE(d.Find(10001));
    EXPECT_EQ(d.OnlineAmong({10001, 10002}), (std::vector<bool>{false, false}));
}

}  // namespace
}  // namespace vexa::server::cluster
