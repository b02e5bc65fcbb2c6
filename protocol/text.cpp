#include "protocol/text.h"

#include <cstdint>
#include <cstring>

namespace vexa::text {

std::size_t Find(std::string_view text, std::string_view needle) {
    if (needle.empty()) return 0;
    if (needle.size() > text.size()) return npos;
    const char* base = text.data();
    const std::size_t size = text.size();
    // boundary is always a character start; candidates come from memchr on the
    // needle's first byte, and the walk from boundary to a candidate tells
    // whether it starts a character. Both only move forward: linear overall.
    std::size_t boundary = 0;
    std::size_t from = 0;
    const char first = needle[0];
    while (from + needle.size() <= size) {
        const void* hit = std::memchr(base + from, first, size - needle.size() + 1 - from);
        if (!hit) return npos;
        std::size_t candidate = static_cast<const char*>(hit) - base;
        while (boundary < candidate) boundary += CharLength(text, boundary);
        if (boundary == candidate && std::memcmp(base + candidate, needle.data(), needle.size()) == 0)
            return candidate;
        from = boundary == candidate ? candidate + 1 : boundary;
    }
    return npos;
}

std::string_view TakeField(std::string_view& text, std::string_view separator) {
    std::size_t p = Find(text, separator);
    if (p == npos) {
        std::string_view all = text;
        text = std::string_view();
        return all;
    }
    std::string_view field = text.substr(0, p);
    text.remove_prefix(p + separator.size());
    return field;
}

std::string_view TakeBetween(std::string_view& text, std::string_view open, std::string_view close) {
    if (text.empty()) return {};
    std::size_t po = Find(text, open);
    std::size_t pc = close.empty() ? 0 : Find(text, close);
    if (po == npos || pc == npos) return {};
    if (pc == 0) {
        std::string_view value = text.substr(po + open.size());
        text = std::string_view();
        return value;
    }
    long long n = static_cast<long long>(pc) - static_cast<long long>(po) - static_cast<long long>(open.size());
    if (n <= 0) return {};
    std::string_view value = text.substr(po + open.size(), static_cast<std::size_t>(n));
    text.remove_prefix(pc + close.size());
    return value;
}

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Wraps like two's-complement 32-bit arithmetic, so a hostile run of digits
// never overflows a signed type.
std::int32_t ParseDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}
}  // namespace

int AtoI(std::string_view text) { return ParseDecimal(text); }
long AtoL(std::string_view text) { return ParseDecimal(text); }

std::string_view CString(const char* text, std::size_t max) {
    if (!text) return {};
    const void* nul = std::memchr(text, 0, max);
    return std::string_view(text, nul ? static_cast<const char*>(nul) - text : max);
}

bool Equal(std::string_view a, std::string_view b) { return a == b; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size();) {
        std::size_t len = CharLength(a, i);
        if (len == 2) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
        } else {
            char x = a[i], y = b[i];
            if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
            if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
            if (x != y) return false;
        }
        i += len;
    }
    return true;
}

}  // namespace vexa::text
