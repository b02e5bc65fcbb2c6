// Shared pieces of the protocol fuzz targets: the markers the handlers use,
// and a reference TakeField/TakeBetween built on the plain character walk.
#pragma once

#include <cstdlib>
#include <string_view>

#include "protocol/text.h"

namespace vexa::fuzz {

// Stops the run with a crash report that libFuzzer records.
inline void Require(bool condition) {
    if (!condition) std::abort();
}

struct MarkerPair {
    std::string_view open;
    std::string_view close;
};

// The separators and element markers of the protocol, plus GBK ones whose
// bytes include separator bytes.
inline constexpr MarkerPair kMarkers[] = {
    {"!|!", ""},          {"~|~", ""},           {",", ""},
    {"<id>", "</id>"},    {"<ms>", "</ms>"},     {"<msg>", "</msg>"},
    {"<fusr>", "</fusr>"}, {"<tusr>", "</tusr>"}, {"<imzt>", "</imzt>"},
    {"<cnt>", "</cnt>"},  {"<file>", "</file>"}, {"<user>", "</user>"},
    {"<over>", "</over>"}, {"<nickname>", "</nickname>"}, {"<littleword>", "</littleword>"},
    {"<brithday>", "</brithday>"}, {"<pos0>", "</pos0>"}, {"<status>", "</status>"},
    {"Bold=", ","},       {"Size=", ","},        {"FaceName=", ""},
    {"\x81~", "~|~"},     {"\x81|", "!|!"},      {"\xD5\xC5", "\xCB\xCE"},
};
inline constexpr std::size_t kMarkerCount = sizeof kMarkers / sizeof kMarkers[0];

inline std::string_view ReferenceTakeField(std::string_view& text, std::string_view separator) {
    const std::size_t p = text::FindByWalking(text, separator);
    if (p == text::npos) {
        std::string_view all = text;
        text = {};
        return all;
    }
    std::string_view field = text.substr(0, p);
    text.remove_prefix(p + separator.size());
    return field;
}

inline std::string_view ReferenceTakeBetween(std::string_view& text, std::string_view open, std::string_view close) {
    if (text.empty()) return {};
    const std::size_t po = text::FindByWalking(text, open);
    const std::size_t pc = close.empty() ? 0 : text::FindByWalking(text, close);
    if (po == text::npos || pc == text::npos) return {};
    if (pc == 0) {
        std::string_view value = text.substr(po + open.size());
        text = {};
        return value;
    }
    const long long n = static_cast<long long>(pc) - static_cast<long long>(po + open.size());
    if (n <= 0) return {};
    std::string_view value = text.substr(po + open.size(), static_cast<std::size_t>(n));
    text.remove_prefix(pc + close.size());
    return value;
}

}  // namespace vexa::fuzz
