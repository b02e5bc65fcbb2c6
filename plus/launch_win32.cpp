#include "plus/launch_win32.h"

#include <shlwapi.h>

#include <cstring>
#include <vector>

#include "VexaIMPlus.h"
#include "platform/handles_win32.h"
#include "plus/session.h"
#include "protocol/system_texts.h"

namespace vexa::plus {

static_assert(sizeof(void*) != 4 || sizeof(SHELLEXECUTEINFOA) == 60, "the 32-bit shell execution record");

namespace {

using platform::KernelHandle;
using platform::RegistryKey;

struct MainRun {
    DWORD type;
    std::string text;
};

// The value as it stands in the registry, when it could be read at all.
std::optional<MainRun> ReadMainRun() {
    HKEY opened = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kIMSoftKey, 0, KEY_READ, &opened) != ERROR_SUCCESS) return std::nullopt;
    RegistryKey key(opened);
    char buffer[kMainRunLimit] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof buffer;
    if (::RegQueryValueExA(key.get(), kMainRunValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    std::optional<std::string> text = MainRunText(type, buffer, size);
    if (!text) return std::nullopt;
    return MainRun{type, std::move(*text)};
}

// The file the shell would run for this value: the shell substitutes
// environment variables (the record asks it to), so an expandable value is
// tested for existence in its expanded form.
std::string FileToTest(const MainRun& value) {
    if (value.type != REG_EXPAND_SZ) return value.text;
    DWORD needed = ::ExpandEnvironmentStringsA(value.text.c_str(), nullptr, 0);
    if (needed == 0) return value.text;
    std::vector<char> expanded(needed + 1, '\0');
    DWORD written = ::ExpandEnvironmentStringsA(value.text.c_str(), expanded.data(), needed + 1);
    if (written == 0 || written > needed + 1) return value.text;
    return std::string(expanded.data());
}

// Executes through the shell; the process handle when the shell gave one.
KernelHandle Execute(const char* file, const char* parameters) {
    SHELLEXECUTEINFOA record = MakeShellRecord(file, parameters);
    if (!::ShellExecuteExA(&record)) return KernelHandle();
    return KernelHandle(record.hProcess);
}

}  // namespace

SHELLEXECUTEINFOA MakeShellRecord(const char* file, const char* parameters) {
    SHELLEXECUTEINFOA record;
    std::memset(&record, 0, sizeof record);
    record.cbSize = sizeof record;
    record.fMask = kShellMask;
    record.hwnd = nullptr;
    record.lpVerb = "open";
    record.lpFile = file;
    record.lpParameters = parameters;
    record.lpDirectory = nullptr;
    record.nShow = SW_SHOWNORMAL;
    return record;
}

std::string WindowParameter(HWND window) {
    // A handle is 32 bits wide for the IM program's reader, which takes it
    // back with atoi; larger values keep their low 32 bits.
    auto bits = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(window));
    return std::to_string(static_cast<std::int32_t>(bits));
}


int CheckIMExist(PlusSession& session, HWND window, const std::string& imTitle) {
    if (window) return ::IsWindow(window) ? 1 : 0;
    // Before any IMPlusDLL exists the title is empty, and an empty caption
    // names no IM program.
    if (imTitle.empty()) return 0;
    HWND found = ::FindWindowA(nullptr, imTitle.c_str());
    if (!found) return 0;
    session.SetOtherWindow(found);
    return 1;
}

int CheckIMSetup(std::string& path) {
    std::optional<MainRun> value = ReadMainRun();
    if (!value) return 0;
    path = value->text;
    if (path.empty()) return 0;
    return ::PathFileExistsA(FileToTest(*value).c_str()) ? 1 : 0;
}

int CheckIMSetup(IMString& path) {
    std::string text(path.c_str(), path.length());
    int found = CheckIMSetup(text);
    path.assign(text.data(), text.size());
    return found;
}

int InstallVexaIM(HWND parent, const std::string& installerPath) {
    // The system sees the path up to its first NUL; the user is shown the same.
    const char* path = installerPath.c_str();
    if (!::PathFileExistsA(path)) {
        ::MessageBoxA(parent, texts::InstallerMissingText(path).c_str(), texts::kSystemNoticeCaption,
                      MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    KernelHandle installer = Execute(path, nullptr);
    if (installer) {
        // The host must not go on before the IM program is installed, so
        // this thread waits for the installer to end, however long it takes.
        DWORD waited;
        do {
            waited = ::WaitForSingleObject(installer.get(), 100);
        } while (waited != WAIT_OBJECT_0 && waited != WAIT_FAILED);
    }
    return 1;
}

int RunVexaIMProgram(PlusSession& session, HWND hostWindow, const std::string& programPath) {
    std::string parameter = WindowParameter(hostWindow);
    const char* path = programPath.c_str();
    // An empty path names no program; the shell would open a folder instead.
    if (*path) {
        KernelHandle program = Execute(path, parameter.c_str());
        // A moment for the program to get going; the host does not wait for it.
        if (program) ::WaitForSingleObject(program.get(), 100);
    }
    // Also when the start failed: the host has tried, and at its unload it
    // tells whatever IM window it knows by then that it is going away.
    session.SetHostLaunchedIM();
    return 1;
}

}  // namespace vexa::plus
