#include "server/admin/web_text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace vexa::server::admin {

namespace {

// One conversion descriptor per call: the console's requests are few and
// each converts a few short texts.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (Usable()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool Usable() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    // Converts what it can of in (advancing it); false on a byte sequence it cannot take.
    bool Convert(std::string_view& in, std::string& out) {
        char buffer[256];
        while (!in.empty()) {
            char* src = const_cast<char*>(in.data());
            std::size_t srcLeft = in.size();
            char* dst = buffer;
            std::size_t dstLeft = sizeof buffer;
            std::size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            out.append(buffer, sizeof buffer - dstLeft);
            in.remove_prefix(in.size() - srcLeft);
            if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
                return false;
            }
        }
        return true;
    }

private:
    iconv_t cd_;
};

void AppendHexByte(std::string& out, unsigned char c) {
    static const char kHex[] = "0123456789abcdef";
    out.append("\\x");
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
    std::string out;
    Converter cv("UTF-8", "CP936");
    if (!cv.Usable()) {
        for (unsigned char c : gbk) c < 0x80 ? out.push_back(static_cast<char>(c)) : AppendHexByte(out, c);
        return out;
    }
    while (!gbk.empty()) {
        if (cv.Convert(gbk, out)) break;
        // A lead byte without its trail byte, or a byte no character has.
        AppendHexByte(out, static_cast<unsigned char>(gbk.front()));
        gbk.remove_prefix(1);
    }
    return out;
}

std::optional<std::string> Utf8ToGbk(std::string_view utf8) {
    Converter cv("CP936", "UTF-8");
    std::string out;
    if (!cv.Usable() || !cv.Convert(utf8, out)) return std::nullopt;
    return out;
}

std::string LogLineToUtf8(std::string_view line) {
    std::string bytes;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 3 < line.size() && line[i + 1] == 'x' && HexValue(line[i + 2]) >= 0 &&
            HexValue(line[i + 3]) >= 0) {
            bytes.push_back(static_cast<char>(HexValue(line[i + 2]) * 16 + HexValue(line[i + 3])));
            i += 3;
        } else {
            bytes.push_back(line[i]);
        }
    }
    // Control characters stay escaped: they were escaped for a reason.
    std::string out;
    for (char c : GbkToUtf8(bytes)) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            AppendHexByte(out, u);
        else
            out.push_back(c);
    }
    return out;
}

std::string EscapeHtml(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        switch (c) {
            case '&': out.append("&amp;"); break;
            case '<': out.append("&lt;"); break;
            case '>': out.append("&gt;"); break;
            case '"': out.append("&quot;"); break;
            case '\'': out.append("&#39;"); break;
            default: out.push_back(c);
        }
    }
    return out;
}

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\n': out.append("\\n"); break;
            case '\t': out.append("\\t"); break;
            default:
                if (u < 0x20 || c == '<' || c == '>' || c == '&' || u == 0x7f) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                    out.append(escaped);
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
    return out;
}

std::string Age(std::int64_t s) {
    if (s < 0) s = 0;
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return std::to_string(s / 60) + " min";
    if (s < 86400) return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
    return std::to_string(s / 86400) + " d " + std::to_string(s % 86400 / 3600) + " h";
}

std::string LocalTime(std::int64_t unixSeconds) {
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::optional<std::int64_t> ParseId(std::string_view text, std::int64_t min, std::int64_t max) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max) return std::nullopt;
    return value;
}

}  // namespace vexa::server::admin
