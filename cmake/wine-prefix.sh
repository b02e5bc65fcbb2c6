#!/usr/bin/env bash
# Creates (once) and starts the private Wine prefix of a Win32 build:
#   null graphics driver, no crash debugger (a crashing program simply ends),
#   a persistent wineserver. A 32-bit prefix (win32) runs 32-bit programs; a
#   64-bit one (win64) runs 64-bit and 32-bit programs side by side.
# Usage: wine-prefix.sh PREFIX start|stop [win32|win64]
set -euo pipefail
prefix=$1
action=${2:-start}
arch=${3:-win32}
case $arch in win32|win64) ;; *) echo "wine-prefix.sh: no such prefix kind: $arch" >&2; exit 2 ;; esac
export WINEPREFIX="$prefix" WINEARCH=$arch WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
. "$(dirname "$0")/wine-emulator.sh"
vexa_wine_emulator "$prefix"

if [ "$action" = stop ]; then
  wineserver -k 2>/dev/null || true
  # Returns once the server (and so every Wine process of the prefix) is gone.
  timeout 30 wineserver -w 2>/dev/null || true
  exit 0
fi

# The marker names the version of the settings below, so a changed setting
# makes an older prefix anew.
ready="$prefix/.vexa-ready-2"
if [ "$arch" = win64 ]; then ready="$ready-win64"; fi
if [ ! -f "$ready" ]; then
  rm -rf "$prefix"
  mkdir -p "$prefix"
  env LC_ALL=zh_CN.UTF-8 wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  cat > "$prefix/vexa.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Drivers]
"Graphics"="null"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Auto"="1"
"Debugger"=""

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
  if [ "$arch" = win64 ]; then
    # Both views of the machine's software keys: the crash debugger is
    # looked up in the view of the crashing program's own word size.
    for view in 32 64; do
      env LC_ALL=zh_CN.UTF-8 wine reg import "Z:${prefix//\//\\}\\vexa.reg" /reg:$view >/dev/null 2>&1
    done
  else
    env LC_ALL=zh_CN.UTF-8 wine regedit /S "$prefix/vexa.reg" >/dev/null 2>&1
  fi
  wineserver -w
  touch "$ready"
fi
# A persistent wineserver makes each test program start in well under a second.
# Its output goes nowhere, so it never holds a test runner's pipes open.
# wineserver puts itself in the background once it listens, so the programs
# after it always find this one.
env LC_ALL=zh_CN.UTF-8 wineserver -p >/dev/null 2>&1 </dev/null || true
# Wine's own services start with the first program of a session and live on;
# start them here with no output attached, so they never hold a test's pipes.
env LC_ALL=zh_CN.UTF-8 WINEDEBUG=-all wine cmd /c exit >/dev/null 2>&1 </dev/null || true
exit 0
