#include "protocol/requests.h"

#include <string>

#include "protocol/frame.h"
#include "protocol/style.h"
#include "protocol/text.h"

namespace vexa::protocol {
namespace {

// A record's text field: up to its NUL, never past its width.
template <std::size_t N>
std::string_view Field(const char (&field)[N]) {
    return text::CString(field, N);
}

// Builds one request piece by piece: values are appended as bytes and never
// pass through a format string. The four bytes of the length field come
// first and are filled in when the body is complete, so the request is
// written into one buffer.
class Body {
public:
    explicit Body(int code, std::size_t expected = 64) {
        bytes_.reserve(expected + 8);
        bytes_.assign("0000");
        bytes_.append(FourDigits(code));
    }
    Body& Text(std::string_view value) {
        bytes_.append(value);
        return *this;
    }
    Body& Number(long long value) {
        bytes_.append(std::to_string(value));
        return *this;
    }
    Body& Separator() {
        bytes_.append(kFieldSeparator, kSeparatorLength);
        return *this;
    }
    // Frames the body: its length as four digits first. Refused when it does
    // not fit the four digits, never cut.
    std::optional<std::string> Framed() {
        const std::size_t length = bytes_.size() - 4;
        if (length > static_cast<std::size_t>(kMaxFrameLength)) return std::nullopt;
        bytes_.replace(0, 4, FourDigits(static_cast<int>(length)));
        return std::move(bytes_);
    }
    std::string& Bytes() { return bytes_; }

private:
    std::string bytes_;
};

// The requests of the form own id "!|!" user.
std::optional<std::string> OwnThenUser(int code, std::string_view ownId, std::string_view user) {
    ownId = text::UpToNul(ownId);
    if (ownId.empty()) return std::nullopt;
    return Body(code).Text(ownId).Separator().Text(text::UpToNul(user)).Framed();
}

// A record whose user must be the logged-in user: compared byte for byte.
bool IsOwnRecord(std::string_view ownId, std::string_view recordUser) {
    return !ownId.empty() && text::Equal(recordUser, ownId);
}

}  // namespace

std::optional<std::string> BuildLoginRequest(const IM_USER_LOGINDATA& login) {
    // A field that fills its whole width has no NUL, so the record has no end
    // there: refused rather than guessed at.
    const std::string_view userId = Field(login.userId);
    const std::string_view password = Field(login.password);
    if (userId.size() == sizeof login.userId || password.size() == sizeof login.password) return std::nullopt;
    if (userId.empty() || password.empty()) return std::nullopt;
    return Body(kRequestLogin).Text(userId).Separator().Text(password).Framed();
}

std::string BuildKeepAliveRequest() { return *Body(kRequestKeepAlive).Text("Keepalive").Framed(); }

std::optional<std::string> BuildExitRequest(std::string_view ownId) {
    ownId = text::UpToNul(ownId);
    if (ownId.empty()) return std::nullopt;
    return Body(kRequestExit).Text(ownId).Framed();
}

std::optional<std::string> BuildInitDataRequest(int n) { return Body(kRequestInitData).Number(n).Framed(); }

namespace {

// The <msg> element of a chat request, appended to out.
void AppendChatBody(std::string& body, std::string_view ownId, const IM_CHAT_DATA& chat) {
    body.append("<msg><id>").append(std::to_string(chat.id));
    body.append("</id><fusr>").append(ownId);
    body.append("</fusr><tusr>").append(Field(chat.peer));
    body.append("</tusr><imzt>");
    AppendStyleText(body, chat.format);
    body.append("</imzt><cnt>").append(Field(chat.content));
    body.append("</cnt>");
    // contentLength 0 marks a file message, whatever content holds.
    if (chat.contentLength == 0) {
        const IM_FILE_INFO& file = chat.file;
        body.append("<file>").append(Field(file.text1));
        body.append(kFileSeparator, kSeparatorLength).append(std::to_string(file.value1));
        body.append(kFileSeparator, kSeparatorLength).append(Field(file.text2));
        body.append(kFileSeparator, kSeparatorLength).append(Field(file.text3));
        body.append(kFileSeparator, kSeparatorLength).append(std::to_string(file.value2));
        body.append("</file>");
    }
    body.append("</msg>");
}

}  // namespace

std::string BuildChatBody(std::string_view ownId, const IM_CHAT_DATA& chat) {
    std::string body;
    body.reserve(256 + ownId.size() + sizeof chat.content);
    AppendChatBody(body, ownId, chat);
    return body;
}

std::optional<std::string> BuildChatRequest(std::string_view ownId, const IM_CHAT_DATA* chat) {
    if (!chat) return std::nullopt;
    const std::string_view peer = Field(chat->peer);
    ownId = text::UpToNul(ownId);
    if (peer.empty() || ownId.empty()) return std::nullopt;
    const std::string_view content = Field(chat->content);
    Body body(kRequestChat, 300 + 2 * peer.size() + 2 * ownId.size() + content.size());
    body.Text(peer).Separator().Text("SYSTEMDATE").Separator().Text(ownId).Separator().Number(chat->msgType).Separator();
    AppendChatBody(body.Bytes(), ownId, *chat);
    return body.Framed();
}

std::optional<std::string> BuildAskAddFriendRequest(std::string_view ownId, std::string_view user,
                                                    std::string_view text, int withText) {
    ownId = text::UpToNul(ownId);
    if (ownId.empty()) return std::nullopt;
    Body body(kRequestAskAddFriend);
    body.Text(ownId).Separator().Text(text::UpToNul(user));
    if (withText != 0) body.Separator().Text(text::UpToNul(text));
    return body.Framed();
}

std::optional<std::string> BuildReplyAddFriendRequest(std::string_view ownId, std::string_view user,
                                                      std::string_view text, bool agree, int n) {
    ownId = text::UpToNul(ownId);
    if (ownId.empty()) return std::nullopt;
    Body body(kRequestReplyAddFriend);
    body.Text(ownId).Separator().Text(text::UpToNul(user)).Separator();
    // "0" is yes; only a yes carries the number.
    if (agree)
        body.Text("0").Separator().Number(n);
    else
        body.Text("1");
    return body.Separator().Text(text::UpToNul(text)).Framed();
}

std::optional<std::string> BuildAddBlacklistRequest(std::string_view ownId, std::string_view user, int n) {
    ownId = text::UpToNul(ownId);
    if (ownId.empty()) return std::nullopt;
    return Body(kRequestAddBlacklist).Text(ownId).Separator().Text(text::UpToNul(user)).Separator().Number(n).Framed();
}

std::optional<std::string> BuildDeleteFriendRequest(std::string_view ownId, std::string_view user) {
    return OwnThenUser(kRequestDeleteFriend, ownId, user);
}

std::optional<std::string> BuildInviteRequest(std::string_view ownId, std::string_view user) {
    return OwnThenUser(kRequestInvite, ownId, user);
}

std::optional<std::string> BuildChangeStatusRequest(std::string_view ownId, const IM_USER_CHANGESTATUS* status) {
    ownId = text::UpToNul(ownId);
    if (!status || !IsOwnRecord(ownId, Field(status->user))) return std::nullopt;
    return Body(kRequestChangeStatus)
        .Text(ownId)
        .Separator()
        .Number(status->status)
        .Separator()
        .Text(Field(status->note))
        .Framed();
}

std::optional<std::string> BuildChangePositionRequest(std::string_view ownId, const IM_USER_POSITION* position) {
    ownId = text::UpToNul(ownId);
    if (!position || !IsOwnRecord(ownId, Field(position->user))) return std::nullopt;
    const IM_USER_POSITION& p = *position;
    return Body(kRequestChangePosition, 400)
        .Text(ownId)
        .Separator()
        .Text("<id>").Number(p.id)
        .Text("</id><ms>").Text(Field(p.ms))
        .Text("</ms><pos0>").Number(p.pos0)
        .Text("</pos0><pos1>").Number(p.pos1)
        .Text("</pos1><pos2>").Number(p.pos2)
        .Text("</pos2><pos3>").Number(p.pos3)
        .Text("</pos3>")
        .Framed();
}

std::optional<std::string> BuildChangeUserInfoRequest(std::string_view ownId, const IM_USERCHANGEDATA* data) {
    ownId = text::UpToNul(ownId);
    if (!data || !IsOwnRecord(ownId, Field(data->user))) return std::nullopt;
    const IM_USERCHANGEDATA& d = *data;
    // The peers read the birthday under the tag spelled "brithday".
    return Body(kRequestChangeUserInfo, 400)
        .Text(ownId)
        .Separator()
        .Text("<user><nickname>").Text(Field(d.nickname))
        .Text("</nickname><oldpass>").Text(Field(d.oldpass))
        .Text("</oldpass><newpass>").Text(Field(d.newpass))
        .Text("</newpass><littleword>").Text(Field(d.littleword))
        .Text("</littleword><brithday>").Text(Field(d.birthday))
        .Text("</brithday><afset>").Number(d.afset)
        .Text("</afset></user>")
        .Framed();
}

std::optional<std::string> BuildGetUserInfoRequest(std::string_view ownId, std::string_view user) {
    if (text::UpToNul(ownId).empty()) return std::nullopt;
    return Body(kRequestGetUserInfo).Text(text::UpToNul(user)).Framed();
}

std::optional<std::string> BuildAsk1V1Request(std::string_view ownId, std::string_view user) {
    return OwnThenUser(kRequestAsk1V1, ownId, user);
}

std::optional<std::string> BuildReply1V1Request(std::string_view ownId, std::string_view user, int agree) {
    ownId = text::UpToNul(ownId);
    if (ownId.empty()) return std::nullopt;
    // Unlike every other request the other user comes first.
    return Body(kRequestReply1V1)
        .Text(text::UpToNul(user))
        .Separator()
        .Text(ownId)
        .Separator()
        .Text(agree != 0 ? "0" : "1")
        .Framed();
}

std::optional<std::string> BuildStop1V1Request(std::string_view ownId, std::string_view user) {
    return OwnThenUser(kRequestStop1V1, ownId, user);
}

std::optional<std::string> BuildSendAskRequest(std::string_view ownId) {
    ownId = text::UpToNul(ownId);
    if (ownId.empty()) return std::nullopt;
    return Body(kRequestSendAsk).Text(ownId).Framed();
}

}  // namespace vexa::protocol
