#!/usr/bin/env bash
# An MSVC-ABI program against the DLL: its import library is made from
# VexaIMPlus.def in the MSVC (short import) format, it is compiled by clang-cl
# and linked by lld-link, and it runs under Wine beside the DLL.
# Usage: msvc_abi_test.sh DLL DEF SOURCE_DIR WORK
# Exit 77 (skipped) when the LLVM tools are not installed.
set -euo pipefail
dll=$1 def=$2 source=$3 work=$4
cc=$(command -v clang-cl || command -v clang-cl-14 || true)
for tool in "$cc" "$(command -v lld-link || true)" "$(command -v llvm-dlltool || true)"; do
  [ -n "$tool" ] || { echo "SKIP: clang-cl, lld-link or llvm-dlltool missing"; exit 77; }
done
rm -rf "$work"
mkdir -p "$work"
cd "$work"
llvm-dlltool -m i386 -d "$def" -l VexaIMPlus.lib -k
llvm-dlltool -m i386 -d "$source/msvc/kernel32.def" -l kernel32.lib -k
# (clang-cl would read an absolute path after the options as an option.)
"$cc" --target=i686-pc-windows-msvc /nologo /GS- /O1 /c -I"$source/msvc" -I"$source/../../include" \
  /Fomsvc_caller.obj -- "$source/msvc/msvc_caller.c"
lld-link /nologo /nodefaultlib /entry:start /subsystem:console /machine:x86 /out:msvc_caller.exe \
  msvc_caller.obj VexaIMPlus.lib kernel32.lib
cp "$dll" .
out=$("$source/../../cmake/wine-run.sh" ./msvc_caller.exe)
echo "msvc_caller: $out"
[ "$out" = "VexaIM_V1.0Beta" ]
