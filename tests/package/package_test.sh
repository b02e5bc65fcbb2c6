#!/usr/bin/env bash
# Packs the ZIP of a finished Win32 build, checks what it holds, then builds
# a small consumer against the unpacked ZIP alone (find_package from its
# prefix, nothing of the source tree but the compiler setting) and runs it
# under Wine.
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
for f in bin/VexaIMPlus.dll bin/vexaim.exe bin/vexahost.exe include/VexaIMPlus.h include/VexaIMPlusC.h \
         include/VexaIMPlusRecords.h lib/libVexaIMPlus.dll.a lib/VexaIMPlus.def README.md LICENSE \
         lib/cmake/VexaIMPlus/VexaIMPlusConfig.cmake lib/cmake/VexaIMPlus/VexaIMPlusConfigVersion.cmake; do
  if ! grep -qx "$f" "$work/contents"; then echo "error: $f missing from the ZIP"; status=1; fi
done
[ $status -eq 0 ] || { cat "$work/contents"; exit 1; }
echo "the ZIP holds the DLL, the headers, the import library, the .def, the demos, the README and the licence"

unzip -q "$zip" -d "$work/unpacked"
prefix="$work/unpacked/$top"
# The consumer is copied out, so that nothing beside it leads back to the
# source tree.
cp -r "$source/tests/package/consumer" "$work/consumer-src"
cmake -S "$work/consumer-src" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchain-i686-mingw.cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/consumer" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
if grep -q "$source/include" "$work/consumer/build.ninja"; then
  echo "error: the consumer reached into the source tree's headers"; exit 1
fi

for program in consumer_c consumer_cxx; do
  "$source/cmake/wine-run.sh" "$work/consumer/$program.exe" || { echo "error: $program failed"; status=1; }
done
exit $status
