#!/usr/bin/env bash
# Packs the ZIP of the finished 64-bit build, which holds the 32-bit build
# beside it, checks what it holds, then builds a small consumer of each word
# size against the unpacked ZIP alone (find_package from its prefix, nothing
# of the source tree but the compiler setting) and runs both under Wine.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work="$build/package-test"
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log"; exit 1; }
zip=$(ls "$work"/cpack/*.zip)
echo "package: $(basename "$zip")"

top=$(basename "$zip" .zip)
unzip -Z1 "$zip" | sed "s|^$top/||" | grep -v '/$' | sort >"$work/contents"
status=0
for f in include/VexaIMPlus.h include/VexaIMPlusC.h include/VexaIMPlusRecords.h README.md LICENSE \
         lib/cmake/VexaIMPlus/VexaIMPlusConfig.cmake lib/cmake/VexaIMPlus/VexaIMPlusConfigVersion.cmake; do
  if ! grep -qx "$f" "$work/contents"; then echo "error: $f missing from the ZIP"; status=1; fi
done
for word in "" x64/; do
  for f in bin/${word}VexaIMPlus.dll bin/${word}vexaim.exe bin/${word}vexahost.exe lib/${word}libVexaIMPlus.dll.a \
           lib/${word}VexaIMPlus.def; do
    if ! grep -qx "$f" "$work/contents"; then echo "error: $f missing from the ZIP"; status=1; fi
  done
done
[ $status -eq 0 ] || { cat "$work/contents"; exit 1; }
echo "the ZIP holds both DLLs with their import libraries and .def files, the demos, the headers, the README and the licence"

unzip -q "$zip" -d "$work/unpacked"
prefix="$work/unpacked/$top"
# The consumer is copied out, so that nothing beside it leads back to the
# source tree.
cp -r "$source/tests/package/consumer" "$work/consumer-src"
for target in i686 x86_64; do
  out=$work/consumer-$target
  cmake -S "$work/consumer-src" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchain-$target-mingw.cmake" -DCMAKE_PREFIX_PATH="$prefix" \
    >"$out.configure.log" 2>&1 || { cat "$out.configure.log"; exit 1; }
  cmake --build "$out" >"$out.build.log" 2>&1 || { cat "$out.build.log"; exit 1; }
  if grep -q "$source/include" "$out/build.ninja"; then
    echo "error: the $target consumer reached into the source tree's headers"; exit 1
  fi
  for program in consumer_c consumer_cxx; do
    "$source/cmake/wine-run.sh" "$out/$program.exe" || { echo "error: $target $program failed"; status=1; }
  done
done
exit $status
