// The launch functions under Wine, without the DLL: the shell record and the
// parameter text, the registry value read from the real registry, and the
// installer run through the real shell.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "plus/launch_win32.h"
#include "protocol/system_texts.h"
#include "win32_test_support.h"

using namespace vexa::testing;
using vexa::plus::CheckIMSetup;
using vexa::plus::InstallVexaIM;
using vexa::plus::MainRunText;

namespace {

// ---- the shell execution record

TEST(ShellRecord, EveryMemberIsAsTheLauncherNeedsIt) {
    static const char kFile[] = "C:\\VexaIM\\VexaIM.exe";
    static const char kParameter[] = "658220";
    SHELLEXECUTEINFOA record = vexa::plus::MakeShellRecord(kFile, kParameter);
    // The record of the caller's word size: 60 bytes in a 32-bit process,
    // 112 in a 64-bit one.
    const std::size_t size = sizeof(void*) == 4 ? 60u : 112u;
    EXPECT_EQ(sizeof record, size);
    EXPECT_EQ(record.cbSize, size);
    EXPECT_EQ(record.fMask, 0x04008340u);
    EXPECT_EQ(record.hwnd, nullptr);
    EXPECT_STREQ(record.lpVerb, "open");
    EXPECT_EQ(record.lpFile, kFile);
    EXPECT_EQ(record.lpParameters, kParameter);
    EXPECT_EQ(record.lpDirectory, nullptr);
    EXPECT_EQ(record.nShow, SW_SHOWNORMAL);
    // Everything after the show command is zero (the shell's results and the
    // optional members the mask does not ask for).
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record);
    for (std::size_t i = offsetof(SHELLEXECUTEINFOA, hInstApp); i < sizeof record; ++i)
        EXPECT_EQ(bytes[i], 0) << "byte " << i;

    SHELLEXECUTEINFOA installer = vexa::plus::MakeShellRecord(kFile, nullptr);
    EXPECT_EQ(installer.lpParameters, nullptr);
}

