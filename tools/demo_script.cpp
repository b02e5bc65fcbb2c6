#include "tools/demo_script.h"

#include <cstring>

#include "protocol/style.h"
#include "protocol/text.h"

namespace vexa::demo {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

bool SplitWords(std::string_view line, std::vector<std::string>& words, std::string& error) {
    words.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i >= line.size() || line[i] == '#') return true;
        std::string word;
        bool quoted = false;
        bool sawQuote = false;
        while (i < line.size() && (quoted || !IsBlank(line[i]))) {
            std::size_t n = text::CharLength(line, i);
            if (n == 2) {
                word.append(line.substr(i, 2));
                i += 2;
                continue;
            }
            char c = line[i];
            if (c == '"') {
                quoted = !quoted;
                sawQuote = true;
                ++i;
            } else if (quoted && c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                word.push_back(line[i + 1]);
                i += 2;
            } else {
                word.push_back(c);
                ++i;
            }
        }
        if (quoted) {
            error = "unterminated quote";
            return false;
        }
        if (!word.empty() || sawQuote) words.push_back(std::move(word));
    }
    return true;
}

bool ParseInt(std::string_view text, long long min, long long max, long long& value) {
    if (text.empty() || text.size() > 19) return false;
    std::size_t i = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        i = 1;
    }
    if (i >= text.size()) return false;
    long long v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    if (negative) v = -v;
    if (v < min || v > max) return false;
    value = v;
    return true;
}

bool ParseStyle(std::string_view text, ChatStyle& style, std::string& error) {
    style = ChatStyle();
    if (text == "-" || text.empty()) return true;
    while (!text.empty()) {
        std::string_view item;
        if (text.substr(0, 5) == "face=") {
            // The face runs to the end, commas included.
            item = text;
            text = {};
        } else {
            std::size_t comma = text.find(',');
            item = text.substr(0, comma);
            text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        }
        long long n = 0;
        if (item == "bold") {
            style.bold = true;
        } else if (item == "italic") {
            style.italic = true;
        } else if (item == "underline") {
            style.underline = true;
        } else if (item.substr(0, 5) == "size=") {
            if (!ParseInt(item.substr(5), 1, 1638, n)) {
                error = "size must be 1..1638 points";
                return false;
            }
            style.points = static_cast<int>(n);
        } else if (item.substr(0, 7) == "color=#" && item.size() == 13) {
            std::uint32_t rgb = 0;
            for (char c : item.substr(7)) {
                int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
                if (digit < 0) {
                    error = "color must be #RRGGBB";
                    return false;
                }
                rgb = rgb << 4 | static_cast<std::uint32_t>(digit);
            }
            // The record keeps colours as 0x00BBGGRR.
            style.color = (rgb >> 16 & 0xFF) | (rgb & 0xFF00) | (rgb & 0xFF) << 16;
        } else if (item.substr(0, 5) == "face=") {
            if (item.size() - 5 > 31) {
                error = "face name longer than 31 bytes";
                return false;
            }
            style.face = std::string(item.substr(5));
        } else {
            error = "unknown style item \"" + std::string(item) + "\"";
            return false;
        }
    }
    return true;
}

void FillFormat(const ChatStyle& style, IM_CHARFORMAT& format) {
    std::memset(&format, 0, sizeof format);
    format.cbSize = sizeof format;
    // Size, colour, face, bold, italic, underline: what a rich edit reports.
    format.dwMask = 0xE0000007u;
    format.dwEffects = (style.bold ? 0x1u : 0) | (style.italic ? 0x2u : 0) | (style.underline ? 0x4u : 0);
    format.yHeight = protocol::PointsToTwips(style.points);
    format.crTextColor = style.color;
    CopyField(format.szFaceName, sizeof format.szFaceName, style.face);
}

void CopyField(char* field, std::size_t width, std::string_view text) {
    std::memset(field, 0, width);
    std::size_t n = 0;
    while (n < text.size()) {
        std::size_t step = text::CharLength(text, n);
        if (n + step > width - 1) break;
        n += step;
    }
    std::memcpy(field, text.data(), n);
}

