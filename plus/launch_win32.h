// The host side's installation and launch of the IM program: finding a
// running IM program by its window caption, finding the installed one through
// the registry, running its installer and starting it with the host's window
// handle on its command line.
//
// None of this needs an initialised session; a host calls it before it opens
// the shared blocks, because the IM program creates them.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstddef>
#include <optional>
#include <string>

#include "plus/registry_value.h"

class IMString;

namespace vexa::plus {

class PlusSession;

// Where the installed IM program is recorded: HKEY_LOCAL_MACHINE, this key,
// this string value.
inline constexpr char kIMSoftKey[] = "Software\\VexaIMSoft";
inline constexpr char kMainRunValue[] = "MainRun";

// The shell execution record's mask: keep the process handle, wait for DDE,
// substitute environment variables in the path, inherit the console, count
// the program as used.
inline constexpr ULONG kShellMask =
    SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_DDEWAIT | SEE_MASK_DOENVSUBST | SEE_MASK_NO_CONSOLE | SEE_MASK_FLAG_LOG_USAGE;
static_assert(kShellMask == 0x04008340, "shell mask");

// The record with which both the installer and the IM program are executed:
// no owner window, verb "open", no working directory, SW_SHOWNORMAL, all
// other members zero. `parameters` may be null.
SHELLEXECUTEINFOA MakeShellRecord(const char* file, const char* parameters);

// The IM program's one command-line parameter: the host window handle as a
// signed 32-bit decimal number.
std::string WindowParameter(HWND window);

// 1 when an IM program window exists. A given window is only tested; with
// none, the top-level window captioned `imTitle` is searched for and, when
// found, becomes the session's other window.
int CheckIMExist(PlusSession& session, HWND window, const std::string& imTitle);

// 1 when the registry names an existing IM program; `path` receives the
// registry value whenever it could be read and is left alone otherwise.
int CheckIMSetup(std::string& path);
int CheckIMSetup(IMString& path);

// Runs the installer and waits until its process has ended; 0 after telling
// the user that the installer file is missing.
int InstallVexaIM(HWND parent, const std::string& installerPath);

// Starts the IM program with `hostWindow` as its parameter, without waiting
// for it beyond a moment, and marks the session as the IM program's launcher.
// Always 1.
int RunVexaIMProgram(PlusSession& session, HWND hostWindow, const std::string& programPath);

}  // namespace vexa::plus