TEST(WindowParameter, IsTheHandleAsSignedDecimal) {
    struct Row {
        std::uintptr_t handle;
        const char* text;
    };
    const Row rows[] = {
        {0x000A0B2C, "658220"},       {0, "0"},
        {1, "1"},                     {0x7FFFFFFF, "2147483647"},
        {0x80000000, "-2147483648"},  {0xFFFFFFFE, "-2"},
        {0xFFFFFFFF, "-1"},
        // A 64-bit process holds such handles widened by their sign.
        {static_cast<std::uintptr_t>(std::intptr_t{-2147483647 - 1}), "-2147483648"},
        {static_cast<std::uintptr_t>(std::intptr_t{-2}), "-2"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(vexa::plus::WindowParameter(reinterpret_cast<HWND>(row.handle)), row.text) << row.text;
}

// ---- the registry value's text

TEST(MainRunText, TakesTextUpToItsNulAndNoMoreThanFits) {
    const std::string a79(79, 'a'), a80(80, 'a');
    const std::string a79z = a79 + '\0';
    struct Row {
        const char* name;
        DWORD type;
        std::string bytes;  // what RegQueryValueExA returned, size included
        std::optional<std::string> text;
    };
    const std::vector<Row> rows = {
        {"terminated", REG_SZ, std::string("C:\\a.exe\0", 9), "C:\\a.exe"},
        {"expandable", REG_EXPAND_SZ, std::string("%X%\\a.exe\0", 10), "%X%\\a.exe"},
        {"79 and NUL fill the buffer", REG_SZ, a79z, a79},
        {"80 without NUL do not fit", REG_SZ, a80, std::nullopt},
        {"79 without NUL fit", REG_SZ, a79, a79},
        {"stored without NUL", REG_SZ, "abc", "abc"},
        {"empty with NUL", REG_SZ, std::string("\0", 1), ""},
        {"empty without anything", REG_SZ, "", ""},
        {"cut at the first NUL", REG_SZ, std::string("ab\0cd\0", 6), "ab"},
        {"GBK text, bytes counted", REG_SZ, std::string("C:\\\xb0\xb2\xd7\xb0.exe\0", 12), "C:\\\xb0\xb2\xd7\xb0.exe"},
        {"more than the buffer", REG_SZ, a80 + '\0', std::nullopt},
        {"a number", REG_DWORD, std::string("\x01\0\0\0", 4), std::nullopt},
        {"bytes", REG_BINARY, std::string("C:\\a.exe\0", 9), std::nullopt},
        {"a list", REG_MULTI_SZ, std::string("C:\\a.exe\0\0", 10), std::nullopt},
        {"no type", REG_NONE, std::string("C:\\a.exe\0", 9), std::nullopt},
    };
    for (const Row& row : rows)
        EXPECT_EQ(MainRunText(row.type, row.bytes.data(), row.bytes.size()), row.text) << row.name;
}

// ---- the registry itself

std::string TempFolder() {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    std::string folder = std::string(temp) + "vexa_launch\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

// A file whose full path is exactly `length` bytes long.
std::string MakeFileOfPathLength(const std::string& folder, std::size_t length) {
    std::string path = folder + std::string(length - folder.size() - 4, 'm') + ".exe";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return path;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override { RemoveKey(); }
    void TearDown() override { RemoveKey(); }

    static void RemoveKey() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, vexa::plus::kIMSoftKey); }
    static void CreateKey() {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, vexa::plus::kIMSoftKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // Stores exactly these bytes (no NUL added) with this type.
    static void SetValue(DWORD type, const std::string& bytes) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, vexa::plus::kIMSoftKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, vexa::plus::kMainRunValue, 0, type,
                                 reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void SetString(const std::string& text) { SetValue(REG_SZ, text + '\0'); }
};

constexpr char kUntouched[] = "untouched";

TEST_F(Registry, MissingKeyOrValueLeavesThePathAlone) {
    std::string path = kUntouched;
    EXPECT_EQ(CheckIMSetup(path), 0);
    EXPECT_EQ(path, kUntouched);

    CreateKey();
    EXPECT_EQ(CheckIMSetup(path), 0);
    EXPECT_EQ(path, kUntouched);
}

TEST_F(Registry, ValuesAreReadUpToEightyBytesWithTheirNul) {
    const std::string folder = TempFolder();
    const std::string existing79 = MakeFileOfPathLength(folder, 79);
    const std::string existing80 = MakeFileOfPathLength(folder, 80);
    const std::string missing = folder + "missing\\VexaIM.exe";
    ASSERT_EQ(existing79.size(), 79u);
    ASSERT_EQ(existing80.size(), 80u);

    struct Row {
        const char* name;
        DWORD type;
        std::string stored;  // bytes as stored, NUL included or not
        int result;
        std::string path;  // kUntouched when the value must not be read
    };
    SetEnvironmentVariableA("VEXA_LAUNCH_FOLDER", folder.substr(0, folder.size() - 1).c_str());
    const std::string expandable = "%VEXA_LAUNCH_FOLDER%\\" + existing79.substr(folder.size());
    const std::vector<Row> rows = {
        {"79 bytes naming a file", REG_SZ, existing79 + '\0', 1, existing79},
        {"80 bytes naming a file", REG_SZ, existing80 + '\0', 0, kUntouched},
        {"80 bytes stored without NUL", REG_SZ, existing80, 0, kUntouched},
        {"79 bytes stored without NUL", REG_SZ, existing79, 1, existing79},
        {"far too long", REG_SZ, std::string(300, 'x') + '\0', 0, kUntouched},
        {"a missing file", REG_SZ, missing + '\0', 0, missing},
        {"empty", REG_SZ, std::string(1, '\0'), 0, ""},
        {"expandable, tested expanded", REG_EXPAND_SZ, expandable + '\0', 1, expandable},
        {"a folder", REG_SZ, folder + '\0', 1, folder},
        {"a number", REG_DWORD, std::string("\x01\0\0\0", 4), 0, kUntouched},
        {"bytes that look like a path", REG_BINARY, existing79 + '\0', 0, kUntouched},
    };
    for (const Row& row : rows) {
        SetValue(row.type, row.stored);
        std::string path = kUntouched;
        EXPECT_EQ(CheckIMSetup(path), row.result) << row.name;
        EXPECT_EQ(path, row.path) << row.name;
    }
}

TEST_F(Registry, GbkValuesCountBytesNotCharacters) {
    ASSERT_EQ(GetACP(), 936u) << "GBK values need the GBK code page";
    // 39 two-byte characters and one letter: 79 bytes; one more character: 81.
    std::string chinese;
    for (int i = 0; i < 39; ++i) chinese += "\xb0\xb2";
    const std::string fits = chinese + "x";
    const std::string over = chinese + "\xb0\xb2" + "x";
    struct Row {
        std::string text;
        int result;
        std::string path;
    };
    const Row rows[] = {{fits, 0, fits}, {over, 0, kUntouched}, {chinese + "\xb0\xb2", 0, kUntouched}};
    for (const Row& row : rows) {
        SetString(row.text);
        std::string path = kUntouched;
        EXPECT_EQ(CheckIMSetup(path), row.result) << row.text.size();
        EXPECT_EQ(path, row.path) << row.text.size();
    }
}

// ---- the installer

TEST(Installer, AMissingInstallerIsReportedToTheUser) {
    TestWindow parent("VexaHost");
    const std::string paths[] = {
        "C:\\vexa\\missing\\setup.exe",
        "C:\\\xc8\xb1\xc9\xd9\\\xb0\xb2\xd7\xb0.exe",  // C:\缺少\安装.exe
        "C:\\%s%n%d\\setup.exe",                       // shown as it is, never used as a format
        "",
    };
    for (const std::string& path : paths) {
        MessageBoxWatcher watcher(vexa::texts::kSystemNoticeCaption);
        EXPECT_EQ(InstallVexaIM(parent.Handle(), path), 0) << path;
        ASSERT_TRUE(watcher.WaitForBoxes(1)) << path;
        PumpFor(100);
        ASSERT_EQ(watcher.Texts().size(), 1u) << path;
        EXPECT_EQ(watcher.Texts()[0], vexa::texts::InstallerMissingText(path)) << path;
    }
}

TEST(Installer, ReturnsOnlyAfterTheInstallerHasEnded) {
    const std::string marker = TempFolder() + "installer.marker";
    DeleteFileA(marker.c_str());
    SetEnvironmentVariableA("VEXA_LAUNCH_MARKER", marker.c_str());
    MessageBoxWatcher watcher(vexa::texts::kSystemNoticeCaption);

    EXPECT_EQ(InstallVexaIM(nullptr, ExeDirectory() + "vexa_launch_installer.exe"), 1);

    // The installer writes its marker only after a second, then lingers: the
    // marker is there, and the process that wrote it is gone.
    HANDLE file = CreateFileA(marker.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "the installer had not finished";
    char text[64] = {};
    DWORD read = 0;
    ReadFile(file, text, sizeof text - 1, &read, nullptr);
    CloseHandle(file);
    ASSERT_EQ(std::string(text, 4), "pid=");
    DWORD pid = static_cast<DWORD>(std::strtoul(text + 4, nullptr, 10));
    ASSERT_NE(pid, 0u);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process) {
        EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0) << "the installer was still running";
        CloseHandle(process);
    }
    EXPECT_TRUE(watcher.Texts().empty());
    DeleteFileA(marker.c_str());
}

}  // namespace
