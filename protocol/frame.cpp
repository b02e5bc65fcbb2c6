#include "protocol/frame.h"

#include <algorithm>
#include <cstring>

#include "protocol/text.h"

namespace vexa::protocol {

std::string FourDigits(int value) {
    // Callers pass 0..9999; anything else is kept within four digits rather
    // than producing a field of another width.
    if (value < 0 || value > 9999) value = ((value % 10000) + 10000) % 10000;
    char digits[4];
    for (int i = 3; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return std::string(digits, 4);
}

std::optional<std::string> FrameRequest(std::string_view body) {
    if (body.size() > static_cast<std::size_t>(kMaxFrameLength)) return std::nullopt;
    std::string framed = FourDigits(static_cast<int>(body.size()));
    framed.append(body);
    return framed;
}

std::optional<std::string> FrameServerPacket(int code, std::string_view payload) {
    if (code < 0 || code > 9999 || payload.size() > kMaxPayloadSize) return std::nullopt;
    std::string framed;
    framed.reserve(ServerPacketSize(payload.size()));
    framed.append(FourDigits(static_cast<int>(payload.size() + kCodeSize)));
    framed.append(FourDigits(code)).append(payload);
    framed.push_back('\0');
    return framed;
}

std::string JoinFields(std::initializer_list<std::string_view> fields) {
    std::size_t size = 0;
    for (std::string_view f : fields) size += f.size() + kSeparatorLength;
    std::string out;
    out.reserve(size);
    bool first = true;
    for (std::string_view f : fields) {
        if (!first) out.append(kFieldSeparator, kSeparatorLength);
        out.append(f);
        first = false;
    }
    return out;
}

FrameCutter::Step FrameCutter::Commit(std::size_t n) {
    filled_ += n;
    if (filled_ < frame_.size()) return Step::More;
    if (frame_.size() > kLengthFieldSize) return Step::Frame;
    const int length = text::AtoI(std::string_view(frame_.data(), kLengthFieldSize));
    if (length < 1) {
        filled_ = 0;
        return Step::NoLength;
    }
    const std::size_t trailer = sender_ == FrameSender::Server ? kTrailerSize : 0;
    frame_.resize(kLengthFieldSize + static_cast<std::size_t>(length) + trailer);
    return Step::More;
}

FrameCutter::Step FrameCutter::Feed(const char*& data, std::size_t& size) {
    const std::size_t n = std::min(size, Wanted());
    std::memcpy(Space(), data, n);
    data += n;
    size -= n;
    return Commit(n);
}

std::string FrameCutter::Take() {
    std::string frame;
    frame.swap(frame_);
    Reset();
    return frame;
}

void FrameCutter::Reset() {
    frame_.assign(kLengthFieldSize, '\0');
    filled_ = 0;
}

bool ReadRequestFrame(std::string_view frame, int& code, std::string_view& payload) {
    if (frame.size() < kFrameHeadSize) return false;
    code = text::AtoI(frame.substr(kLengthFieldSize, kCodeSize));
    payload = text::UpToNul(frame.substr(kFrameHeadSize));
    return true;
}

std::size_t RequestReader::Feed(const char* data, std::size_t size, Sink& sink) {
    const std::size_t total = size;
    while (size > 0) {
        FrameCutter::Step step = cutter_.Feed(data, size);
        if (step == FrameCutter::Step::NoLength) ++discarded_;
        if (step != FrameCutter::Step::Frame) continue;
        const std::string frame = cutter_.Take();
        int code = 0;
        std::string_view payload;
        if (!ReadRequestFrame(frame, code, payload)) {
            ++discarded_;
        } else if (!sink.OnRequest(code, payload)) {
            break;
        }
    }
    return total - size;
}

PacketCheck CheckServerPacket(const char* packet, int size, ServerPacket& out, int& lengthField) {
    out = ServerPacket{};
    if (!packet || size < 4) return PacketCheck::Ignored;
    lengthField = text::AtoI(std::string_view(packet, kLengthFieldSize));
    // With size 4 a length field of -1 would match size - 5, yet there is no
    // byte after it to read a code from: such a packet is refused too.
    if (lengthField < 0 || lengthField != size - 5) return PacketCheck::SizeMismatch;
    // A length of 1 to 3 carries no complete code: the digits that are there
    // are read, the missing ones are not (the trailing zero stops the reading).
    std::string_view codeText(packet + kLengthFieldSize,
                              static_cast<std::size_t>(lengthField < 4 ? lengthField : 4));
    out.code = text::AtoI(codeText);
    out.payloadLength = lengthField - 4;
    if (out.payloadLength > 0) {
        out.payload = packet + kFrameHeadSize;
        out.payloadText = text::UpToNul(std::string_view(out.payload, static_cast<std::size_t>(out.payloadLength)));
    }
    return PacketCheck::Accepted;
}

PacketCheck CheckServerPacket(std::string_view packet, ServerPacket& out, int& lengthField) {
    // Larger than any packet can be; keeps the size within int.
    if (packet.size() > kMaxServerPacketSize + 1) {
        out = ServerPacket{};
        lengthField = packet.size() >= 4 ? text::AtoI(packet.substr(0, 4)) : 0;
        return PacketCheck::SizeMismatch;
    }
    return CheckServerPacket(packet.data(), static_cast<int>(packet.size()), out, lengthField);
}

}  // namespace vexa::protocol
