// Helpers for the Win32 tests that run under Wine: real windows, real second
// processes, and a user who closes message boxes.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vexa::testing {

// Pumps this thread's messages until pred() holds or the time is up.
bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 10000);
// Pumps this thread's messages for a while.
void PumpFor(int ms);

// Presses OK on every message box with the given caption, from any process,
// and keeps the texts it read, as a user would.
class MessageBoxWatcher {
public:
    explicit MessageBoxWatcher(std::string caption);
    ~MessageBoxWatcher();
    std::vector<std::string> Texts();
    // Waits (pumping this thread's messages) until at least n boxes were closed.
    bool WaitForBoxes(std::size_t n, int timeoutMs = 10000);

private:
    void Run();
    std::string caption_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> texts_;
    std::thread thread_;
};

// A hidden top-level window of this thread that collects the lines that child
// processes report with WM_COPYDATA.
class ReportWindow {
public:
    ReportWindow();
    ~ReportWindow();
    HWND Handle() const { return hwnd_; }
    std::vector<std::string> Lines();
    // Waits for a line that starts with prefix and returns it ("" on time-out).
    std::string WaitForLine(const std::string& prefix, int timeoutMs = 10000);
    // Whether any line starts with prefix.
    bool HasLine(const std::string& prefix);
    void Clear();

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    HWND hwnd_ = nullptr;
    std::vector<std::string> lines_;
};

// Sends one report line to a ReportWindow in another process.
void ReportLine(HWND reportWindow, const std::string& line);

// A second process started from an executable beside the test; killed when
// the object goes away, so no child outlives a failing test.
class ChildProcess {
public:
    ChildProcess(const std::string& exeName, const std::string& arguments);
    ~ChildProcess();
    bool Started() const { return process_ != nullptr; }
    // Waits for the child to end; returns its exit code, or -1 on time-out.
    long Wait(int timeoutMs = 10000);
    DWORD Pid() const { return pid_; }

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// The folder of the running executable, with a trailing backslash.
std::string ExeDirectory();

// A plain window of this thread whose procedure is a std::function.
class TestWindow {
public:
    using Handler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM, bool& handled)>;
    explicit TestWindow(const std::string& caption = "VexaTestWindow", Handler handler = nullptr);
    ~TestWindow();
    HWND Handle() const { return hwnd_; }
    void SetHandler(Handler handler) { handler_ = std::move(handler); }

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    HWND hwnd_ = nullptr;
    Handler handler_;
};

}  // namespace vexa::testing
