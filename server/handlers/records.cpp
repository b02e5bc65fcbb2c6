#include "server/handlers/records.h"

#include "protocol/text.h"
#include "protocol/user_records.h"
#include "server/auth/accounts.h"
#include "server/auth/password.h"

namespace vexa::server {

namespace {

void AppendElement(std::string& out, std::string_view tag, std::string_view value) {
    out.append("<").append(tag).append(">").append(value).append("</").append(tag).append(">");
}

void AppendElement(std::string& out, std::string_view tag, long long value) {
    AppendElement(out, tag, std::to_string(value));
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
    protocol::PositionElements e;
    if (!protocol::TakePositionElements(text, e)) return false;
    if (!IsSafeText(e.ms, protocol::kMaxPositionTextBytes)) return false;
    Position pos;
    // The library keeps the low eight bits; the server stores what they will see.
    pos.id = text::AtoI(e.id) & 0xFF;
    pos.ms = std::string(e.ms);
    int* targets[] = {&pos.pos0, &pos.pos1, &pos.pos2, &pos.pos3};
    for (int i = 0; i < 4; ++i) *targets[i] = text::AtoI(e.pos[i]);
    out = std::move(pos);
    return true;
}

bool ParseProfileChange(std::string_view element, ProfileChange& out) {
    const protocol::ProfileElements e = protocol::TakeProfileElements(element, true);
    if (e.nickname.empty() || !IsSafeText(e.nickname, protocol::kMaxNicknameBytes)) return false;
    // The library's login record holds at most 19 password bytes.
    if (e.oldpass.size() > kMaxCheckedPasswordBytes || e.newpass.size() > protocol::kMaxPasswordBytes) return false;
    if (!IsSafeText(e.littleword, protocol::kMaxLittlewordBytes)) return false;
    if (e.birthday.size() != protocol::kBirthdayDigits) return false;
    for (char c : e.birthday)
        if (c < '0' || c > '9') return false;
    if (e.afset.empty()) return false;
    ProfileChange change;
    change.nickname = std::string(e.nickname);
    change.oldpass = std::string(e.oldpass);
    change.newpass = std::string(e.newpass);
    change.littleword = std::string(e.littleword);
    change.birthday = std::string(e.birthday);
    change.afset = text::AtoI(e.afset);
    out = std::move(change);
    return true;
}

std::string ProfileChangeElement(const ProfileChange& change) {
    return "<user><nickname>" + change.nickname + "</nickname><newpass></newpass><littleword>" + change.littleword +
           "</littleword><brithday>" + change.birthday + "</brithday><afset>" + std::to_string(change.afset) +
           "</afset></user>";
}

}  // namespace vexa::server
