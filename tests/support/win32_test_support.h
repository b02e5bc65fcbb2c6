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

// A second process started from an executable of PeerDirectory(); killed
// when the object goes away, so no child outlives a failing test.
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
// The folder of the programs a test starts as the other side (the peer, the
// stand-in host and IM programs), with a trailing backslash: the test's own,
// or the other word size's build when VEXA_PEER_BIN names its folder (a Unix
// path), so that the same test runs across word sizes.
std::string PeerDirectory();

// Paths between the two systems: Z:, which every prefix maps to the Unix
// root, is the only drive with a Unix twin.
std::string UnixToWine(const std::string& path);
std::string WineToUnix(const std::string& path);
bool FileExists(const std::string& path);
// The whole file, or "" when it cannot be read.
std::string ReadAll(const std::string& path);

// A Linux program (the reference server, the TLS peer) started from a test
// under Wine through /bin/sh. Wine gives no handle to wait on, so the
// program leaves its pid and its standard error in files of the folder
// (NAME.pid, NAME.log). It is bounded by timeout(1) as well, so it cannot
// outlive a test that dies; Stop (and the destructor) end it.
class UnixProgram {
public:
    UnixProgram(std::string folder, std::string name) : folder_(std::move(folder)), name_(std::move(name)) {}
    ~UnixProgram() { Stop(); }
    UnixProgram(const UnixProgram&) = delete;
    UnixProgram& operator=(const UnixProgram&) = delete;

    // command: a shell command line (words quoted by the caller).
    bool Start(const std::string& command, int lifetimeSeconds = 200);
    std::string Log() const { return ReadAll(LogPath()); }
    std::string LogPath() const { return folder_ + "\\" + name_ + ".log"; }
    // The first group of pattern once it appears in the log ("" on time-out).
    std::string WaitForLog(const std::string& pattern, int timeoutMs = 10000) const;
    void Stop();

private:
    std::string folder_;
    std::string name_;
    bool started_ = false;
};

// A word for the shell, in single quotes.
std::string ShellQuote(const std::string& word);

// Trusts the certificate (a DER file) as a root in this prefix, for the
// current user, as a company CA would be installed; false when it cannot.
// The test CA lives only in the tests' private prefix.
bool TrustRootCertificate(const std::string& derPath);

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
