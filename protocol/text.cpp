#include "protocol/text.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vexa::text {

namespace {

constexpr std::size_t kBlock = 16;

// For the 16 positions of a block at p: bit i of the result is set when
// p[i] == first and p[i + tail] == last, and firstSeen tells whether any
// p[i] == first at all. The block and the 16 bytes at p + tail must lie inside
// the text. With SSE2 (every x86-64 build) this is a few vector instructions;
// elsewhere (the 32-bit DLL targets plain i686) a byte loop gives the same.
#if defined(__SSE2__)
inline unsigned BlockCandidates(const unsigned char* p, std::size_t tail, unsigned char first, unsigned char last,
                                bool& firstSeen) {
    const __m128i head = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                        _mm_set1_epi8(static_cast<char>(first)));
    const __m128i back = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + tail)),
                                        _mm_set1_epi8(static_cast<char>(last)));
    firstSeen = _mm_movemask_epi8(head) != 0;
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(head, back)));
}
#else
inline unsigned BlockCandidates(const unsigned char* p, std::size_t tail, unsigned char first, unsigned char last,
                                bool& firstSeen) {
    unsigned mask = 0;
    firstSeen = false;
    for (unsigned i = 0; i < kBlock; ++i) {
        if (p[i] != first) continue;
        firstSeen = true;
        if (p[i + tail] == last) mask |= 1u << i;
    }
    return mask;
}
#endif

inline unsigned LowestBit(unsigned mask) {
    unsigned index = 0;
    while (!(mask & 1u)) {
        mask >>= 1;
        ++index;
    }
    return index;
}

}  // namespace

std::size_t Find(std::string_view text, std::string_view needle) {
    if (needle.empty()) return 0;
    if (needle.size() > text.size()) return npos;
    const unsigned char* base = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* want = reinterpret_cast<const unsigned char*>(needle.data());
    const std::size_t end = text.size() - needle.size() + 1;  // one past the last position a match can start
    const std::size_t tail = needle.size() - 1;
    const unsigned char first = want[0];
    const unsigned char last = want[tail];
    const bool firstCanTrail = IsTrailByte(first);

    // known is always a character start at or before the next candidate.
    // Whether a candidate starts a character is decided by the run of lead
    // bytes just before it: a byte that is not a lead byte always ends a
    // character, and inside a run of lead bytes (each of which is also a valid
    // trail byte) the characters pair up from the run's start. The run is
    // never read further back than known, and known then moves to the
    // candidate, so every byte is looked at a bounded number of times and the
    // search stays linear. On ASCII text the run is empty.
    std::size_t known = 0;
    auto matchesAt = [&](std::size_t candidate) {
        std::size_t runStart = candidate;
        while (runStart > known && IsLeadByte(base[runStart - 1])) --runStart;
        // An odd run leaves a lead byte right before the candidate, which
        // takes the candidate as its trail byte when it can be one.
        if ((candidate - runStart) % 2 != 0 && firstCanTrail) {
            known = candidate + 1;
            return false;
        }
        known = candidate;
        return std::memcmp(base + candidate, want, needle.size()) == 0;
    };

    // memchr leaps over text without the needle's first byte; where that byte
    // is frequent (markup, GBK trail bytes, hostile text) whole blocks are
    // filtered on the first and last byte at once, and memchr takes over
    // again after a block without the first byte.
    std::size_t pos = 0;
    while (pos < end) {
        const void* hit = std::memchr(base + pos, first, end - pos);
        if (!hit) return npos;
        pos = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - base);
        for (;;) {
            if (end - pos < kBlock) {
                for (; pos < end; ++pos)
                    if (base[pos] == first && base[pos + tail] == last && matchesAt(pos)) return pos;
                return npos;
            }
            bool firstSeen = false;
            unsigned mask = BlockCandidates(base + pos, tail, first, last, firstSeen);
            while (mask) {
                const std::size_t candidate = pos + LowestBit(mask);
                if (matchesAt(candidate)) return candidate;
                mask &= mask - 1;
            }
            pos += kBlock;
            // A block without the first byte hands back to memchr.
            if (!firstSeen) break;
        }
    }
    return npos;
}

// The plain forward walk, kept as the reference the tests and the fuzz
// targets hold Find against.
std::size_t FindByWalking(std::string_view text, std::string_view needle) {
    if (needle.empty()) return 0;
    for (std::size_t pos = 0; pos + needle.size() <= text.size(); pos += CharLength(text, pos))
        if (text.compare(pos, needle.size(), needle) == 0) return pos;
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
    const std::size_t po = Find(text, open);
    // A missing open marker gives an empty value whatever the close marker
    // does, so the second scan is skipped.
    if (po == npos) return {};
    const std::size_t pc = close.empty() ? 0 : Find(text, close);
    if (pc == npos) return {};
    const std::size_t valueStart = po + open.size();
    if (pc == 0) {
        std::string_view value = text.substr(valueStart);
        text = std::string_view();
        return value;
    }
    // The close marker before the open marker, or an empty element.
    if (pc <= valueStart) return {};
    std::string_view value = text.substr(valueStart, pc - valueStart);
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

std::string_view UpToNul(std::string_view text) {
    const std::size_t nul = text.find('\0');
    return nul == npos ? text : text.substr(0, nul);
}

bool Equal(std::string_view a, std::string_view b) { return UpToNul(a) == UpToNul(b); }

bool EqualNoCase(std::string_view a, std::string_view b) {
    a = UpToNul(a);
    b = UpToNul(b);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size();) {
        const std::size_t len = CharLength(a, i);
        if (len == 2) {
            // Equal bytes here make b's character the same two-byte one.
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
        } else {
            char x = a[i], y = b[i];
            if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
            if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
            // A folded single byte never equals a trail byte that b would pair
            // with a lead byte here, so the two texts keep the same characters.
            if (x != y) return false;
        }
        i += len;
    }
    return true;
}

}  // namespace vexa::text
