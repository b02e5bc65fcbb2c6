#!/usr/bin/env bash
# Checks VexaIMPlus.def against what was built: the DLL exports exactly the C
# functions the .def lists, each under its undecorated name; each .def entry
# is the symbol the compiler gave the function (on 32-bit x86 with its @N, so
# an import library made from the .def links against real callers; on x64
# plain); and every function of the C header is listed.
# Usage: check_def.sh DLL DEF HEADER OBJDUMP NM OBJECT...
set -euo pipefail
dll=$1 def=$2 header=$3 objdump=$4 nm=$5
shift 5
status=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Export names of the DLL: the Ordinal/Name Pointer table.
"$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' >"$tmp/all"
if grep -q '@' "$tmp/all"; then
  echo "error: decorated export names in $dll:"; grep '@' "$tmp/all"; status=1
fi
grep '^VexaIM_' "$tmp/all" | sort >"$tmp/exports" || true

# Entries of the .def, decorated and not.
sed -e 's/;.*//' "$def" | awk 'f && NF {print $1} /^EXPORTS/ {f=1}' | sort >"$tmp/def_decorated"
sed 's/@[0-9]*$//' "$tmp/def_decorated" | sort >"$tmp/def"

if ! diff -u "$tmp/def" "$tmp/exports" >"$tmp/diff1"; then
  echo "error: .def entries (-) and DLL exports (+) differ:"; cat "$tmp/diff1"; status=1
fi

# The compiler's own decoration of each function.
# (CMake may pass the objects as one ;-separated list.)
for arg in "$@"; do
  IFS=';' read -ra objs <<<"$arg"
  for obj in "${objs[@]}"; do
    # 32-bit C symbols carry a leading underscore, x64 ones none.
    "$nm" "$obj" | awk '$2 == "T" && $3 ~ /^_?VexaIM_/ {s = $3; sub(/^_/, "", s); print s}'
  done
done | sort >"$tmp/compiled"
if ! diff -u "$tmp/def_decorated" "$tmp/compiled" >"$tmp/diff2"; then
  echo "error: .def entries (-) and the compiled symbols (+) differ:"; cat "$tmp/diff2"; status=1
fi

# Every function the C header declares.
grep -o 'VEXAIMC_CALL VexaIM_[A-Za-z0-9_]*' "$header" | sed 's/^VEXAIMC_CALL //' | sort >"$tmp/header"
if ! diff -u "$tmp/header" "$tmp/def" >"$tmp/diff3"; then
  echo "error: header declarations (-) and .def entries (+) differ:"; cat "$tmp/diff3"; status=1
fi

count=$(wc -l <"$tmp/exports")
if [ "$count" -eq 0 ]; then echo "error: no C exports found in $dll"; status=1; fi
if [ $status -eq 0 ]; then echo "VexaIMPlus.def matches: $count undecorated C exports, decorations and header agree"; fi
exit $status
