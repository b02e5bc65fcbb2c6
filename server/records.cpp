#include "server/records.h"

#include <ctime>

#include "protocol/text.h"

namespace vexa::server {

namespace {

void AppendElement(std::string& out, std::string_view tag, std::string_view value) {
    out.append("<").append(tag).append(">").append(value).append("</").append(tag).append(">");
}

void AppendElement(std::string& out, std::string_view tag, long long value) {
    AppendElement(out, tag, std::to_string(value));
}

bool IsWellFormedGbk(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) return false;
            ++i;
            continue;
        }
        if (text::CharLength(text, i) != 2) return false;  // a stray lead or trail byte
        i += 2;
    }
    return true;
}

}  // namespace

std::string UserElement(const Profile& p, int shownStatus) {
    std::string out;
    out.reserve(256 + p.littleword.size() + p.photo.size() + p.pos.ms.size());
    out.append("<user>");
    AppendElement(out, "id", p.id);
    AppendElement(out, "name", p.name);
    AppendElement(out, "nickname", p.nickname);
    AppendElement(out, "littleword", p.littleword);
    AppendElement(out, "brithday", p.birthday);
    AppendElement(out, "pos", PositionElement(p.pos));
    AppendElement(out, "sex", p.sex);
    AppendElement(out, "class", p.userClass);
    AppendElement(out, "vip", p.vip);
    AppendElement(out, "status", shownStatus);
    AppendElement(out, "style", p.style);
    AppendElement(out, "afset", p.afset);
    AppendElement(out, "photo", p.photo);
    AppendElement(out, "vp", p.vp);
    AppendElement(out, "lt", p.lt);
    out.append("</user>");
    return out;
}

std::string PositionElement(const Position& pos) {
    std::string out;
    AppendElement(out, "id", pos.id);
    AppendElement(out, "ms", pos.ms);
    AppendElement(out, "pos0", pos.pos0);
    AppendElement(out, "pos1", pos.pos1);
    AppendElement(out, "pos2", pos.pos2);
    AppendElement(out, "pos3", pos.pos3);
    return out;
}

bool ParsePositionText(std::string_view text, Position& out) {
    Position pos;
    std::string_view id = text::TakeBetween(text, "<id>", "</id>");
    if (id.empty()) return false;
    // The library keeps the low eight bits; the server stores what they will see.
    pos.id = text::AtoI(id) & 0xFF;
    std::string_view ms = text::TakeBetween(text, "<ms>", "</ms>");
    if (!IsSafeText(ms, 255)) return false;
    pos.ms = std::string(ms);
    int* targets[] = {&pos.pos0, &pos.pos1, &pos.pos2, &pos.pos3};
    const char* tags[][2] = {{"<pos0>", "</pos0>"}, {"<pos1>", "</pos1>"}, {"<pos2>", "</pos2>"}, {"<pos3>", "</pos3>"}};
    for (int i = 0; i < 4; ++i) {
        std::string_view value = text::TakeBetween(text, tags[i][0], tags[i][1]);
        if (value.empty()) return false;
        *targets[i] = text::AtoI(value);
    }
    out = std::move(pos);
    return true;
}

bool ParseProfileChange(std::string_view element, ProfileChange& out) {
    ProfileChange change;
    std::string_view nickname = text::TakeBetween(element, "<nickname>", "</nickname>");
    if (nickname.empty() || !IsSafeText(nickname, 20)) return false;
    change.nickname = std::string(nickname);
    std::string_view oldpass = text::TakeBetween(element, "<oldpass>", "</oldpass>");
    std::string_view newpass = text::TakeBetween(element, "<newpass>", "</newpass>");
    // The library's login record holds at most 19 password bytes.
    if (oldpass.size() > 64 || newpass.size() > 19) return false;
    change.oldpass = std::string(oldpass);
    change.newpass = std::string(newpass);
    std::string_view littleword = text::TakeBetween(element, "<littleword>", "</littleword>");
    if (!IsSafeText(littleword, 149)) return false;
    change.littleword = std::string(littleword);
    std::string_view birthday = text::TakeBetween(element, "<brithday>", "</brithday>");
    if (birthday.size() != 8) return false;
    for (char c : birthday)
        if (c < '0' || c > '9') return false;
    change.birthday = std::string(birthday);
    std::string_view afset = text::TakeBetween(element, "<afset>", "</afset>");
    if (afset.empty()) return false;
    change.afset = text::AtoI(afset);
    out = std::move(change);
    return true;
}

bool IsSafeText(std::string_view text, std::size_t maxBytes) {
    if (text.size() > maxBytes) return false;
    if (!IsWellFormedGbk(text)) return false;
    if (text::Find(text, "<") != text::npos || text::Find(text, ">") != text::npos) return false;
    if (text::Find(text, "!|!") != text::npos || text::Find(text, "~|~") != text::npos) return false;
    return true;
}

bool IsValidAccountName(std::string_view name) {
    if (name.empty() || name.size() > 20 || !IsSafeText(name, 20)) return false;
    for (std::size_t i = 0; i < name.size(); i += text::CharLength(name, i)) {
        char c = name[i];
        if (c == ' ' || c == '!' || c == '|' || c == '~' || c == ':' || c == '&') return false;
    }
    return true;
}

std::string ServerTimeText() {
    // Every chat asks; the text changes once a second.
    thread_local std::time_t shown = -1;
    thread_local std::string text;
    std::time_t now = std::time(nullptr);
    if (now != shown) {
        std::tm local{};
        localtime_r(&now, &local);
        char buffer[32];
        std::size_t n = std::strftime(buffer, sizeof buffer, "%Y%m%d %H:%M:%S", &local);
        text.assign(buffer, n);
        shown = now;
    }
    return text;
}

}  // namespace vexa::server
