#!/usr/bin/env bash
# Wine's 32-bit half needs a kernel that runs 32-bit x86 programs. Some
# kernels cannot (32-bit support switched off, some hypervisors and
# sandboxes); there user-mode QEMU, registered with binfmt_misc, runs them
# instead: slower, but the same programs and the same tests.
#
# Usage: i386-emulator.sh COMMAND
#   mode        prints how i386 programs run here: native, emulated or none
#   ensure      if they do not run, installs QEMU and registers it (root)
#   register    registers QEMU for i386 programs even where the CPU runs them
#               itself (binfmt_misc is asked before the kernel's own loader);
#               prints "registered" when it did, nothing when it already was
#   unregister  removes that registration
#   mirror      prints the Debian mirror that the apt sources use for this
#               release, and its keyring: URI|KEYRING
#
# What it reads can be pointed elsewhere for tests: VEXA_I386_PROBE (an i386
# program that accepts --version), VEXA_BINFMT_DIR, VEXA_APT_ETC,
# VEXA_OS_RELEASE.
set -euo pipefail

probe=${VEXA_I386_PROBE:-/usr/lib/wine/wineserver32}
binfmt=${VEXA_BINFMT_DIR:-/proc/sys/fs/binfmt_misc}
apt_etc=${VEXA_APT_ETC:-/etc/apt}
os_release=${VEXA_OS_RELEASE:-/etc/os-release}
handler=qemu-i386
qemu=/usr/bin/qemu-i386-static
# QEMU 7.2 (bookworm's own) stops Wine at "failed to map the shared user
# data"; backports carries a QEMU that runs it.
qemu_least=1:8
# i386 executables and position-independent ones (ELF class 32, little
# endian, e_type 2 or 3, e_machine 3). F opens QEMU now, so the handler keeps
# working in any mount namespace; register again after upgrading QEMU.
rule=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F'

say() { echo "i386: $*" >&2; }

runs() { "$probe" --version >/dev/null 2>&1; }

registered() { [ -f "$binfmt/$handler" ] && [ "$(head -n1 "$binfmt/$handler")" = enabled ]; }

mode() {
  if registered; then echo emulated
  elif runs; then echo native
  else echo none
  fi
}

need_root() {
  [ "$(id -u)" = 0 ] && return 0
  say "32-bit programs do not run on this kernel, and setting up the emulator needs root:"
  say "  sudo bash $(cd "$(dirname "$0")" && pwd)/deps.sh"
  exit 1
}

# The machine's own Debian mirror, as its apt sources name it for the
# release itself, and the keyring that signs it (may be empty).
mirror_of() {
  local codename=$1 file
  for file in "$apt_etc"/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    # deb822 stanzas, separated by blank lines.
    awk -v suite="$codename" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && uris != "") {
          split(uris, u, " "); print u[1] "|" signed; found = 1; exit
        }
        types = suites = uris = signed = ""
      }
      /^[ \t]*$/ { flush(); next }
      /^#/ { next }
      tolower($1) == "types:"     { $1 = ""; types = $0 }
      tolower($1) == "suites:"    { $1 = ""; suites = $0 }
      tolower($1) == "uris:"      { $1 = ""; uris = $0 }
      tolower($1) == "signed-by:" { signed = $2 }
      END { if (!found) flush() }
    ' "$file" | sed 's/^ *//' | head -n1 | grep . && return 0
  done
  # One-line style: deb [options] URI SUITE COMPONENTS...
  cat "$apt_etc"/sources.list "$apt_etc"/sources.list.d/*.list 2>/dev/null |
    awk -v suite="$codename" '
      $1 == "deb" {
        i = 2; signed = ""
        if ($i ~ /^\[/) {
          for (; i <= NF; i++) {
            if ($i ~ /^\[?signed-by=/) { s = $i; sub(/^\[?signed-by=/, "", s); sub(/\]$/, "", s); signed = s }
            if ($i ~ /\]$/) { i++; break }
          }
        }
        if ($(i + 1) == suite) { print $i "|" signed; exit }
      }' | grep .
}

release() {
  local codename
  codename=$(. "$os_release" && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || { say "cannot tell this system's release from $os_release"; exit 1; }
  echo "$codename"
}

install_qemu() {
  local version
  version=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)
  if [ -n "$version" ] && dpkg --compare-versions "$version" ge "$qemu_least" && [ -x "$qemu" ]; then
    return 0
  fi
  local codename
  codename=$(release)
  if ! grep -rqs -- "$codename-backports" "$apt_etc"/sources.list "$apt_etc"/sources.list.d/; then
    local found uri signed
    found=$(mirror_of "$codename") || { say "no apt source for $codename to take the mirror from"; exit 1; }
    uri=${found%%|*} signed=${found#*|}
    {
      echo "# Added by VexaIMPlus's scripts/i386-emulator.sh for qemu-user-static."
      echo "Types: deb"
      echo "URIs: $uri"
      echo "Suites: $codename-backports"
      echo "Components: main"
      [ -z "$signed" ] || echo "Signed-By: $signed"
    } >"$apt_etc"/sources.list.d/vexa-backports.sources
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq -t "$codename-backports" qemu-user-static >/dev/null
}

register() {
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  registered && return 0
  # A disabled handler of that name would refuse a new one of the same name.
  if [ -e "$binfmt/$handler" ]; then echo -1 >"$binfmt/$handler"; fi
  printf '%s' "$rule" >"$binfmt/register"
  echo registered
}

unregister() {
  if [ -e "$binfmt/$handler" ]; then echo -1 >"$binfmt/$handler"; fi
}

case ${1:-} in
  mode) mode ;;
  ensure)
    runs && exit 0
    need_root
    say "this kernel runs no 32-bit programs: installing qemu-user-static from backports and registering it for i386 programs, so that Wine's 32-bit half runs (slower than native)"
    install_qemu
    register >/dev/null
    runs || { say "32-bit programs still do not run under $qemu"; exit 1; }
    ;;
  register)
    need_root
    install_qemu
    register
    ;;
  unregister) need_root; unregister ;;
  mirror) mirror_of "$(release)" ;;
  *) echo "usage: $0 mode|ensure|register|unregister|mirror" >&2; exit 2 ;;
esac
