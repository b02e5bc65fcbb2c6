# Sourced by the Wine runner and the prefix set-up. Where user-mode QEMU runs
# Wine's 32-bit half (scripts/i386-emulator.sh), Wine's processes get the
# preload of cmake/emulated-traps.c, so that a fault is named as a CPU would
# name it, and VEXA_WINE_EMULATED tells the programs (benchmarks label their
# figures with it). Where the CPU runs 32-bit code itself, nothing changes.
#
# vexa_wine_emulator PREFIX: sets the environment for the prefix's programs,
# building the preload beside the prefix when it is missing or stale.
vexa_wine_emulator() {
  local prefix=$1 here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  [ "$(bash "$here/../scripts/i386-emulator.sh" mode 2>/dev/null)" = emulated ] || return 0
  export VEXA_WINE_EMULATED=qemu-i386

  # Built for both word sizes: ld.so expands $LIB to the folder of its own
  # kind, so a 64-bit program started along the way (a shell, a Linux helper)
  # finds a library of its own size, which does nothing.
  local lib=${prefix%/}.emulator source=$here/emulated-traps.c
  local traps=$lib/lib/i386-linux-gnu/libvexa_traps.so empty=$lib/lib/x86_64-linux-gnu/libvexa_traps.so
  if [ ! -f "$traps" ] || [ ! -f "$empty" ] || [ "$source" -nt "$traps" ]; then
    mkdir -p "${traps%/*}" "${empty%/*}"
    # Built aside and moved into place: runs in parallel never see half a file.
    gcc -m32 -shared -fPIC -O2 -fno-stack-protector -Wall -Werror -o "$traps.$$" "$source" -ldl &&
      mv -f "$traps.$$" "$traps" || { rm -f "$traps.$$"; echo "wine-emulator: cannot build $traps" >&2; return 1; }
    echo 'int vexa_traps_other_word_size;' | gcc -shared -fPIC -x c -o "$empty.$$" - &&
      mv -f "$empty.$$" "$empty" || { rm -f "$empty.$$"; return 1; }
  fi
  # shellcheck disable=SC2016 # $LIB is for ld.so to expand, not the shell.
  export LD_PRELOAD="$lib/\$LIB/libvexa_traps.so${LD_PRELOAD:+:$LD_PRELOAD}"
}
