// Hands the packets a test client received to the library's own incoming
// handlers, and keeps copies of the records they deliver: the proof that
// the server's answers carry what the library reads.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "VexaIMPlusRecords.h"
#include "protocol/incoming.h"
#include "server_test_support.h"

namespace vexa::server::testing {

struct Delivered {
    int kind = 0;
    std::string record;                  // the record's bytes
    std::vector<IM_USER_INFO> users;     // kind 2
    int over = -1;                       // kind 2
    std::vector<IM_SENDASK_ITEM> items;  // kind 14
    std::string replyText;               // kind 11

    template <class T>
    T As() const {
        T value{};
        std::memcpy(&value, record.data(), std::min(sizeof(T), record.size()));
        return value;
    }
};

class RecordingPort : public protocol::DeliveryPort {
public:
    std::vector<Delivered> delivered;
    std::vector<std::string> requests;

    long Notify(int kind, const void* lParam) override;
    void Post(int kind, long) override { delivered.push_back(Delivered{kind, {}, {}, -1, {}, {}}); }
    void SendRequest(const std::string& framed) override { requests.push_back(framed); }
    void ShowMessage(const std::string&) override { delivered.push_back(Delivered{-1, {}, {}, -1, {}, {}}); }
    void DebugLine(const std::string&) override {}
    std::string LocalTimeText() override { return "20260101 12:00:00"; }
};

// The library's view of one packet, as the IM side logged in as ownId sees it.
std::vector<Delivered> LibraryView(const Packet& packet, std::string_view ownId);

}  // namespace vexa::server::testing
