// How many bytes of text each field of the records can carry: the width of
// the record's field less its terminating zero. What one end sends the other
// must fit the record the receiving library fills, so the server checks
// texts against these, never against numbers of its own.
#pragma once

#include <cstddef>

#include "VexaIMPlusRecords.h"

namespace vexa::protocol {

constexpr std::size_t kMaxUserIdBytes = sizeof IM_USER_LOGINDATA::userId - 1;
constexpr std::size_t kMaxPasswordBytes = sizeof IM_USER_LOGINDATA::password - 1;
constexpr std::size_t kMaxChatTimeBytes = sizeof IM_CHAT_DATA::time - 1;
constexpr std::size_t kMaxAskTextBytes = sizeof IM_FRIEND_ASK_DATA::askText - 1;
constexpr std::size_t kMaxReplyTextBytes = sizeof IM_FRIEND_REPLY_DATA::replyText - 1;
constexpr std::size_t kMaxStatusNoteBytes = sizeof IM_USER_CHANGESTATUS::note - 1;
constexpr std::size_t kMaxPositionTextBytes = sizeof IM_USER_POSITION::ms - 1;
constexpr std::size_t kMaxNicknameBytes = sizeof IM_USERCHANGEDATA::nickname - 1;
constexpr std::size_t kMaxLittlewordBytes = sizeof IM_USERCHANGEDATA::littleword - 1;
constexpr std::size_t kBirthdayDigits = sizeof IM_USERCHANGEDATA::birthday - 1;
// The user of a blacklist or delete-friend answer (kinds 16 and 17).
constexpr std::size_t kMaxResultPeerBytes = sizeof IM_PEER_RESULT::peer - 1;

static_assert(kMaxUserIdBytes == 20 && kMaxPasswordBytes == 19 && kMaxChatTimeBytes == 31);
static_assert(kMaxAskTextBytes == 599 && kMaxReplyTextBytes == 599);
static_assert(kMaxStatusNoteBytes == 255 && kMaxPositionTextBytes == 255);
static_assert(kMaxNicknameBytes == 20 && kMaxLittlewordBytes == 149 && kBirthdayDigits == 8);
static_assert(kMaxResultPeerBytes == 19);

}  // namespace vexa::protocol
