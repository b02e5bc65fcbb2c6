// The server's side of the frame cutter: the same requests whatever the
// chunking, and hostile length fields never make it hold more than one frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frame.h"

namespace vexa::protocol {
namespace {

struct Recorder : RequestReader::Sink {
    std::vector<std::pair<int, std::string>> requests;
    int stopAfter = -1;  // stop the feed after this many requests
    bool OnRequest(int code, std::string_view payload) override {
        requests.emplace_back(code, std::string(payload));
        return stopAfter < 0 || static_cast<int>(requests.size()) < stopAfter;
    }
};

std::vector<std::pair<int, std::string>> FeedInChunks(const std::string& stream, std::size_t chunk) {
    RequestReader reader;
    Recorder sink;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        std::size_t n = std::min(chunk, stream.size() - at);
        EXPECT_EQ(reader.Feed(stream.data() + at, n, sink), n);
    }
    EXPECT_EQ(reader.Buffered(), 0u);
    return sink.requests;
}

TEST(RequestReader, StreamTable) {
    using Requests = std::vector<std::pair<int, std::string>>;
    struct Case {
        std::string stream;
        Requests expected;
        std::uint64_t discarded;
    } cases[] = {
        {"00130007Keepalive", {{7, "Keepalive"}}, 0},
        {"00040021", {{21, ""}}, 0},
        {"0009009910001" "00050021" "5", {{99, "10001"}, {21, "5"}}, 0},
        // A length below 1 drops its four bytes; the next byte starts a new field.
        {"0000" "00040007", {{7, ""}}, 1},
        {"-012" "00040007", {{7, ""}}, 1},
        {"abcd" "00040007", {{7, ""}}, 1},
        // "12ab" reads as 12: twelve bytes follow as one frame.
        {"12ab0003abcdefgh" "00040008", {{3, "abcdefgh"}, {8, ""}}, 0},
        // Too short for a code: read and thrown away.
        {"0003abc" "00040007", {{7, ""}}, 1},
        // A zero byte ends the payload as text.
        {std::string("00090003ab\0cd", 13), {{3, "ab"}}, 0},
        // A code that is not a number reads as 0.
        {"0005xxxx1", {{0, "1"}}, 0},
    };
    for (const Case& c : cases) {
        for (std::size_t chunk : {c.stream.size(), std::size_t(1), std::size_t(3), std::size_t(5)}) {
            RequestReader reader;
            Recorder sink;
            for (std::size_t at = 0; at < c.stream.size(); at += chunk)
                reader.Feed(c.stream.data() + at, std::min(chunk, c.stream.size() - at), sink);
            EXPECT_EQ(sink.requests, c.expected) << c.stream << " chunk " << chunk;
            EXPECT_EQ(reader.Discarded(), c.discarded) << c.stream;
        }
    }
}

TEST(RequestReader, EverySplitOfTwoRequestsGivesTheSameRequests) {
    const std::string stream = std::string("0009009910001") + "00240003u2!|!SYSTEMDATE!|!u1";
    const auto whole = FeedInChunks(stream, stream.size());
    ASSERT_EQ(whole.size(), 2u);
    for (std::size_t split = 1; split < stream.size(); ++split) {
        RequestReader reader;
        Recorder sink;
        reader.Feed(stream.data(), split, sink);
        reader.Feed(stream.data() + split, stream.size() - split, sink);
        EXPECT_EQ(sink.requests, whole) << "split at " << split;
    }
    EXPECT_EQ(FeedInChunks(stream, 1), whole);
}

TEST(RequestReader, LargestFrameIsWholeAndNothingMoreIsHeld) {
    std::string payload(9995, 'x');
    std::string stream = "99990003" + payload;
    RequestReader reader;
    Recorder sink;
    reader.Feed(stream.data(), stream.size() - 1, sink);
    EXPECT_TRUE(sink.requests.empty());
    EXPECT_EQ(reader.Buffered(), stream.size() - 1);
    reader.Feed(stream.data() + stream.size() - 1, 1, sink);
    ASSERT_EQ(sink.requests.size(), 1u);
    EXPECT_EQ(sink.requests[0].second.size(), 9995u);
    EXPECT_EQ(reader.Buffered(), 0u);
}

TEST(RequestReader, SinkCanStopTheFeedAndTheRestIsFedLater) {
    const std::string stream = "00040007" "00040021" "00040044";
    RequestReader reader;
    Recorder sink;
    sink.stopAfter = 1;
    std::size_t used = reader.Feed(stream.data(), stream.size(), sink);
    EXPECT_EQ(used, 8u);
    ASSERT_EQ(sink.requests.size(), 1u);
    sink.stopAfter = -1;
    EXPECT_EQ(reader.Feed(stream.data() + used, stream.size() - used, sink), stream.size() - used);
    ASSERT_EQ(sink.requests.size(), 3u);
    EXPECT_EQ(sink.requests[2].first, 44);
}

}  // namespace
}  // namespace vexa::protocol
