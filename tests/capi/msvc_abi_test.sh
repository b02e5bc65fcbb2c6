#!/usr/bin/env bash
# An MSVC-ABI program against the DLL: its import library is made from
# VexaIMPlus.def in the MSVC (short import) format, it is compiled by clang-cl
# and linked by lld-link, and it runs under Wine beside the DLL.
# Usage: msvc_abi_test.sh DLL DEF SOURCE_DIR WORK x86|x64
# Exit 77 (skipped) when the LLVM tools are not installed.
set -euo pipefail
dll=$1 def=$2 source=$3 work=$4 machine=${5:-x86}
case $machine in
  x86) dlltool_machine=i386 target=i686-pc-windows-msvc ;;
  x64) dlltool_machine=i386:x86-64 target=x86_64-pc-windows-msvc ;;
  *) echo "msvc_abi_test.sh: unknown machine $machine" >&2; exit 2 ;;
esac
cc=$(command -v clang-cl || command -v clang-cl-14 || true)
for tool in "$cc" "$(command -v lld-link || true)" "$(command -v llvm-dlltool || true)"; do
  [ -n "$tool" ] || { echo "SKIP: clang-cl, lld-link or llvm-dlltool missing"; exit 77; }
done
rm -rf "$work"
mkdir -p "$work"
cd "$work"
llvm-dlltool -m $dlltool_machine -d "$def" -l VexaIMPlus.lib -k
# x64 symbols carry no @N.
if [ $machine = x64 ]; then sed 's/@[0-9]*$//' "$source/msvc/kernel32.def" >kernel32.def; else cp "$source/msvc/kernel32.def" .; fi
llvm-dlltool -m $dlltool_machine -d kernel32.def -l kernel32.lib -k
# (clang-cl would read an absolute path after the options as an option.)
"$cc" --target=$target /nologo /GS- /O1 /c -I"$source/msvc" -I"$source/../../include" \
  /Fomsvc_caller.obj -- "$source/msvc/msvc_caller.c"
lld-link /nologo /nodefaultlib /entry:start /subsystem:console /machine:$machine /out:msvc_caller.exe \
  msvc_caller.obj VexaIMPlus.lib kernel32.lib
cp "$dll" .
out=$("$source/../../cmake/wine-run.sh" ./msvc_caller.exe)
echo "msvc_caller: $out"
[ "$out" = "VexaIM_V1.0Beta" ]
