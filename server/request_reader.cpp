#include "server/request_reader.h"

#include <algorithm>

#include "protocol/text.h"

namespace vexa::server {

std::size_t RequestReader::Feed(const char* data, std::size_t size, Sink& sink) {
    const std::size_t total = size;
    while (size > 0) {
        if (header_.size() < 4) {
            std::size_t take = std::min<std::size_t>(4 - header_.size(), size);
            header_.append(data, take);
            data += take;
            size -= take;
            if (header_.size() < 4) break;
            int length = text::AtoI(header_);
            if (length < 1) {
                ++discarded_;
                header_.clear();
                continue;
            }
            expected_ = static_cast<std::size_t>(length);
            body_.clear();
            body_.reserve(expected_);
        }
        std::size_t take = std::min(expected_ - body_.size(), size);
        body_.append(data, take);
        data += take;
        size -= take;
        if (body_.size() < expected_) break;

        std::string frame;
        frame.swap(body_);
        header_.clear();
        bool goOn = true;
        if (expected_ < 4) {
            ++discarded_;
        } else {
            int code = text::AtoI(std::string_view(frame).substr(0, 4));
            std::string_view payload = std::string_view(frame).substr(4);
            payload = payload.substr(0, std::min(payload.size(), payload.find('\0')));
            goOn = sink.OnRequest(code, payload);
        }
        if (!goOn) break;
    }
    return total - size;
}

}  // namespace vexa::server
