// The command language of the demo programs. A command is one line of
// words; the same words come from a script file (run unattended) or from
// the command line of the IM program's window. Everything here is portable
// and works on GBK text: a quote or a backslash that is the second byte of a
// double-byte character is part of the character, never syntax.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "VexaIMPlusRecords.h"

namespace vexa::demo {

// Splits a line into words. Blanks separate words; "..." keeps blanks in a
// word, with \" and \\ inside quotes; a word that begins with # starts a
// comment (so "color=#C00000" is a word).
// False (with a reason) for an unterminated quote.
bool SplitWords(std::string_view line, std::vector<std::string>& words, std::string& error);

// The style of a chat text as the script writes it: "-" for plain, or a
// comma list of bold, italic, underline, size=POINTS, color=#RRGGBB and
// face=NAME (the face last, since it may hold any text).
struct ChatStyle {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    std::uint32_t color = 0;  // 0x00BBGGRR, as the chat record keeps it
    int points = 10;
    std::string face = "SimSun";
};
bool ParseStyle(std::string_view text, ChatStyle& style, std::string& error);
// Fills a zeroed character format as a rich-edit control would.
void FillFormat(const ChatStyle& style, IM_CHARFORMAT& format);

// The commands of the IM program, in the order of the table below; the
// program runs each through its entry of a table in the same order.
enum class Command : int {
    Server, Login, Wait, Friends, Chat, Ask, Reply, Status, Position, File, Invite, Ask1V1, Reply1V1, Stop1V1,
    Blacklist, DelFriend, Profile, UserInfo, SendAsk, ToData, KeepAlive, Set, Await, Sleep, Say, Shot,
    BenchChat, BenchEcho, BenchTcp, Quit, Help,
};
constexpr int kCommandCount = static_cast<int>(Command::Help) + 1;

// How one command is written: its name, how many arguments it takes, and
// the usage line shown for a mistake. The check happens before anything
// runs, so a typing error in a script stops it at load time and not halfway
// through a conversation.
struct CommandSyntax {
    Command command;
    const char* name;
    int minArgs;
    int maxArgs;
    const char* usage;
};
// Every command, in the order of Command.
const std::vector<CommandSyntax>& Commands();
// The syntax of the command named, or null.
const CommandSyntax* FindCommand(std::string_view name);
bool CheckCommand(const std::vector<std::string>& words, std::string& error);

struct ScriptLine {
    int number = 0;
    std::vector<std::string> words;
};
// Parses a whole script (already in GBK). Empty and comment lines are
// skipped. False with "line N: reason" at the first bad line.
bool ParseScript(std::string_view text, std::vector<ScriptLine>& lines, std::string& error);

// Bounded decimal parse for script arguments: digits with an optional sign,
// nothing else, within [min, max].
bool ParseInt(std::string_view text, long long min, long long max, long long& value);

// Copies text into a fixed character field, cut on a character boundary so
// the field always ends with a NUL and never with half a character.
void CopyField(char* field, std::size_t width, std::string_view text);

}  // namespace vexa::demo
