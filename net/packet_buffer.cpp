#include "net/packet_buffer.h"

#include <algorithm>
#include <cstring>

namespace vexa::net {
namespace {

// What Data() shows for a buffer without storage. Readers only ever read it
// (capacity 0 leaves no room to write).
char g_emptyStorage[1] = {0};

std::unique_ptr<char[]> MakeStorage(std::uint32_t capacity) {
    // Value-initialised: every byte zero, including the terminating one.
    return std::unique_ptr<char[]>(new char[static_cast<std::size_t>(capacity) + 1]());
}

}  // namespace

PacketBuffer::PacketBuffer(std::uint32_t capacity) {
    if (capacity > kMaxCapacity) return;
    data_ = MakeStorage(capacity);
    capacity_ = capacity;
}

PacketBuffer::PacketBuffer(const char* bytes, std::uint32_t n) {
    if (n > kMaxCapacity || (bytes == nullptr && n > 0)) return;
    data_ = MakeStorage(n);
    if (n > 0) std::memcpy(data_.get(), bytes, n);
    capacity_ = n;
    end_ = n;
}

PacketBuffer::~PacketBuffer() = default;

char* PacketBuffer::Data() { return data_ ? data_.get() : g_emptyStorage; }
const char* PacketBuffer::Data() const { return data_ ? data_.get() : g_emptyStorage; }
char* PacketBuffer::Current() { return Data() + begin_; }
const char* PacketBuffer::Current() const { return Data() + begin_; }

void PacketBuffer::SetRange(std::uint32_t begin, std::uint32_t end) {
    end_ = std::min(end, capacity_);
    begin_ = std::min(begin, end_);
}

bool PacketBuffer::Write(const char* bytes, std::uint32_t n, std::uint32_t pos) {
    if (n == 0) {
        begin_ = end_ = 0;
        return true;
    }
    if (bytes == nullptr) return false;
    if (!data_) {
        if (n > kMaxCapacity) return false;
        data_ = MakeStorage(n);
        std::memcpy(data_.get(), bytes, n);
        capacity_ = n;
        begin_ = 0;
        end_ = n;
        return true;
    }
    const std::uint64_t needed = static_cast<std::uint64_t>(pos) + n;
    if (needed > kMaxCapacity) return false;
    if (needed <= capacity_) {
        // memmove: the caller may hand in bytes from this very buffer.
        std::memmove(data_.get() + pos, bytes, n);
    } else {
        auto grown = MakeStorage(static_cast<std::uint32_t>(needed));
        if (pos > 0) std::memcpy(grown.get(), data_.get(), std::min<std::uint32_t>(capacity_, pos));
        std::memcpy(grown.get() + pos, bytes, n);
        data_ = std::move(grown);
        capacity_ = static_cast<std::uint32_t>(needed);
    }
    begin_ = pos;
    end_ = static_cast<std::uint32_t>(needed);
    return true;
}

}  // namespace vexa::net
