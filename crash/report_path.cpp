#include "crash/report_path.h"

#include <cstring>

#include "protocol/text.h"

namespace vexa::crash {
namespace {

constexpr char kExtension[] = "RPT";
constexpr std::size_t kExtensionLength = sizeof kExtension - 1;

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The file system compares names without regard to ASCII letter case.
bool SameNameIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (FoldAscii(*a) != FoldAscii(*b)) return false;
    return *a == *b;
}

}  // namespace

bool MakeReportPath(const char* executablePath, char* out, std::size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = '\0';
    if (executablePath == nullptr) return false;
    std::size_t length = 0;
    while (length < capacity && executablePath[length] != '\0') ++length;
    // An empty path, or one that does not even fit the buffer with its
    // terminator, is not a path the report can sit beside.
    if (length == 0 || length >= capacity) return false;

    // The extension starts at the last "." after the last separator, so a "."
    // in a directory name is never taken for one. The search goes character
    // by character: a GBK trail byte may be 0x5C, the backslash.
    const std::string_view path(executablePath, length);
    std::size_t lastDot = text::npos;
    for (std::size_t pos = 0; pos < length;) {
        const std::size_t charLength = text::CharLength(path, pos);
        if (charLength == 1) {
            if (path[pos] == '\\' || path[pos] == '/') {
                lastDot = text::npos;
            } else if (path[pos] == '.') {
                lastDot = pos;
            }
        }
        pos += charLength;
    }

    std::size_t keep;             // bytes of the executable's path kept
    const char* suffix;           // what follows them
    if (lastDot != text::npos && length - (lastDot + 1) >= kExtensionLength) {
        keep = lastDot + 1;
        suffix = kExtension;
    } else {
        keep = length;
        suffix = ".RPT";
    }
    std::size_t suffixLength = std::strlen(suffix);
    if (keep + suffixLength >= capacity) return false;
    std::memcpy(out, executablePath, keep);
    std::memcpy(out + keep, suffix, suffixLength + 1);

    // 'host.rpt' would name itself: keep its whole name and append instead.
    if (SameNameIgnoringCase(out, executablePath)) {
        suffix = ".RPT";
        suffixLength = std::strlen(suffix);
        if (length + suffixLength >= capacity) {
            out[0] = '\0';
            return false;
        }
        std::memcpy(out, executablePath, length);
        std::memcpy(out + length, suffix, suffixLength + 1);
    }
    return true;
}

}  // namespace vexa::crash
