// What the two demo programs share on Win32: a log that is a list box on the
// screen and a GBK file on disk, text conversion for script files, option
// lookup, and the screenshot handshake with the demo runner.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace vexa::demo {

// UTF-8 (script files, environment) to GBK (everything the library sees).
std::string Utf8ToGbk(const std::string& utf8);

// A log shown in a list box and appended to a file, both in GBK. The file is
// flushed after every line so a transcript survives a killed program.
class DemoLog {
public:
    ~DemoLog();
    bool OpenFile(const std::string& path);
    void AttachList(HWND list) { list_ = list; }
    void Line(const std::string& text);
    // Lines that go to the window only, not to the transcript.
    void Note(const std::string& text);
    void SetQuiet(bool quiet) { quiet_ = quiet; }

private:
    void Show(const std::string& text);
    FILE* file_ = nullptr;
    HWND list_ = nullptr;
    bool quiet_ = false;
};

// "--name value" from argv, else the environment variable, else fallback.
std::string Option(const std::vector<std::string>& args, const char* name, const char* environment,
                   const std::string& fallback = "");
bool Flag(const std::vector<std::string>& args, const char* name);
std::vector<std::string> Arguments();

// The demo runner takes screenshots from outside (Wine draws into X there).
// The program writes DIR\NAME.req with its window rectangle and waits, with
// its messages pumped, until DIR\NAME.done appears or the time is up.
bool RequestScreenshot(HWND window, const std::string& directory, const std::string& name, int timeoutMs);

// A readable fixed font for the log lists.
HFONT LogFont();

}  // namespace vexa::demo
