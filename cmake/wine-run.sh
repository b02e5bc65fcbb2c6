#!/usr/bin/env bash
# Runs one Win32 program under Wine in the build folder's private prefix.
# The prefix is made by cmake/wine-prefix.sh (the wine_prefix test fixture).
set -euo pipefail
: "${VEXA_WINEPREFIX:=${WINEPREFIX:-$PWD/wineprefix}}"
export WINEPREFIX="$VEXA_WINEPREFIX"
export WINEDEBUG="${WINEDEBUG:--all}"
# The prefix's own kind (the set-up made it 32-bit or 64-bit); a 64-bit
# prefix runs programs of both word sizes.
if grep -qs '^#arch=win64' "$WINEPREFIX/system.reg"; then export WINEARCH=win64; else export WINEARCH=win32; fi
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
. "$(dirname "$0")/wine-emulator.sh"
vexa_wine_emulator "$WINEPREFIX"
# GetACP() is 936 under this locale, as the library's users run it.
exec env LC_ALL=zh_CN.UTF-8 wine "$@"
