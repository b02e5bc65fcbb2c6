// Plays a conversation of three demo users against a running reference
// server, so that every request code and the server's answers to them cross
// the wire once: the traffic that the dissector test records and decodes.
//
// Usage: vexa_dissector_traffic PORT
// Prints one line per packet, "C <code>" for a request sent and "S <code>"
// for a server packet received, so the test can compare what the dissector
// found with what really went over the connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "VexaIMPlusRecords.h"
#include "protocol/requests.h"
#include "protocol/text.h"

namespace p = vexa::protocol;

namespace {

class Client {
public:
    Client(const char* name, int port) : name_(name) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            std::fprintf(stderr, "%s: cannot connect to port %d\n", name, port);
            std::exit(2);
        }
    }
    ~Client() { close(fd_); }

    void Send(const std::optional<std::string>& request) {
        if (!request) {
            std::fprintf(stderr, "%s: a request was refused by its builder\n", name_);
            std::exit(2);
        }
        if (write(fd_, request->data(), request->size()) != static_cast<ssize_t>(request->size())) {
            std::fprintf(stderr, "%s: short write\n", name_);
            std::exit(2);
        }
        std::printf("C %d\n", vexa::text::AtoI(std::string_view(*request).substr(4, 4)));
    }

    // Reads server packets for `ms` milliseconds, or until one with `code`
    // has arrived when code is not 0. False when that code never came.
    bool Read(int ms, int code = 0) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (true) {
            while (buffer_.size() >= 4) {
                int length = vexa::text::AtoI(std::string_view(buffer_).substr(0, 4));
                if (length < 4 || length > 9999) {
                    std::fprintf(stderr, "%s: bad length field\n", name_);
                    std::exit(2);
                }
                if (buffer_.size() < static_cast<size_t>(length) + 5) break;
                int got = vexa::text::AtoI(std::string_view(buffer_).substr(4, 4));
                std::printf("S %d\n", got);
                buffer_.erase(0, static_cast<size_t>(length) + 5);
                if (code != 0 && got == code) return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return code == 0;
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return code == 0;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

private:
    const char* name_;
    int fd_ = -1;
    std::string buffer_;
};

IM_USER_LOGINDATA Login(const char* id, const char* password) {
    IM_USER_LOGINDATA login{};
    std::strncpy(login.userId, id, sizeof login.userId - 1);
    std::strncpy(login.password, password, sizeof login.password - 1);
    return login;
}

void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "no answer: %s\n", what);
        std::exit(2);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int port = std::atoi(argv[1]);
    Client alice("alice", port), bob("bob", port), carol("carol", port);
    const std::string a = "10001", b = "10002", c = "10003";

    // Log in; the library asks for the list of pending senders at once.
    alice.Send(p::BuildLoginRequest(Login("10001", "alice123")));
    Require(alice.Read(10000, 2), "alice login");
    bob.Send(p::BuildLoginRequest(Login("10002", "bob123")));
    Require(bob.Read(10000, 2), "bob login");
    carol.Send(p::BuildLoginRequest(Login("10003", "carol123")));
    Require(carol.Read(10000, 2), "carol login");
    alice.Send(p::BuildSendAskRequest(a));
    Require(alice.Read(3000, 45), "alice ask list");

    alice.Send(p::BuildInitDataRequest(0));
    Require(alice.Read(3000, 22), "alice friend list");
    alice.Send(p::BuildKeepAliveRequest());
    Require(alice.Read(3000, 8), "keep-alive");

    // A chat in Chinese from alice to bob.
    IM_CHAT_DATA chat{};
    chat.id = 1;
    std::strcpy(chat.peer, "10002");
    chat.msgType = 0;
    std::strcpy(chat.content, "\xc4\xe3\xba\xc3\xa3\xac\xb1\xab\xb2\xaa");  // 你好，鲍勃
    chat.contentLength = static_cast<int32_t>(std::strlen(chat.content));
    alice.Send(p::BuildChatRequest(a, &chat));
    Require(bob.Read(3000, 3), "chat to bob");

    // A file offer: its description items are joined by "~|~", and the first
    // one holds a character whose second byte is "~" followed by "|~", which
    // is no separator.
    IM_CHAT_DATA offer{};
    offer.id = 2;
    std::strcpy(offer.peer, "10002");
    offer.contentLength = 0;
    std::strcpy(offer.file.text1, "\xb1\xa8\xb8\xe6\x81\x7e|~.doc");
    offer.file.value1 = 2048;
    std::strcpy(offer.file.text2, "abc");
    std::strcpy(offer.file.text3, "def");
    offer.file.value2 = 7;
    alice.Send(p::BuildChatRequest(a, &offer));
    Require(bob.Read(3000, 3), "file offer to bob");

    // bob and carol are not friends yet: a request with a text, and yes.
    bob.Send(p::BuildAskAddFriendRequest(b, c, "\xbc\xd3\xb8\xf6\xba\xc3\xd3\xd1\xb0\xc9", 1));  // 加个好友吧
    Require(carol.Read(3000, 23), "friend request to carol");
    carol.Send(p::BuildReplyAddFriendRequest(c, b, "ok", true, 0));
    bob.Read(500);
    carol.Read(300);

    alice.Send(p::BuildGetUserInfoRequest(a, b));
    Require(alice.Read(3000, 37), "user info");

    IM_USER_CHANGESTATUS status{};
    std::strcpy(status.user, "10001");
    status.status = 2;
    std::strcpy(status.note, "\xce\xd2\xd4\xda\xbf\xaa\xbb\xe1");  // 我在开会
    alice.Send(p::BuildChangeStatusRequest(a, &status));

    IM_USER_POSITION position{};
    std::strcpy(position.user, "10001");
    position.id = 3;
    std::strcpy(position.ms, "room");
    position.pos0 = 10;
    position.pos1 = 20;
    position.pos2 = 30;
    position.pos3 = 40;
    alice.Send(p::BuildChangePositionRequest(a, &position));

    IM_USERCHANGEDATA change{};
    std::strcpy(change.user, "10001");
    std::strcpy(change.nickname, "\xd0\xc2\xea\xc7\xb3\xc6");  // 新昵称
    std::strcpy(change.oldpass, "alice123");
    std::strcpy(change.newpass, "alice123");
    std::strcpy(change.littleword, "hi");
    std::strcpy(change.birthday, "19950314");
    change.afset = 1;
    alice.Send(p::BuildChangeUserInfoRequest(a, &change));
    Require(alice.Read(3000, 35), "change info result");
    bob.Read(300);

    alice.Send(p::BuildInviteRequest(a, b));
    Require(bob.Read(3000, 31), "invitation");

    // A one-to-one session: asked, agreed, stopped.
    alice.Send(p::BuildAsk1V1Request(a, b));
    Require(bob.Read(3000, 40), "1v1 ask");
    bob.Send(p::BuildReply1V1Request(b, a, 1));
    Require(alice.Read(3000, 42), "1v1 reply");
    alice.Send(p::BuildStop1V1Request(a, b));
    Require(bob.Read(3000, 43), "1v1 stop");

    // carol blocks and drops bob.
    carol.Send(p::BuildAddBlacklistRequest(c, b, 0));
    Require(carol.Read(3000, 26), "blacklist result");
    carol.Send(p::BuildDeleteFriendRequest(c, b));
    Require(carol.Read(3000, 30), "delete friend result");
    bob.Read(300);

    alice.Send(p::BuildExitRequest(a));
    bob.Send(p::BuildExitRequest(b));
    carol.Send(p::BuildExitRequest(c));
    alice.Read(300);
    bob.Read(300);
    carol.Read(300);
    return 0;
}
