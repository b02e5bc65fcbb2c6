// One packet's bytes, for the send queue and the receive side of the packet
// socket.
//
// The storage always holds one zero byte more than its capacity, so the
// content can be read as zero-terminated text. Offsets keep
// begin <= end <= capacity; the valid bytes are Data()[begin, end).
#pragma once

#include <cstdint>
#include <memory>

namespace vexa::net {

class PacketBuffer {
public:
    // No buffer is ever made larger than this (20 MiB). The packet socket
    // never asks for more than 10004 bytes; a larger request is refused by
    // leaving the buffer without storage (capacity 0) instead of allocating.
    static constexpr std::uint32_t kMaxCapacity = 0x1400000;

    PacketBuffer() = default;
    // capacity + 1 zero bytes; begin = end = 0. Above kMaxCapacity: no storage.
    explicit PacketBuffer(std::uint32_t capacity);
    // A copy of n bytes and a zero byte; capacity = end = n, begin = 0.
    // Above kMaxCapacity (or bytes null with n > 0): no storage.
    PacketBuffer(const char* bytes, std::uint32_t n);
    virtual ~PacketBuffer();

    PacketBuffer(const PacketBuffer&) = delete;
    PacketBuffer& operator=(const PacketBuffer&) = delete;

    // The storage; without storage, a shared zero byte, so that readers see
    // an empty text rather than a null pointer.
    char* Data();
    const char* Data() const;
    // The first byte not yet consumed (Data() + begin).
    char* Current();
    const char* Current() const;
    std::uint32_t Length() const { return end_ - begin_; }
    std::uint32_t Capacity() const { return capacity_; }
    std::uint32_t Begin() const { return begin_; }
    std::uint32_t End() const { return end_; }
    bool HasStorage() const { return data_ != nullptr; }

    // Sets both offsets. Values that would break begin <= end <= capacity are
    // clamped to it, so no later read or write can leave the storage.
    void SetRange(std::uint32_t begin, std::uint32_t end);

    // Stores n bytes at offset pos and makes them the valid range:
    //  - n = 0 empties the range and keeps the storage;
    //  - without storage the bytes go to offset 0 of new storage of n bytes;
    //  - when they fit, they are copied in place;
    //  - otherwise the storage grows to pos + n, keeping the old content when
    //    pos > 0.
    // Returns false, changing nothing, when the result would exceed
    // kMaxCapacity or bytes is null with n > 0.
    bool Write(const char* bytes, std::uint32_t n, std::uint32_t pos);

private:
    std::uint32_t end_ = 0;
    std::uint32_t begin_ = 0;
    std::unique_ptr<char[]> data_;
    std::uint32_t capacity_ = 0;
};

}  // namespace vexa::net
