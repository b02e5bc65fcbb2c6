#include "win32_test_support.h"

#include <wincrypt.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace vexa::testing {

bool PumpUntil(const std::function<bool()>& pred, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void PumpFor(int ms) { PumpUntil([] { return false; }, ms); }

// ---- MessageBoxWatcher

MessageBoxWatcher::MessageBoxWatcher(std::string caption) : caption_(std::move(caption)), thread_([this] { Run(); }) {}

MessageBoxWatcher::~MessageBoxWatcher() {
    stop_ = true;
    thread_.join();
}

void MessageBoxWatcher::Run() {
    while (!stop_) {
        HWND box = ::FindWindowA("#32770", caption_.c_str());
        if (box) {
            char text[1024] = {};
            ::GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                texts_.emplace_back(text);
            }
            // Posted, so a box whose owner thread is busy still closes later.
            ::PostMessageA(box, WM_COMMAND, IDOK, 0);
            // Do not read the same box twice while it goes away.
            for (int i = 0; i < 200 && ::IsWindow(box) && !stop_; ++i) ::Sleep(10);
        }
        ::Sleep(10);
    }
}

std::vector<std::string> MessageBoxWatcher::Texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
}

bool MessageBoxWatcher::WaitForBoxes(std::size_t n, int timeoutMs) {
    return PumpUntil([&] { return Texts().size() >= n; }, timeoutMs);
}

// ---- ReportWindow

namespace {
const char kReportClass[] = "VexaTestReportWindow";
const char kTestWindowClass[] = "VexaTestWindow";

void RegisterClassOnce(const char* name, WNDPROC proc) {
    WNDCLASSA wc = {};
    if (::GetClassInfoA(::GetModuleHandleA(nullptr), name, &wc)) return;
    wc.lpfnWndProc = proc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = name;
    ::RegisterClassA(&wc);
}
}  // namespace

ReportWindow::ReportWindow() {
    RegisterClassOnce(kReportClass, Proc);
    hwnd_ = ::CreateWindowA(kReportClass, "VexaTestReport", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                            ::GetModuleHandleA(nullptr), nullptr);
    ::SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

ReportWindow::~ReportWindow() {
    if (hwnd_) ::DestroyWindow(hwnd_);
}

LRESULT CALLBACK ReportWindow::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COPYDATA) {
        auto* self = reinterpret_cast<ReportWindow*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (self && data && data->lpData)
            self->lines_.emplace_back(static_cast<const char*>(data->lpData), data->cbData);
        return 1;
    }
    return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

std::vector<std::string> ReportWindow::Lines() { return lines_; }

bool ReportWindow::HasLine(const std::string& prefix) {
    for (const auto& line : lines_)
        if (line.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

std::string ReportWindow::WaitForLine(const std::string& prefix, int timeoutMs) {
    std::string found;
    PumpUntil(
        [&] {
            for (const auto& line : lines_)
                if (line.compare(0, prefix.size(), prefix) == 0) {
                    found = line;
                    return true;
                }
            return false;
        },
        timeoutMs);
    return found;
}

void ReportWindow::Clear() { lines_.clear(); }

void ReportLine(HWND reportWindow, const std::string& line) {
    COPYDATASTRUCT data = {};
    data.dwData = 1;
    data.cbData = static_cast<DWORD>(line.size());
    data.lpData = const_cast<char*>(line.data());
    ::SendMessageA(reportWindow, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
}

// ---- ChildProcess

std::string ExeDirectory() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    return dir.substr(0, dir.find_last_of("\\/") + 1);
}

std::string PeerDirectory() {
    char folder[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableA("VEXA_PEER_BIN", folder, sizeof folder);
    if (length == 0 || length >= sizeof folder) return ExeDirectory();
    return UnixToWine(folder) + "\\";
}

ChildProcess::ChildProcess(const std::string& exeName, const std::string& arguments) {
    std::string exe = PeerDirectory() + exeName;
    std::string command = "\"" + exe + "\" " + arguments;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::vector<char> buffer(command.begin(), command.end());
    buffer.push_back('\0');
    if (::CreateProcessA(exe.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        ::CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        pid_ = pi.dwProcessId;
    }
}

ChildProcess::~ChildProcess() {
    if (!process_) return;
    if (::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process_, 99);
        ::WaitForSingleObject(process_, 5000);
    }
    ::CloseHandle(process_);
}

long ChildProcess::Wait(int timeoutMs) {
    if (!process_) return -1;
    bool ended = PumpUntil([&] { return ::WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; }, timeoutMs);
    if (!ended) return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    return static_cast<long>(code);
}

// ---- Linux programs

std::string UnixToWine(const std::string& path) {
    std::string out = "Z:" + path;
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

std::string WineToUnix(const std::string& path) {
    std::string out = path.substr(2);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

bool FileExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string ShellQuote(const std::string& word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

namespace {
bool RunUnix(const std::string& command) {
    std::string line = "Z:\\bin\\sh -c \"" + command + "\"";
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return true;
}
}  // namespace

bool UnixProgram::Start(const std::string& command, int lifetimeSeconds) {
    Stop();
    // Removed here and not by the shell, which runs on its own time: a log
    // left by an earlier run would tell of an old port.
    ::DeleteFileA((folder_ + "\\" + name_ + ".pid").c_str());
    ::DeleteFileA(LogPath().c_str());
    const std::string dir = WineToUnix(folder_);
    started_ = RunUnix("echo $$ > " + ShellQuote(dir + "/" + name_ + ".pid") + "; exec timeout " +
                       std::to_string(lifetimeSeconds) + " " + command + " 2> " + ShellQuote(dir + "/" + name_ + ".log"));
    return started_;
}

std::string UnixProgram::WaitForLog(const std::string& pattern, int timeoutMs) const {
    const std::regex wanted(pattern);
    const DWORD start = ::GetTickCount();
    for (;;) {
        std::smatch m;
        const std::string log = Log();
        if (std::regex_search(log, m, wanted)) return m.size() > 1 ? m[1].str() : m[0].str();
        if (static_cast<int>(::GetTickCount() - start) >= timeoutMs) return "";
        ::Sleep(50);
    }
}

void UnixProgram::Stop() {
    if (!started_) return;
    started_ = false;
    RunUnix("kill $(cat " + ShellQuote(WineToUnix(folder_) + "/" + name_ + ".pid") + ") 2>/dev/null");
    ::Sleep(300);
}

bool TrustRootCertificate(const std::string& derPath) {
    const std::string der = ReadAll(derPath);
    if (der.empty()) return false;
    HCERTSTORE root = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "Root");
    if (root == nullptr) return false;
    const bool added = ::CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                          static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING,
                                                          nullptr) != FALSE;
    ::CertCloseStore(root, 0);
    return added;
}

// ---- TestWindow

TestWindow::TestWindow(const std::string& caption, Handler handler) : handler_(std::move(handler)) {
    RegisterClassOnce(kTestWindowClass, Proc);
    hwnd_ = ::CreateWindowA(kTestWindowClass, caption.c_str(), WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                            ::GetModuleHandleA(nullptr), nullptr);
    ::SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TestWindow::~TestWindow() {
    if (hwnd_) {
        ::SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
        ::DestroyWindow(hwnd_);
    }
}

LRESULT CALLBACK TestWindow::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<TestWindow*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self && self->handler_) {
        bool handled = false;
        LRESULT result = self->handler_(hwnd, msg, wParam, lParam, handled);
        if (handled) return result;
    }
    return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace vexa::testing
