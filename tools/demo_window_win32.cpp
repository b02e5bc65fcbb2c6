#include "tools/demo_window_win32.h"

#include <shellapi.h>

#include <cstring>

namespace vexa::demo {

std::string Utf8ToGbk(const std::string& utf8) {
    if (utf8.empty()) return std::string();
    int wide = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (wide <= 0) return utf8;
    std::wstring w(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &w[0], wide);
    int bytes = WideCharToMultiByte(936, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return utf8;
    std::string gbk(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(936, 0, w.data(), wide, &gbk[0], bytes, nullptr, nullptr);
    return gbk;
}

DemoLog::~DemoLog() {
    if (file_) std::fclose(file_);
}

bool DemoLog::OpenFile(const std::string& path) {
    if (file_) std::fclose(file_);
    file_ = std::fopen(path.c_str(), "wb");
    return file_ != nullptr;
}

void DemoLog::Show(const std::string& text) {
    if (!list_) return;
    // A list box item is one line; very long records are cut for the eye only.
    std::string shown = text.size() > 1000 ? text.substr(0, 1000) + "..." : text;
    LRESULT index = SendMessageA(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown.c_str()));
    if (index >= 0) SendMessageA(list_, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
}

void DemoLog::Line(const std::string& text) {
    if (file_) {
        std::fwrite(text.data(), 1, text.size(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    }
    if (!quiet_) Show(text);
}

void DemoLog::Note(const std::string& text) {
    if (!quiet_) Show(text);
}

std::vector<std::string> Arguments() {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return args;
    for (int i = 1; i < count; ++i) {
        int bytes = WideCharToMultiByte(CP_ACP, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(bytes > 0 ? static_cast<std::size_t>(bytes) : 1u, '\0');
        if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, wide[i], -1, &arg[0], bytes, nullptr, nullptr);
        arg.resize(std::strlen(arg.c_str()));
        args.push_back(arg);
    }
    LocalFree(wide);
    return args;
}

std::string Option(const std::vector<std::string>& args, const char* name, const char* environment,
                   const std::string& fallback) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) return args[i + 1];
    if (environment) {
        char buffer[1024];
        DWORD n = GetEnvironmentVariableA(environment, buffer, sizeof buffer);
        if (n > 0 && n < sizeof buffer) return std::string(buffer, n);
    }
    return fallback;
}

bool Flag(const std::vector<std::string>& args, const char* name) {
    for (const std::string& arg : args)
        if (arg == name) return true;
    return false;
}

bool RequestScreenshot(HWND window, const std::string& directory, const std::string& name, int timeoutMs) {
    if (directory.empty() || !window) return false;
    RECT rect = {};
    GetWindowRect(window, &rect);
    std::string base = directory + "\\" + name;
    DeleteFileA((base + ".done").c_str());
    FILE* request = std::fopen((base + ".req.tmp").c_str(), "wb");
    if (!request) return false;
    std::fprintf(request, "%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    std::fclose(request);
    // Renamed into place so the runner never reads half a request.
    MoveFileExA((base + ".req.tmp").c_str(), (base + ".req").c_str(), MOVEFILE_REPLACE_EXISTING);
    DWORD start = GetTickCount();
    while (GetTickCount() - start < static_cast<DWORD>(timeoutMs)) {
        if (GetFileAttributesA((base + ".done").c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(20);
    }
    return false;
}

HFONT LogFont() {
    // VEXA_DEMO_FONT lets the demo runner pick a face that has both Latin and
    // Chinese glyphs on its machine.
    static HFONT font = [] {
        char face[LF_FACESIZE] = "SimSun";
        DWORD n = GetEnvironmentVariableA("VEXA_DEMO_FONT", face, sizeof face);
        if (n == 0 || n >= sizeof face) std::strcpy(face, "SimSun");
        return CreateFontA(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, face);
    }();
    return font;
}

}  // namespace vexa::demo
