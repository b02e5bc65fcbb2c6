#!/usr/bin/env bash
# Checks that a PE file (32-bit or 64-bit) imports only Windows system DLLs.
set -euo pipefail
file=$1
allowed='^(kernel32|user32|advapi32|shell32|shlwapi|ws2_32|wsock32|msvcrt|gdi32|ole32|secur32|crypt32)\.dll$'
# The x86_64 mingw objdump reads PE32 and PE32+ files alike.
imports=$("${OBJDUMP:-x86_64-w64-mingw32-objdump}" -p "$file" | sed -n 's/^\s*DLL Name: //p')
echo "$file imports: $(echo $imports)"
bad=$(echo "$imports" | grep -v -i -E "$allowed" || true)
if [ -n "$bad" ]; then
  echo "error: $file imports non-system DLLs: $bad" >&2
  exit 1
fi
