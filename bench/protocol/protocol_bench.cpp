// The protocol's text operations measured against memchr over the same bytes
// (the ceiling of any byte search), on realistic and on GBK-heavy payloads;
// building a chat request; and a size sweep on text made to be slow. At the
// end the run prints each operation's time as a multiple of memchr's time on
// the same bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "protocol/requests.h"
#include "protocol/text.h"

namespace {

using vexa::text::TakeBetween;
using vexa::text::TakeField;

// GBK: 你好 世界 张三 宋体 消息, and characters whose second byte is '~' or '|'.
const std::string kNiHao = "\xC4\xE3\xBA\xC3";
const std::string kShiJie = "\xCA\xC0\xBD\xE7";
const std::string kZhangSan = "\xD5\xC5\xC8\xFD";
const std::string kSongTi = "\xCB\xCE\xCC\xE5";
const std::string kXiaoXi = "\xCF\xFB\xCF\xA2";
const std::string kTildeTrail = "\x81~";
const std::string kBarTrail = "\x81|";

std::string Repeat(const std::string& piece, std::size_t bytes) {
    std::string out;
    while (out.size() < bytes) out += piece;
    out.resize(bytes);
    return out;
}

std::string ChatPayload(const std::string& content, const std::string& face) {
    return "u1!|!SYSTEMDATE!|!u2!|!0!|!<msg><id>7</id><fusr>u2</fusr><tusr>u1</tusr><imzt>Bold=1,Underline=0,"
           "Italic=0,TextColor=255,Size=12,FaceName=" + face + "</imzt><cnt>" + content + "</cnt></msg>";
}

std::string FriendList(const std::string& nickname, const std::string& word, std::size_t bytes) {
    std::string out;
    for (int i = 0; out.size() < bytes; ++i)
        out += "<user><id>" + std::to_string(10000 + i) + "</id><nickname>" + nickname + "</nickname><littleword>" +
               word + "</littleword><status>1</status></user>";
    return out + "<over>1</over>";
}

// The payloads: name -> bytes.
const std::map<std::string, std::string>& Corpora() {
    static const std::map<std::string, std::string> corpora = {
        {"chat_ascii", ChatPayload(Repeat("See you at the meeting at 10, bring the slides. ", 900), "Arial")},
        {"chat_gbk", ChatPayload(Repeat(kNiHao + "," + kShiJie + kXiaoXi + kZhangSan, 900), kSongTi)},
        {"chat_gbk_trail_bytes", ChatPayload(Repeat(kTildeTrail + kBarTrail + kNiHao, 900), kSongTi)},
        {"list_ascii", FriendList("alice", "Working from home today", 8000)},
        {"list_gbk", FriendList(kZhangSan, kNiHao + kShiJie + kXiaoXi + kXiaoXi, 8000)},
    };
    return corpora;
}

void SetBytes(benchmark::State& state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

// The ceiling: one full memchr pass over the same bytes for a byte that is
// not there.
void Memchr(benchmark::State& state, const std::string* text) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::memchr(text->data(), '\x01', text->size()));
        benchmark::ClobberMemory();
    }
    SetBytes(state, text->size());
}

// The chat handler's reading: four fields, then the message's elements.
void ReadChat(benchmark::State& state, const std::string* text) {
    for (auto _ : state) {
        std::string_view rest = *text;
        for (int i = 0; i < 4; ++i) benchmark::DoNotOptimize(TakeField(rest, "!|!"));
        std::string_view msg = TakeBetween(rest, "<msg>", "</msg>");
        benchmark::DoNotOptimize(TakeBetween(msg, "<id>", "</id>"));
        benchmark::DoNotOptimize(TakeBetween(msg, "<fusr>", "</fusr>"));
        benchmark::DoNotOptimize(TakeBetween(msg, "<tusr>", "</tusr>"));
        benchmark::DoNotOptimize(TakeBetween(msg, "<imzt>", "</imzt>"));
        benchmark::DoNotOptimize(TakeBetween(msg, "<cnt>", "</cnt>"));
    }
    SetBytes(state, text->size());
}

// The friend-list handler's reading: every <user> record and its elements.
void ReadList(benchmark::State& state, const std::string* text) {
    for (auto _ : state) {
        std::string_view rest = *text;
        for (std::string_view user; !(user = TakeBetween(rest, "<user>", "</user>")).empty();) {
            benchmark::DoNotOptimize(TakeBetween(user, "<id>", "</id>"));
            benchmark::DoNotOptimize(TakeBetween(user, "<nickname>", "</nickname>"));
            benchmark::DoNotOptimize(TakeBetween(user, "<littleword>", "</littleword>"));
        }
    }
    SetBytes(state, text->size());
}

// One search over the whole text that finds nothing: the worst single call.
void FindMissing(benchmark::State& state, const std::string* text) {
    for (auto _ : state) benchmark::DoNotOptimize(vexa::text::Find(*text, "~|~"));
    SetBytes(state, text->size());
}

// The same search by walking every character: what Find replaced.
void FindMissingByWalking(benchmark::State& state, const std::string* text) {
    for (auto _ : state) benchmark::DoNotOptimize(vexa::text::FindByWalking(*text, "~|~"));
    SetBytes(state, text->size());
}

