#include "protocol/user_records.h"

#include <cstring>
#include <vector>

#include "protocol/frame.h"
#include "protocol/sendask_list.h"
#include "protocol/text.h"

namespace vexa::protocol {

namespace {

using text::AtoI;
using text::TakeBetween;
using text::TakeField;

// Birthday of a user whose profile gives none that fits.
constexpr char kDefaultBirthday[] = "19000101";

std::string_view Element(std::string_view& body, std::string_view open, std::string_view close) {
    return TakeBetween(body, open, close);
}

uint8_t Flag(std::string_view text) { return text == "1" ? 1 : 0; }

}  // namespace

bool TakePositionElements(std::string_view body, PositionElements& out) {
    out.id = Element(body, "<id>", "</id>");
    if (out.id.empty()) return false;
    out.ms = Element(body, "<ms>", "</ms>");
    static constexpr std::string_view kOpen[] = {"<pos0>", "<pos1>", "<pos2>", "<pos3>"};
    static constexpr std::string_view kClose[] = {"</pos0>", "</pos1>", "</pos2>", "</pos3>"};
    for (out.numbers = 0; out.numbers < 4; ++out.numbers) {
        std::string_view value = Element(body, kOpen[out.numbers], kClose[out.numbers]);
        if (value.empty()) return false;
        out.pos[out.numbers] = value;
    }
    return true;
}

ProfileElements TakeProfileElements(std::string_view body, bool withOldPassword) {
    ProfileElements e;
    e.nickname = Element(body, "<nickname>", "</nickname>");
    if (withOldPassword) e.oldpass = Element(body, "<oldpass>", "</oldpass>");
    e.newpass = Element(body, "<newpass>", "</newpass>");
    e.littleword = Element(body, "<littleword>", "</littleword>");
    e.birthday = Element(body, "<brithday>", "</brithday>");
    e.afset = Element(body, "<afset>", "</afset>");
    return e;
}

bool ParsePosition(std::string_view body, IM_USER_POSITION& position) {
    if (body.empty()) return false;
    PositionElements e;
    const bool whole = TakePositionElements(body, e);
    if (e.id.empty()) return false;
    position.id = static_cast<uint8_t>(AtoI(e.id) & 0xFF);
    CopyField(position.ms, e.ms);
    int32_t* const numbers[] = {&position.pos0, &position.pos1, &position.pos2, &position.pos3};
    for (int i = 0; i < e.numbers; ++i) *numbers[i] = AtoI(e.pos[i]);
    return whole;
}

bool ParseUserInfo(std::string_view body, IM_USER_INFO& user) {
    if (body.empty()) return false;
    std::string_view id = Element(body, "<id>", "</id>");
    if (id.empty() || AtoI(id) <= 0) return false;
    user.id = AtoI(id);
    if (!CopyField(user.name, Element(body, "<name>", "</name>"))) return false;
    // The nickname holds at most 20 bytes although its field is wider, and is
    // never empty: the account name stands in for a missing or long one.
    std::string_view nickname = Element(body, "<nickname>", "</nickname>");
    if (!nickname.empty() && nickname.size() <= 20)
        CopyField(user.nickname, nickname);
    else
        CopyField(user.nickname, text::CString(user.name, sizeof user.name));
    CopyField(user.littleword, Element(body, "<littleword>", "</littleword>"));
    if (!CopyField(user.birthday, Element(body, "<brithday>", "</brithday>")))
        CopyField(user.birthday, kDefaultBirthday);
    // A position that does not parse leaves what it read; the user stands.
    ParsePosition(Element(body, "<pos>", "</pos>"), user.pos);
    user.sex = Flag(Element(body, "<sex>", "</sex>"));
    user.userClass = AtoI(Element(body, "<class>", "</class>"));
    user.vip = AtoI(Element(body, "<vip>", "</vip>"));
    user.status = AtoI(Element(body, "<status>", "</status>"));
    user.style = AtoI(Element(body, "<style>", "</style>"));
    user.afset = AtoI(Element(body, "<afset>", "</afset>"));
    CopyField(user.photo, Element(body, "<photo>", "</photo>"));
    user.vp = Flag(Element(body, "<vp>", "</vp>"));
    user.lt = Flag(Element(body, "<lt>", "</lt>"));
    return true;
}

bool ParseChangeData(std::string_view body, IM_USERCHANGEDATA& data) {
    // The answer carries no old password.
    const ProfileElements e = TakeProfileElements(body, false);
    if (!CopyField(data.nickname, e.nickname)) return false;
    if (e.newpass.size() >= sizeof data.newpass) return false;
    CopyField(data.newpass, e.newpass);  // an empty new password stays empty
    CopyField(data.littleword, e.littleword);
    if (!CopyField(data.birthday, e.birthday)) return false;
    if (e.afset.empty()) return false;
    data.afset = AtoI(e.afset);
    return true;
}

std::vector<std::string_view> SplitToArray(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    while (true) {
        std::size_t at = text::Find(text, separator);
        if (at == text::npos || at == 0) {
            pieces.push_back(text);
            break;
        }
        pieces.push_back(text.substr(0, at));
        text.remove_prefix(at + separator.size());
        if (text.empty()) break;
    }
    return pieces;
}

void OnFriendList(std::string_view body, DeliveryPort& port) {
    if (body.empty()) return;
    std::vector<IM_USER_INFO> users;
    while (true) {
        std::string_view element = Element(body, "<user>", "</user>");
        if (element.empty()) break;
        IM_USER_INFO user;
        std::memset(&user, 0, sizeof user);
        if (ParseUserInfo(element, user)) users.push_back(user);
    }
    const int32_t over = AtoI(Element(body, "<over>", "</over>"));
    if (users.empty()) return;
    IM_FRIENDLIST_DATA record;
    std::memset(&record, 0, sizeof record);
    record.count = static_cast<int32_t>(users.size());
    record.users = users.data();
    record.over = over;
    port.Notify(IMN_FRIEND_LIST, &record);
}

void OnUserPosition(std::string_view body, DeliveryPort& port) {
    IM_USER_POSITION record;
    std::memset(&record, 0, sizeof record);
    if (!CopyField(record.user, TakeField(body, kFieldSeparator))) return;
    if (!ParsePosition(body, record)) return;
    port.Notify(IMN_USER_POSITION, &record);
}

void OnChangeInfoResult(std::string_view body, DeliveryPort& port) {
    if (body.empty()) return;
    IM_CHANGEINFO_RESULT record;
    std::memset(&record, 0, sizeof record);
    if (TakeField(body, kFieldSeparator) == "0") {
        record.result = 1;
        std::string_view element = Element(body, "<user>", "</user>");
        if (element.empty()) return;
        // A profile that stops parsing early is still a successful change;
        // the fields it did not reach stay zero.
        ParseChangeData(element, record.data);
    } else {
        CopyField(record.message, TakeField(body, kFieldSeparator));
    }
    port.Notify(IMN_CHANGEINFO_RESULT, &record);
}

void OnUserInfoResult(std::string_view body, DeliveryPort& port) {
    if (body.empty()) return;
    IM_USERINFO_RESULT record;
    std::memset(&record, 0, sizeof record);
    if (body.front() == '0') {
        record.result = 1;
        if (!ParseUserInfo(body.substr(1), record.user)) return;
    } else {
        TakeField(body, kFieldSeparator);
        if (!CopyField(record.user.name, TakeField(body, kFieldSeparator))) return;
        CopyField(record.message, TakeField(body, kFieldSeparator));
    }
    port.Notify(IMN_USERINFO_RESULT, &record);
}

void OnSendAskList(std::string_view body, std::string_view ownId, DeliveryPort& port) {
    if (body.empty() || ownId.empty()) return;
    SendAskList list;
    for (std::string_view entry : SplitToArray(body, kFieldSeparator)) {
        IM_SENDASK_ITEM item;
        if (ParseSendAskEntry(entry, item)) list.Append(item);
    }
    // Only entries whose text is too long can be refused; a list left with
    // none tells the IM program nothing, like an empty friend-list batch.
    if (list.Count() == 0) return;
    port.Notify(IMN_SENDASK_LIST, list.Object());
}

}  // namespace vexa::protocol
