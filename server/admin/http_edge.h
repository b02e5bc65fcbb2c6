// The console's HTTP edge: reads requests off the network, hands each whole
// request to the console, and writes its answer. It holds the limits that
// keep the console, and the IM server in the same process, standing when a
// client is hostile:
//
//   - a request's head is at most 8 KiB in at most 64 fields (431 past
//     that), its body at most 64 KiB (413);
//   - framing must be unambiguous: at most one Content-Length, of digits
//     alone, and no Transfer-Encoding (400 otherwise, and the connection is
//     closed);
//   - a request must arrive whole within 10 s of the wait for it, so a client
//     that sends slowly holds a buffer, never a thread: reading and writing
//     run on one thread that never blocks, and the console's handlers on a
//     small pool of their own;
//   - at most 256 connections at once, at most 32 from one address.
//
// An exception from a handler is answered with 500 and a fixed text; what
// it says goes to the log only. Built on Boost.Beast (Debian's libboost-dev),
// which is used in http_edge.cpp alone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexa::server::admin {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;         // "GET", "POST", ...
    std::string path;           // as sent, without the query; not decoded
    std::string remoteAddress;  // the peer's address alone
    HttpHeaders headers;
    // The query's fields, then (for a form post) the body's, decoded.
    std::vector<std::pair<std::string, std::string>> params;

    // The first header of that name (any case); empty when there is none.
    std::string Header(std::string_view name) const;
    bool HasHeader(std::string_view name) const;
    bool HasParam(std::string_view name) const;
    // The first value of the field; empty when there is none.
    std::string ParamValue(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string body;
    HttpHeaders headers;  // in the order set; a name may repeat

    void SetContent(std::string content, const char* contentType);
    void SetHeader(std::string name, std::string value);
};

// Decodes application/x-www-form-urlencoded text ("a=1&b=x+y%21").
std::vector<std::pair<std::string, std::string>> DecodeForm(std::string_view text);

class HttpEdge {
public:
    // Runs on a pool thread; may block for a while (the store, password checks).
    using Handler = std::function<void(const HttpRequest&, HttpResponse&)>;

    // Binds at once (port 0: any free one); throws std::runtime_error when it cannot.
    // defaultHeaders go on every answer.
    HttpEdge(const std::string& address, std::uint16_t port, HttpHeaders defaultHeaders, Handler handler);
    // Stops accepting, closes every connection and waits for the handlers running.
    ~HttpEdge();
    HttpEdge(const HttpEdge&) = delete;
    HttpEdge& operator=(const HttpEdge&) = delete;

    std::uint16_t Port() const;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vexa::server::admin