IM_CHAT_DATA ChatRecord(const std::string& content, const std::string& face) {
    IM_CHAT_DATA chat;
    std::memset(&chat, 0, sizeof chat);
    chat.id = 12345;
    std::memcpy(chat.peer, "u2", 2);
    chat.format.cbSize = sizeof chat.format;
    chat.format.dwEffects = 1;
    chat.format.yHeight = 240;
    chat.format.crTextColor = 255;
    std::memcpy(chat.format.szFaceName, face.data(), face.size());
    const std::size_t length = std::min(content.size(), sizeof chat.content - 1);
    std::memcpy(chat.content, content.data(), length);
    chat.contentLength = static_cast<int32_t>(length);
    return chat;
}

void BuildChat(benchmark::State& state, const IM_CHAT_DATA* chat) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto request = vexa::protocol::BuildChatRequest("u1", chat);
        bytes = request->size();
        benchmark::DoNotOptimize(request);
    }
    SetBytes(state, bytes);
}

// Hostile text for the size sweep.
std::string Hostile(const std::string& kind, std::size_t bytes) {
    if (kind == "partial_close") return "<cnt>" + Repeat("</cnt", bytes);          // never a whole "</cnt>"
    if (kind == "partial_separator") return Repeat("~|x", bytes);                 // never a whole "~|~"
    if (kind == "gbk_trail_separators") return Repeat(kTildeTrail + "|", bytes);   // '~' only as a trail byte
    return "<cnt>" + Repeat("\x81", bytes - 1) + "~";                             // one run of lead bytes
}

void SweepTakeBetween(benchmark::State& state, const std::string kind) {
    const std::string text = Hostile(kind, static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::string_view rest = text;
        benchmark::DoNotOptimize(TakeBetween(rest, "<cnt>", "</cnt>"));
        std::string_view again = text;
        benchmark::DoNotOptimize(TakeField(again, "~|~"));
    }
    state.SetComplexityN(state.range(0));
    SetBytes(state, text.size());
}

void SweepMemchr(benchmark::State& state, const std::string kind) {
    const std::string text = Hostile(kind, static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::memchr(text.data(), '\x01', text.size()));
        benchmark::ClobberMemory();
    }
    state.SetComplexityN(state.range(0));
    SetBytes(state, text.size());
}

std::vector<IM_CHAT_DATA>& ChatRecords() {
    static std::vector<IM_CHAT_DATA> records;
    return records;
}

void Register() {
    for (const auto& [name, text] : Corpora()) {
        const std::string* bytes = &text;
        benchmark::RegisterBenchmark(("Memchr/" + name).c_str(), Memchr, bytes);
        if (name.rfind("chat", 0) == 0)
            benchmark::RegisterBenchmark(("ReadChat/" + name).c_str(), ReadChat, bytes);
        else
            benchmark::RegisterBenchmark(("ReadList/" + name).c_str(), ReadList, bytes);
        benchmark::RegisterBenchmark(("FindMissing/" + name).c_str(), FindMissing, bytes);
        benchmark::RegisterBenchmark(("FindMissingByWalking/" + name).c_str(), FindMissingByWalking, bytes);
    }
    auto& records = ChatRecords();
    records.reserve(2);
    records.push_back(ChatRecord(Repeat("See you at the meeting at 10, bring the slides. ", 600), "Arial"));
    records.push_back(ChatRecord(Repeat(kNiHao + "," + kShiJie + kXiaoXi + kZhangSan, 600), kSongTi));
    const char* chatNames[] = {"chat_ascii", "chat_gbk"};
    for (int i = 0; i < 2; ++i) {
        const IM_CHAT_DATA* chat = &records[i];
        // The ceiling for building is memchr over the request's own bytes.
        static std::string built[2];
        built[i] = *vexa::protocol::BuildChatRequest("u1", chat);
        benchmark::RegisterBenchmark((std::string("Memchr/build_") + chatNames[i]).c_str(), Memchr, &built[i]);
        benchmark::RegisterBenchmark((std::string("BuildChat/build_") + chatNames[i]).c_str(), BuildChat, chat);
    }
    for (const std::string kind : {"partial_close", "partial_separator", "gbk_trail_separators", "lead_run"}) {
        benchmark::RegisterBenchmark(("SweepMemchr/" + kind).c_str(), SweepMemchr, kind)
            ->RangeMultiplier(4)->Range(1 << 10, 1 << 18)->Complexity(benchmark::oN);
        benchmark::RegisterBenchmark(("SweepFieldOps/" + kind).c_str(), SweepTakeBetween, kind)
            ->RangeMultiplier(4)->Range(1 << 10, 1 << 18)->Complexity(benchmark::oN);
    }
}

// Prints, after the usual table, each operation's time over memchr's time on
// the same bytes.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs)
            if (run.run_type == Run::RT_Iteration) times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nTime relative to memchr over the same bytes (1.0 = memchr speed):\n");
        for (const auto& [name, time] : times_) {
            const auto slash = name.find('/');
            if (slash == std::string::npos || name.compare(0, slash, "Memchr") == 0 ||
                name.compare(0, slash, "SweepMemchr") == 0)
                continue;
            std::string base = name.compare(0, slash, "SweepFieldOps") == 0 ? "SweepMemchr" : "Memchr";
            const auto found = times_.find(base + name.substr(slash));
            if (found != times_.end() && found->second > 0)
                std::printf("  %-50s %8.2fx\n", name.c_str(), time / found->second);
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
