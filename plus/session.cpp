#include "plus/session.h"

#include "ipc/shared_packet.h"
#include "protocol/login_result.h"
#include "protocol/requests.h"
#include "protocol/system_texts.h"
#include "protocol/text.h"

#include <cstring>

namespace vexa::plus {

namespace {
// A start-up failure is raised as its short code and caught inside Init.
struct InitFailure {
    const char* code;
};
}  // namespace

PlusSession::PlusSession(SessionPlatform& platform)
    : platform_(platform),
      sendBlock_(platform.MakeBlock()),
      revBlock_(platform.MakeBlock()),
      connection_(static_cast<net::ConnectionHost&>(*this)) {}

PlusSession::~PlusSession() {
    // A host that started the IM program tells it that the host is going away.
    if (hostLaunchedIM_ && otherWindow_)
        platform_.PostWindowMessage(otherWindow_, WM_IMPLUS_TOIM, PROM_VexaIM_MSG_HOST_UNLOADED, 0);
    Uninit();
    revBlock_.reset();
    sendBlock_.reset();
}

bool PlusSession::Init(Window own, Window other, std::int32_t role) {
    if (initialised_) return false;
    role_ = role;
    ownWindow_ = own;
    otherWindow_ = other;
    creator_ = role == PROMID_IM;
    try {
        sendBlock_->SetName(ipc::kSendBlockName);
        if (!(creator_ ? sendBlock_->Create() : sendBlock_->Open()))
            throw InitFailure{creator_ ? "Error:101" : "Error:201"};
        revBlock_->SetName(ipc::kRevBlockName);
        if (!(creator_ ? revBlock_->Create() : revBlock_->Open()))
            throw InitFailure{creator_ ? "Error:102" : "Error:202"};
    } catch (const InitFailure& failure) {
        initialised_ = false;
        ReportInitFailure(failure.code);
        return false;
    }
    initialised_ = true;
    return true;
}

void PlusSession::ReportInitFailure(const char* code) {
    platform_.ShowMessageBox(ownWindow_, texts::StartFailedText(code), texts::kStartFailedCaption,
                         kBoxOk | kBoxIconInformation);
}

void PlusSession::Uninit() {
    ownWindow_ = nullptr;
    otherWindow_ = nullptr;
    sendBlock_->Release();
    revBlock_->Release();
    initialised_ = false;
    connection_.CloseClient();
}

int PlusSession::IsExsitOutProgram() const {
    return platform_.IsWindowAlive(creator_ ? otherWindow_ : ownWindow_) ? 1 : 0;
}

int PlusSession::IsExsitIMProgram() const {
    return platform_.IsWindowAlive(creator_ ? ownWindow_ : otherWindow_) ? 1 : 0;
}

int PlusSession::SendDataToPROM(std::int32_t command, const void* data, std::uint32_t length) {
    if (!otherWindow_ || !ipc::PayloadFits(data, length)) return 0;
    unsigned char* view = sendBlock_->View();
    if (!view) return 0;
    ipc::WriteSharedPacket(view, false, 0, static_cast<std::uint16_t>(command), data, length);
    platform_.SendWindowMessage(otherWindow_, WM_IMPLUS_TOPROM, IMPLUS_TOPROM_WPARAM, length + ipc::kHeaderSize);
    return 1;
}

int PlusSession::SendDataToIM(std::int32_t command, const void* data, std::uint32_t length) {
    if (!otherWindow_ || !ipc::PayloadFits(data, length)) return 0;
    unsigned char* view = revBlock_->View();
    if (!view) return 0;
    ipc::WriteSharedPacket(view, true, static_cast<std::uint16_t>(role_), static_cast<std::uint16_t>(command), data,
                           length);
    return static_cast<int>(
        platform_.SendWindowMessage(otherWindow_, WM_IMPLUS_TOIM, IMPLUS_TOIM_PACKET, length + ipc::kHeaderSize));
}

void PlusSession::SendMsgToIM(std::int32_t notice) {
    if (otherWindow_) platform_.PostWindowMessage(otherWindow_, WM_IMPLUS_TOIM, static_cast<std::uint32_t>(notice), 0);
}

void PlusSession::DealIMCommand(std::uint32_t length) {
    auto packet = ipc::ReadSharedPacket(sendBlock_->View(), length, ipc::kHostReaderLimit);
    if (!packet || packet->command != IMCOMMAND_DATA) return;
    if (ownWindow_)
        platform_.SendWindowMessage(ownWindow_, WM_IMPLUS_NOTIFY, IMN_IM_DATA,
                              reinterpret_cast<std::intptr_t>(packet->payload));
}

void PlusSession::DealProcCommand(std::uint32_t length) {
    auto packet = ipc::ReadSharedPacket(revBlock_->View(), length, ipc::kIMReaderLimit);
    if (!packet) return;
    const unsigned char* payload = packet->payload;
    const std::uint32_t n = packet->payloadLength;
    const std::intptr_t address = reinterpret_cast<std::intptr_t>(payload);
    switch (packet->command) {
    case PROGCOMMAND_LOGIN:
        if (n != sizeof(IM_USER_LOGINDATA)) return;
        NotifyOwn(IMN_HOST_LOGIN, address);
        Login(reinterpret_cast<const IM_USER_LOGINDATA*>(payload));
        return;
    case PROGCOMMAND_USER_RECORD: {
        // A payload longer than the record is not such a record: it is
        // dropped rather than cut, so the IM window never sees a record that
        // the host did not mean.
        if (n > IM_HOST_RECORD_SIZE) return;
        unsigned char record[IM_HOST_RECORD_SIZE] = {};
        std::memcpy(record, payload, n);
        std::string_view own = OwnId();
        if (own.empty()) return;
        if (!text::Equal(own, text::CString(reinterpret_cast<const char*>(record), sizeof record))) return;
        NotifyOwn(IMN_HOST_RECORD, reinterpret_cast<std::intptr_t>(record));
        return;
    }
    case PROGCOMMAND_USER_DATA:
        if (n != sizeof(IM_USERCHANGEDATA)) return;
        NotifyOwn(IMN_HOST_USERDATA, address);
        return;
    case PROGCOMMAND_POSITION: {
        if (n != sizeof(IM_USER_POSITION)) return;
        std::string_view own = OwnId();
        if (own.empty()) return;
        if (!text::EqualNoCase(own, text::CString(reinterpret_cast<const char*>(payload), n))) return;
        const std::intptr_t answer = NotifyOwn(IMN_HOST_POSITION, address);
        // The request compares the id again, with case, before anything is sent.
        if (answer > 0) ChangePosition(reinterpret_cast<const IM_USER_POSITION*>(payload));
        return;
    }
    default:
        return;
    }
}

std::intptr_t PlusSession::NotifyOwn(int kind, std::intptr_t lParam) {
    if (!ownWindow_) return 0;
    return platform_.SendWindowMessage(ownWindow_, WM_IMPLUS_NOTIFY, static_cast<std::uintptr_t>(kind), lParam);
}

void PlusSession::ReportLoginResult(int result, std::string_view message) {
    IM_LOGIN_RESULT record = protocol::MakeLoginResult(result, message);
    NotifyOwn(IMN_LOGIN_RESULT, reinterpret_cast<std::intptr_t>(&record));
}

bool PlusSession::PostServerClosed() {
    if (!ownWindow_) return false;
    return platform_.PostWindowMessage(ownWindow_, WM_IMPLUS_NOTIFY, IMN_SERVER_CLOSED, 1);
}

bool PlusSession::Login(const IM_USER_LOGINDATA* login) { return connection_.Login(login); }
std::string_view PlusSession::OwnId() const { return connection_.OwnId(); }

void PlusSession::Send(const std::optional<std::string>& request) {
    if (request) connection_.SendPacket(*request);
}

void PlusSession::GetInitData(int n) { Send(protocol::BuildInitDataRequest(n)); }
void PlusSession::SendChatMsg(const IM_CHAT_DATA* chat) { Send(protocol::BuildChatRequest(OwnId(), chat)); }
void PlusSession::AskAddFriend(std::string_view user, std::string_view text, int withText) {
    Send(protocol::BuildAskAddFriendRequest(OwnId(), user, text, withText));
}
void PlusSession::ReplyAddFriend(std::string_view user, std::string_view text, bool agree, int n) {
    Send(protocol::BuildReplyAddFriendRequest(OwnId(), user, text, agree, n));
}
void PlusSession::AddBlacklist(std::string_view user, int n) { Send(protocol::BuildAddBlacklistRequest(OwnId(), user, n)); }
void PlusSession::DeleteFriend(std::string_view user) { Send(protocol::BuildDeleteFriendRequest(OwnId(), user)); }
void PlusSession::SendInvite(std::string_view user) { Send(protocol::BuildInviteRequest(OwnId(), user)); }
void PlusSession::ChangeStatus(const IM_USER_CHANGESTATUS* status) {
    Send(protocol::BuildChangeStatusRequest(OwnId(), status));
}
void PlusSession::ChangePosition(const IM_USER_POSITION* position) {
    Send(protocol::BuildChangePositionRequest(OwnId(), position));
}
void PlusSession::ChangeUserInfo(const IM_USERCHANGEDATA* data) {
    Send(protocol::BuildChangeUserInfoRequest(OwnId(), data));
}
void PlusSession::GetUserInfo(std::string_view user) { Send(protocol::BuildGetUserInfoRequest(OwnId(), user)); }
void PlusSession::Ask1V1(std::string_view user) { Send(protocol::BuildAsk1V1Request(OwnId(), user)); }
void PlusSession::Reply1V1(std::string_view user, int agree) { Send(protocol::BuildReply1V1Request(OwnId(), user, agree)); }
void PlusSession::Stop1V1(std::string_view user) { Send(protocol::BuildStop1V1Request(OwnId(), user)); }
void PlusSession::SendAskSendFile() { Send(protocol::BuildSendAskRequest(OwnId())); }

// ---- the connection's and the handlers' view of the session

void PlusSession::ShowMessage(const std::string& gbk) {
    // The library's own boxes carry its name, as the start-up failure box does.
    platform_.ShowMessageBox(ownWindow_, gbk, texts::kStartFailedCaption, kBoxOk);
}

void PlusSession::HandleServerPacket(const char* bytes, int size) {
    protocol::HandleServerPacket(bytes, size, OwnId(), *this);
}

std::unique_ptr<net::Transport> PlusSession::MakeTransport() { return platform_.MakeTransport(); }
std::unique_ptr<net::TlsEngine> PlusSession::MakeTlsEngine(const std::string& serverName) {
    return platform_.MakeTlsEngine(serverName);
}
void PlusSession::DebugLine(const char* gbk) { platform_.DebugOutput(gbk); }
void PlusSession::DebugLine(const std::string& gbk) { platform_.DebugOutput(gbk); }
long PlusSession::Notify(int kind, const void* lParam) {
    return static_cast<long>(NotifyOwn(kind, reinterpret_cast<std::intptr_t>(lParam)));
}
void PlusSession::Post(int kind, long lParam) {
    if (ownWindow_) platform_.PostWindowMessage(ownWindow_, WM_IMPLUS_NOTIFY, static_cast<std::uintptr_t>(kind), lParam);
}
void PlusSession::SendRequest(const std::string& framedRequest) { connection_.SendPacket(framedRequest); }
std::string PlusSession::LocalTimeText() { return platform_.LocalTimeText(); }

void PlusSession::ReportServerSignal() { Post(IMN_SERVER_SIGNAL, 0); }

}  // namespace vexa::plus
