#!/usr/bin/env bash
# Reads the hardening flags back from built PE files (the DLL, the programs):
#   - ASLR: DYNAMIC_BASE (0x0040) set and a base relocation table present, so
#     the loader can actually move the image; on a PE32+ image also
#     HIGH_ENTROPY_VA (0x0020). A 32-bit image has no high-entropy ASLR: the
#     flag exists only for 64-bit address spaces, so it is not asked of PE32.
#   - DEP: NX_COMPAT (0x0100).
#   - Stack protector: the canary check (__stack_chk_fail) linked in.
# Usage: check-pe.sh FILE...
set -euo pipefail
# The x86_64 mingw objdump reads PE32 and PE32+ files alike.
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
status=0
for file in "$@"; do
  headers=$("$objdump" -p "$file")
  magic=$(sed -n 's/^Magic\s*\([0-9a-fA-F]*\).*/\1/p' <<<"$headers")
  dllchars=$((16#$(sed -n 's/^DllCharacteristics\s*\([0-9a-fA-F]*\).*/\1/p' <<<"$headers")))
  filechars=$((16#$(sed -n 's/^Characteristics\s*0x\([0-9a-fA-F]*\).*/\1/p' <<<"$headers")))
  problems=()
  seen=()
  if (( dllchars & 0x40 )); then seen+=(DYNAMIC_BASE); else problems+=("DYNAMIC_BASE not set"); fi
  if (( dllchars & 0x100 )); then seen+=(NX_COMPAT); else problems+=("NX_COMPAT not set"); fi
  if (( dllchars & 0x20 )); then seen+=(HIGH_ENTROPY_VA); fi
  if [ "$magic" = "020b" ] && ! (( dllchars & 0x20 )); then problems+=("HIGH_ENTROPY_VA not set on a PE32+ image"); fi
  if (( filechars & 0x1 )); then problems+=("relocations stripped: the image cannot be moved"); fi
  if ! "$objdump" -h "$file" | grep -q ' \.reloc '; then problems+=("no .reloc section"); fi
  # Functions compiled with the protector end by calling the canary check.
  canaries=$("$objdump" -d "$file" | grep -c 'call .*<_*stack_chk_fail>' || true)
  if [ "$canaries" -gt 0 ]; then
    seen+=("stack-protector($canaries checked returns)")
  else
    problems+=("no function calls __stack_chk_fail: built without the stack protector, or stripped")
  fi
  kind=PE32; [ "$magic" = "020b" ] && kind=PE32+
  printf '%s: %s DllCharacteristics 0x%04x: %s\n' "$file" "$kind" "$dllchars" "${seen[*]}"
  for p in "${problems[@]}"; do echo "error: $file: $p" >&2; status=1; done
done
exit $status
