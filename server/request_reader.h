// Cuts the byte stream from one client into requests.
//
// A request is four decimal characters of length (code plus payload), four of
// code and the payload, with nothing after it. The length field is read the
// way the library reads the server's (leading blanks and a sign allowed,
// reading stops at the first non-digit); a value below 1 drops those four
// bytes and the next byte starts a new length field. A frame of 1 to 3 bytes
// after its length holds no complete code: it is read and discarded. So a
// reader never holds more than one frame of at most 9999 bytes, whatever the
// client sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexa::server {

class RequestReader {
public:
    // Called for each complete request: the code and the payload up to its
    // first zero byte (the payload is text; what follows a zero is noise).
    // Returning false stops the feed right after this request, so a caller
    // can hold the rest back while an earlier request is still being served.
    struct Sink {
        virtual ~Sink() = default;
        virtual bool OnRequest(int code, std::string_view payload) = 0;
    };

    // Consumes bytes until they are used up or the sink asks to stop; returns
    // how many were consumed.
    std::size_t Feed(const char* data, std::size_t size, Sink& sink);

    // Bytes of the frame in progress (the per-connection memory bound).
    std::size_t Buffered() const { return header_.size() + body_.size(); }
    // Length fields below 1 and frames too short for a code, since the start.
    std::uint64_t Discarded() const { return discarded_; }

private:
    std::string header_;       // up to four length characters
    std::string body_;         // the frame after the length field
    std::size_t expected_ = 0; // body bytes announced by the length field
    std::uint64_t discarded_ = 0;
};

}  // namespace vexa::server
