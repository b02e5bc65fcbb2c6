// A link without a socket, for the pieces above the network tested on their
// own (the mailbox) and for the fuzz target of the server's input: what is
// sent to it is recorded, a close is noted, and the test plays the network
// side (acknowledgements, the end). One thread at a time.
#pragma once

#include <string>
#include <vector>

#include "protocol/frame.h"
#include "server/session/link.h"

namespace vexa::server::testing {

class RecordingLink final : public Link {
public:
    struct Sent {
        int code = 0;
        std::string payload;
        Keep keep = Keep::No;
        std::int64_t mailSeq = 0;
    };

    RecordingLink(std::uint64_t serial, asio::any_io_executor requests) : Link(serial, std::move(requests)) {
        SetPeer("127.0.0.1:" + std::to_string(40000 + serial), "127.0.0.1");
    }

    // As a connection: while it closes, kept packets wait for Seal and the
    // rest is not sent any more.
    bool Send(int code, std::string_view payload, Keep keep, std::int64_t mailSeq, std::uint64_t ticket) override {
        if (sealed) return false;
        if (closing) {
            if (keep == Keep::Yes && mailSeq == 0) heldBack.push_back(KeptPacket{code, std::string(payload), ticket});
            return true;
        }
        sent.push_back(Sent{code, std::string(payload), keep, mailSeq});
        queued += protocol::ServerPacketSize(payload.size());
        return true;
    }
    void Close(std::string reason, CloseMode, int lastCode) override {
        if (closing) return;
        closing = true;
        closeReason = std::move(reason);
        if (lastCode >= 0) sent.push_back(Sent{lastCode, "", Keep::No, 0});
    }
    std::vector<KeptPacket> Seal() override {
        sealed = true;
        return std::move(heldBack);
    }
    std::size_t QueuedBytes() const override { return queued; }
    bool Closing() const override { return closing; }
    void RequestRoom() override { roomWanted = true; }
    void RequestDone() override { ++requestsDone; }

    std::vector<Sent> sent;
    std::vector<KeptPacket> heldBack;
    std::size_t queued = 0;  // the backlog as the pump sees it; the test empties it
    bool closing = false, sealed = false, roomWanted = false;
    std::string closeReason;
    int requestsDone = 0;
};

}  // namespace vexa::server::testing
