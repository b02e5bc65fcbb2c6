// A stand-in installer: it takes a while, leaves a marker naming its process,
// and lingers a little more before it ends, so a caller that returned before
// the process ended can be told from one that waited.
//
// The marker's path comes from the environment (VEXA_LAUNCH_MARKER), since an
// installer is started without parameters.
#include <windows.h>

#include <string>

int main() {
    char marker[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableA("VEXA_LAUNCH_MARKER", marker, sizeof marker);
    if (length == 0 || length >= sizeof marker) return 2;
    Sleep(1000);
    HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    std::string text = "pid=" + std::to_string(GetCurrentProcessId());
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    Sleep(300);
    return 0;
}
