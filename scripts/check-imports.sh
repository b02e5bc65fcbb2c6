#!/usr/bin/env bash
# Checks that a PE file imports only Windows system DLLs.
set -euo pipefail
file=$1
allowed='^(kernel32|user32|advapi32|shell32|shlwapi|ws2_32|wsock32|msvcrt|gdi32|ole32|secur32|crypt32)\.dll$'
imports=$(i686-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
echo "$file imports: $(echo $imports)"
bad=$(echo "$imports" | grep -v -i -E "$allowed" || true)
if [ -n "$bad" ]; then
  echo "error: $file imports non-system DLLs: $bad" >&2
  exit 1
fi
