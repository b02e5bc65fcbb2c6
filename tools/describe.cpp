#include "tools/describe.h"

#include <cstdint>
#include <string_view>

#include "VexaIMPlusRecords.h"
#include "protocol/text.h"

namespace vexa::demo {

namespace {

// Builds "NAME key=value key=\"text\" ..." with every text read within its field.
class Line {
public:
    explicit Line(std::string_view name) : line_(name) {}

    Line& Number(std::string_view key, long long value) {
        line_.append(" ").append(key).append("=").append(std::to_string(value));
        return *this;
    }
    template <std::size_t N>
    Line& Text(std::string_view key, const char (&field)[N]) {
        return Quoted(key, text::CString(field, N));
    }
    Line& Quoted(std::string_view key, std::string_view value) {
        line_.append(" ").append(key).append("=\"").append(value).append("\"");
        return *this;
    }
    Line& Raw(std::string_view piece) {
        line_.append(piece);
        return *this;
    }
    std::string Take() { return std::move(line_); }

private:
    std::string line_;
};

void AddPosition(Line& line, const IM_USER_POSITION& pos) {
    line.Number("pos.id", pos.id).Text("ms", pos.ms).Number("pos0", pos.pos0).Number("pos1", pos.pos1)
        .Number("pos2", pos.pos2).Number("pos3", pos.pos3);
}

void AddUser(Line& line, const IM_USER_INFO& user) {
    line.Number("id", user.id).Text("name", user.name).Text("nickname", user.nickname)
        .Text("littleword", user.littleword).Number("sex", user.sex).Text("birthday", user.birthday)
        .Text("photo", user.photo);
    AddPosition(line, user.pos);
    line.Number("class", user.userClass).Number("vip", user.vip).Number("status", user.status)
        .Number("style", user.style).Number("afset", user.afset).Number("vp", user.vp).Number("lt", user.lt);
}

void AddFile(Line& line, const IM_FILE_INFO& file) {
    line.Text("text1", file.text1).Number("value1", file.value1).Text("text2", file.text2)
        .Text("text3", file.text3).Number("value2", file.value2);
}

void AddFormat(Line& line, const IM_CHARFORMAT& format) {
    line.Number("effects", format.dwEffects).Number("height", format.yHeight)
        .Number("color", format.crTextColor).Text("face", format.szFaceName);
}

// Passwords never appear in a transcript; their length tells enough.
template <std::size_t N>
void AddSecret(Line& line, std::string_view key, const char (&field)[N]) {
    line.Raw(" ").Raw(key).Raw("=<").Raw(std::to_string(text::CString(field, N).size())).Raw(" bytes>");
}

const char* KindName(int kind) {
    switch (kind) {
        case IMN_LOGIN_RESULT: return "IMN_LOGIN_RESULT";
        case IMN_FRIEND_LIST: return "IMN_FRIEND_LIST";
        case IMN_SERVER_CLOSED: return "IMN_SERVER_CLOSED";
        case IMN_CHAT_MESSAGE: return "IMN_CHAT_MESSAGE";
        case IMN_FRIEND_ASK: return "IMN_FRIEND_ASK";
        case IMN_FRIEND_REPLY: return "IMN_FRIEND_REPLY";
        case IMN_FRIEND_RESULT: return "IMN_FRIEND_RESULT";
        case IMN_1V1_ASK: return "IMN_1V1_ASK";
        case IMN_1V1_REPLY: return "IMN_1V1_REPLY";
        case IMN_1V1_STOP: return "IMN_1V1_STOP";
        case IMN_SENDASK_LIST: return "IMN_SENDASK_LIST";
        case IMN_FILE_ASK: return "IMN_FILE_ASK";
        case IMN_ADDBL_RESULT: return "IMN_ADDBL_RESULT";
        case IMN_DELFL_RESULT: return "IMN_DELFL_RESULT";
        case IMN_INVITE: return "IMN_INVITE";
        case IMN_CHANGEINFO_RESULT: return "IMN_CHANGEINFO_RESULT";
        case IMN_USERINFO_RESULT: return "IMN_USERINFO_RESULT";
        case IMN_USER_POSITION: return "IMN_USER_POSITION";
        case IMN_USER_STATUS: return "IMN_USER_STATUS";
        case IMN_SERVER_SIGNAL: return "IMN_SERVER_SIGNAL";
        case IMN_HOST_LOGIN: return "IMN_HOST_LOGIN";
        case IMN_HOST_USERDATA: return "IMN_HOST_USERDATA";
        case IMN_HOST_POSITION: return "IMN_HOST_POSITION";
        case IMN_HOST_RECORD: return "IMN_HOST_RECORD";
        default: return nullptr;
    }
}

std::string DescribeRecord(int kind, const char* name, const void* lParam) {
    Line line(name);
    switch (kind) {
        case IMN_LOGIN_RESULT: {
            auto& r = *static_cast<const IM_LOGIN_RESULT*>(lParam);
            line.Number("result", r.result).Text("message", r.message);
            break;
        }
        case IMN_FRIEND_LIST: {
            auto& r = *static_cast<const IM_FRIENDLIST_DATA*>(lParam);
            line.Number("count", r.count).Number("over", r.over);
            for (int32_t i = 0; r.users && i < r.count; ++i) {
                line.Raw(" [");
                Line user("user");
                AddUser(user, r.users[i]);
                line.Raw(user.Take()).Raw("]");
            }
            break;
        }
        case IMN_CHAT_MESSAGE: {
            auto& r = *static_cast<const IM_CHAT_DATA*>(lParam);
            line.Number("id", r.id).Text("peer", r.peer).Text("time", r.time).Number("msgType", r.msgType);
            AddFormat(line, r.format);
            line.Number("contentLength", r.contentLength).Text("content", r.content);
            break;
        }
        case IMN_FRIEND_ASK: {
            auto& r = *static_cast<const IM_FRIEND_ASK_DATA*>(lParam);
            line.Text("fromUser", r.fromUser).Text("toUser", r.toUser).Text("askText", r.askText)
                .Text("userInfo.name", r.userInfo.name);
            break;
        }
        case IMN_FRIEND_REPLY:
        case IMN_FRIEND_RESULT: {
            auto& r = *static_cast<const IM_FRIEND_REPLY_DATA*>(lParam);
            line.Text("user", r.user).Text("peer", r.peer).Number("agreed", r.agreed).Text("replyText", r.replyText);
            break;
        }
        case IMN_1V1_ASK:
        case IMN_1V1_STOP: {
            auto& r = *static_cast<const IM_1V1_DATA*>(lParam);
            line.Text("firstUser", r.firstUser).Text("secondUser", r.secondUser)
                .Text("userInfo.name", r.userInfo.name);
            break;
        }
        case IMN_1V1_REPLY: {
            auto& r = *static_cast<const IM_1V1_REPLY_DATA*>(lParam);
            line.Text("user", r.user).Text("peer", r.peer).Number("agreed", r.agreed)
                .Quoted("text", r.textPointer ? std::string_view(r.textPointer) : std::string_view())
                .Number("number1", r.number1).Number("number2", r.number2);
            break;
        }
        case IMN_SENDASK_LIST: {
            auto& r = *static_cast<const IM_SENDASK_LIST*>(lParam);
            line.Number("count", r.count);
            for (int32_t i = 0; r.items && i < r.count; ++i) {
                line.Raw(" [").Quoted("text", text::CString(r.items[i].text, sizeof r.items[i].text))
                    .Number("value", r.items[i].value).Raw("]");
            }
            break;
        }
        case IMN_FILE_ASK: {
            auto& r = *static_cast<const IM_FILE_ASK_DATA*>(lParam);
            line.Text("fromUser", r.fromUser).Text("toUser", r.toUser);
            AddFile(line, r.file);
            break;
        }
        case IMN_ADDBL_RESULT:
        case IMN_DELFL_RESULT: {
            auto& r = *static_cast<const IM_PEER_RESULT*>(lParam);
            line.Number("result", r.result).Number("value", r.value).Text("peer", r.peer).Text("message", r.message);
            break;
        }
        case IMN_INVITE: {
            auto& r = *static_cast<const IM_INVITE_DATA*>(lParam);
            line.Text("fromUser", r.fromUser).Text("toUser", r.toUser);
            break;
        }
        case IMN_CHANGEINFO_RESULT: {
            auto& r = *static_cast<const IM_CHANGEINFO_RESULT*>(lParam);
            line.Number("result", r.result).Text("message", r.message).Text("nickname", r.data.nickname);
            AddSecret(line, "newpass", r.data.newpass);
            line.Text("littleword", r.data.littleword).Text("birthday", r.data.birthday).Number("afset", r.data.afset);
            break;
        }
        case IMN_USERINFO_RESULT: {
            auto& r = *static_cast<const IM_USERINFO_RESULT*>(lParam);
            line.Number("result", r.result).Text("message", r.message);
            AddUser(line, r.user);
            break;
        }
        case IMN_USER_POSITION:
        case IMN_HOST_POSITION: {
            auto& r = *static_cast<const IM_USER_POSITION*>(lParam);
            line.Text("user", r.user);
            AddPosition(line, r);
            break;
        }
        case IMN_USER_STATUS: {
            auto& r = *static_cast<const IM_USER_CHANGESTATUS*>(lParam);
            line.Text("user", r.user).Number("status", r.status).Text("note", r.note);
            break;
        }
        case IMN_HOST_LOGIN: {
            auto& r = *static_cast<const IM_USER_LOGINDATA*>(lParam);
            line.Text("userId", r.userId);
            AddSecret(line, "password", r.password);
            break;
        }
        case IMN_HOST_USERDATA: {
            auto& r = *static_cast<const IM_USERCHANGEDATA*>(lParam);
            line.Text("user", r.user).Text("nickname", r.nickname);
            AddSecret(line, "oldpass", r.oldpass);
            AddSecret(line, "newpass", r.newpass);
            line.Text("littleword", r.littleword).Text("birthday", r.birthday).Number("afset", r.afset);
            break;
        }
        case IMN_HOST_RECORD: {
            // Only the leading user id of the host's record has a known meaning.
            auto* bytes = static_cast<const char*>(lParam);
            line.Quoted("user", text::CString(bytes, 21)).Number("size", IM_HOST_RECORD_SIZE);
            break;
        }
        default:
            break;
    }
    return line.Take();
}

}  // namespace

std::string DescribeNotification(int kind, const void* lParam) {
    const char* name = KindName(kind);
    if (!name) return "kind " + std::to_string(kind);
    // The posted kinds carry a small number, not a record.
    if (kind == IMN_SERVER_CLOSED || kind == IMN_SERVER_SIGNAL)
        return std::string(name) + " lParam=" + std::to_string(reinterpret_cast<std::uintptr_t>(lParam));
    if (!lParam) return std::string(name) + " (no record)";
    return DescribeRecord(kind, name, lParam);
}

}  // namespace vexa::demo