const std::vector<CommandSyntax>& Commands() {
    static const std::vector<CommandSyntax> commands = {
        {Command::Server, "server", 0, 2, "server [ADDRESS PORT]  (default: VEXAIM_SERVER or 127.0.0.1 7788)"},
        {Command::Login, "login", 2, 2, "login USER PASSWORD"},
        {Command::Wait, "wait", 1, 2, "wait KIND [TIMEOUT_MS]  (the next notification of that kind)"},
        {Command::Friends, "friends", 0, 1, "friends [N]  (ask for the friend list)"},
        {Command::Chat, "chat", 3, 3,
         "chat USER STYLE TEXT  (STYLE: - or bold,italic,underline,size=N,color=#RRGGBB,face=NAME)"},
        {Command::Ask, "ask", 1, 2, "ask USER [TEXT]  (friend request)"},
        {Command::Reply, "reply", 2, 3, "reply USER yes|no [TEXT]  (answer a friend request)"},
        {Command::Status, "status", 1, 2, "status N [NOTE]"},
        {Command::Position, "position", 6, 6, "position ID TEXT POS0 POS1 POS2 POS3"},
        {Command::File, "file", 3, 6, "file USER NAME SIZE [TEXT2 [TEXT3 [VALUE2]]]  (file offer)"},
        {Command::Invite, "invite", 1, 1, "invite USER  (invitation)"},
        {Command::Ask1V1, "ask1v1", 1, 1, "ask1v1 USER  (ask for a one-to-one session)"},
        {Command::Reply1V1, "reply1v1", 2, 2, "reply1v1 USER yes|no  (answer a one-to-one request)"},
        {Command::Stop1V1, "stop1v1", 1, 1, "stop1v1 USER  (end a one-to-one session)"},
        {Command::Blacklist, "blacklist", 1, 2, "blacklist USER [N]  (add to the blacklist)"},
        {Command::DelFriend, "delfriend", 1, 1, "delfriend USER  (delete a friend)"},
        {Command::Profile, "profile", 6, 6,
         "profile NICKNAME OLDPASS NEWPASS LITTLEWORD BIRTHDAY AFSET  (change the own profile)"},
        {Command::UserInfo, "userinfo", 1, 1, "userinfo USER  (ask for a user's profile)"},
        {Command::SendAsk, "sendask", 0, 0, "sendask  (request 44: the list of friends online)"},
        {Command::ToData, "todata", 1, 1, "todata TEXT  (send data to the host program)"},
        {Command::KeepAlive, "keepalive", 0, 0, "keepalive"},
        {Command::Set, "set", 1, 1, "set NAME  (signal a named event to another program)"},
        {Command::Await, "await", 1, 2, "await NAME [TIMEOUT_MS]  (wait for another program's signal)"},
        {Command::Sleep, "sleep", 1, 1, "sleep MS"},
        {Command::Say, "say", 1, 1, "say TEXT  (a line in the log)"},
        {Command::Shot, "shot", 0, 0, "shot  (ask the demo runner for a screenshot of this window)"},
        {Command::BenchChat, "benchchat", 2, 2, "benchchat USER N  (N chats, each after the echo of the last)"},
        {Command::BenchEcho, "benchecho", 2, 2, "benchecho USER N  (echo N chats back)"},
        {Command::BenchTcp, "benchtcp", 1, 1, "benchtcp N  (N bare TCP round trips over loopback)"},
        {Command::Quit, "quit", 0, 0, "quit  (log out, close and end the program)"},
        {Command::Help, "help", 0, 0, "help"},
    };
    return commands;
}

const CommandSyntax* FindCommand(std::string_view name) {
    for (const CommandSyntax& entry : Commands())
        if (name == entry.name) return &entry;
    return nullptr;
}

namespace {

// The numeric arguments of a command whose argument count is right.
bool NumbersFit(Command command, const std::vector<std::string>& words) {
    constexpr long long kIntMin = -2147483647, kIntMax = 2147483647;
    const std::size_t args = words.size() - 1;
    long long n = 0;
    auto fits = [&](std::size_t i, long long min, long long max) { return ParseInt(words[i], min, max, n); };
    switch (command) {
        case Command::Server: return args == 0 || (args == 2 && fits(2, 1, 65535));
        case Command::Wait: return fits(1, 1, 1000) && (args < 2 || fits(2, 1, 3600000));
        case Command::Friends: return args < 1 || fits(1, kIntMin, kIntMax);
        case Command::Status: return fits(1, kIntMin, kIntMax);
        case Command::Position:
            return fits(1, 0, 255) && fits(3, kIntMin, kIntMax) && fits(4, kIntMin, kIntMax) &&
                   fits(5, kIntMin, kIntMax) && fits(6, kIntMin, kIntMax);
        case Command::File: return fits(3, 0, kIntMax) && (args < 6 || fits(6, kIntMin, kIntMax));
        case Command::Blacklist: return args < 2 || fits(2, kIntMin, kIntMax);
        case Command::Profile: return fits(6, kIntMin, kIntMax);
        case Command::Await: return args < 2 || fits(2, 1, 3600000);
        case Command::Sleep: return fits(1, 0, 3600000);
        case Command::BenchChat:
        case Command::BenchEcho: return fits(2, 1, 100000);
        case Command::BenchTcp: return fits(1, 1, 1000000);
        default: return true;
    }
}

}  // namespace

bool CheckCommand(const std::vector<std::string>& words, std::string& error) {
    if (words.empty()) {
        error = "empty command";
        return false;
    }
    const CommandSyntax* entry = FindCommand(words[0]);
    if (entry == nullptr) {
        error = "unknown command \"" + words[0] + "\" (try help)";
        return false;
    }
    const int args = static_cast<int>(words.size()) - 1;
    if (args < entry->minArgs || args > entry->maxArgs) {
        error = std::string("usage: ") + entry->usage;
        return false;
    }
    if (!NumbersFit(entry->command, words)) {
        error = std::string("bad number; usage: ") + entry->usage;
        return false;
    }
    switch (entry->command) {
        case Command::Reply:
        case Command::Reply1V1:
            if (words[2] != "yes" && words[2] != "no") {
                error = std::string("usage: ") + entry->usage;
                return false;
            }
            return true;
        case Command::Chat: {
            ChatStyle style;
            return ParseStyle(words[2], style, error);
        }
        case Command::Set:
        case Command::Await:
            if (words[1].empty() || words[1].size() > 64) {
                error = "event names are 1 to 64 bytes";
                return false;
            }
            return true;
        default:
            return true;
    }
}

bool ParseScript(std::string_view text, std::vector<ScriptLine>& lines, std::string& error) {
    lines.clear();
    int number = 0;
    while (!text.empty()) {
        ++number;
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ScriptLine parsed;
        parsed.number = number;
        std::string reason;
        if (!SplitWords(line, parsed.words, reason) || (!parsed.words.empty() && !CheckCommand(parsed.words, reason))) {
            error = "line " + std::to_string(number) + ": " + reason;
            return false;
        }
        if (!parsed.words.empty()) lines.push_back(std::move(parsed));
    }
    return true;
}

}  // namespace vexa::demo
