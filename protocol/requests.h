// The requests the IM side sends to the server, built and framed byte for
// byte. Each builder returns the framed request, ready for SendPacket, or
// nullopt when the request must not be sent: a precondition fails, or the
// body would not fit the four-digit length field (it is never sent cut).
//
// ownId is the own user id as the session holds it, already cut at its NUL.
// Text arguments are read as the C runtime reads them, up to their first NUL;
// record text fields up to their first NUL or their full width, never beyond.
// Values are copied unchanged, without escaping: a value that holds a
// separator or a marker is the caller's business, as on the wire.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "VexaIMPlusRecords.h"

namespace vexa::protocol {

// Command codes, for both ends: the requests, and the server's answers.
// Packets that the server passes on from one user to another keep the code
// of the request they came as (3, 23, 24, 31, 32, 33, 40, 43).
enum Code : int {
    kRequestLogin = 1,
    kAnswerLogin = 2,
    kRequestChat = 3,
    kRequestKeepAlive = 7,
    kAnswerKeepAlive = 8,
    kRequestInitData = 21,
    kAnswerInitData = 22,  // one batch of the friend list
    kRequestAskAddFriend = 23,
    kRequestReplyAddFriend = 24,
    kRequestAddBlacklist = 25,
    kAnswerAddBlacklist = 26,
    kRequestDeleteFriend = 29,
    kAnswerDeleteFriend = 30,
    kRequestInvite = 31,
    kRequestChangeStatus = 32,
    kRequestChangePosition = 33,
    kRequestChangeUserInfo = 34,
    kAnswerChangeUserInfo = 35,
    kRequestGetUserInfo = 36,
    kAnswerGetUserInfo = 37,
    kFriendResult = 38,        // to the user who answered a friend request
    kLoggedInElsewhere = 39,   // the account logged in on another connection
    kRequestAsk1V1 = 40,
    kRequestReply1V1 = 41,
    kAnswer1V1 = 42,           // the answer, to the user who asked
    kRequestStop1V1 = 43,
    kRequestSendAsk = 44,
    kAnswerSendAsk = 45,
    kRequestExit = 99,
};

// Code 1: userId "!|!" password. Refused when either is empty, and also when
// either fills its whole field without a NUL: such a record has no end, and
// sending a cut or overrun id would log in as somebody else or leak memory.
std::optional<std::string> BuildLoginRequest(const IM_USER_LOGINDATA& login);
// Code 7: always the 17 bytes "00130007Keepalive".
std::string BuildKeepAliveRequest();
// Code 99: the own id directly after the code.
std::optional<std::string> BuildExitRequest(std::string_view ownId);
// Code 21: n in decimal directly after the code; the own id is not needed.
std::optional<std::string> BuildInitDataRequest(int n);
// Code 3: peer, "SYSTEMDATE", own id, msgType, chat body. Needs a record with
// a peer. contentLength 0 sends the file form.
std::optional<std::string> BuildChatRequest(std::string_view ownId, const IM_CHAT_DATA* chat);
// Code 23: own id, user and, when withText is not 0, text.
std::optional<std::string> BuildAskAddFriendRequest(std::string_view ownId, std::string_view user,
                                                    std::string_view text, int withText);
// Code 24: own id, user, then "0", n, text when agreeing; "1", text when not.
std::optional<std::string> BuildReplyAddFriendRequest(std::string_view ownId, std::string_view user,
                                                      std::string_view text, bool agree, int n);
// Code 25: own id, user, n.
std::optional<std::string> BuildAddBlacklistRequest(std::string_view ownId, std::string_view user, int n);
// Code 29: own id, user.
std::optional<std::string> BuildDeleteFriendRequest(std::string_view ownId, std::string_view user);
// Code 31: own id, user.
std::optional<std::string> BuildInviteRequest(std::string_view ownId, std::string_view user);
// Code 32: own id, status, note; the record's user must be the own id.
std::optional<std::string> BuildChangeStatusRequest(std::string_view ownId, const IM_USER_CHANGESTATUS* status);
// Code 33: own id, position element; the record's user must be the own id.
std::optional<std::string> BuildChangePositionRequest(std::string_view ownId, const IM_USER_POSITION* position);
// Code 34: own id, user element; the record's user must be the own id.
std::optional<std::string> BuildChangeUserInfoRequest(std::string_view ownId, const IM_USERCHANGEDATA* data);
// Code 36: user directly after the code; the own id must be set but is not sent.
std::optional<std::string> BuildGetUserInfoRequest(std::string_view ownId, std::string_view user);
// Code 40: own id, user.
std::optional<std::string> BuildAsk1V1Request(std::string_view ownId, std::string_view user);
// Code 41: user first, then own id, then "0" when agree is not 0, else "1".
std::optional<std::string> BuildReply1V1Request(std::string_view ownId, std::string_view user, int agree);
// Code 43: own id, user.
std::optional<std::string> BuildStop1V1Request(std::string_view ownId, std::string_view user);
// Code 44: own id directly after the code.
std::optional<std::string> BuildSendAskRequest(std::string_view ownId);

// The chat body (fifth field of code 3) on its own: the <msg> element.
std::string BuildChatBody(std::string_view ownId, const IM_CHAT_DATA& chat);

}  // namespace vexa::protocol
