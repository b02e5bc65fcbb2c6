#!/usr/bin/env bash
# Installs what building and testing need, only what is missing (idempotent).
# When everything is there it changes nothing and needs no root. When
# something is missing, root installs it; anybody else is told what to run
# as root, and the script fails. The services of what it installs (nginx,
# PostgreSQL) are not started: the tests start their own. Where the kernel
# runs no 32-bit programs, it also sets up the emulator that runs Wine's
# 32-bit half (scripts/i386-emulator.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
packages=(cmake ninja-build g++ gcc-multilib clang libclang-rt-14-dev lld llvm
          g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix wine wine32:i386 wine64
          googletest libgtest-dev libbenchmark-dev
          libasio-dev libsqlite3-dev libsodium-dev sqlite3
          postgresql libpq-dev nats-server libnats-dev libssl-dev openssl
          xvfb imagemagick tshark locales fonts-dejavu-core fonts-droid-fallback
          libboost-dev libjs-chart.js prometheus systemd dpkg-dev fakeroot
          chromium chromium-driver python3-selenium nginx)

installed() {
  local status
  # Read whole, not piped into a reader that may stop early.
  status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) || return 1
  [ "$status" = "install ok installed" ]
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
# wine32 is an i386 package: the architecture must be known to dpkg first.
need_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then need_i386=1; fi

if [ ${#missing[@]} -eq 0 ] && [ $need_i386 -eq 0 ]; then
  exec bash "$here/i386-emulator.sh" ensure
fi

what="${missing[*]:-}"
if [ $need_i386 -eq 1 ]; then what="$what (and the i386 architecture, for wine32)"; fi

if [ "$(id -u)" != 0 ]; then
  echo "deps: missing: $what" >&2
  echo "deps: run as root:  sudo bash $here/deps.sh" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# invoke-rc.d and deb-systemd-invoke ask policy-rc.d whether to start a
# service; for the length of the install it says no (101), unless the
# machine has a policy of its own.
policy=${VEXA_POLICY_RC_D:-/usr/sbin/policy-rc.d}
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# deps.sh: no service starts while it installs\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  trap 'rm -f "$policy"' EXIT
fi
echo "deps: installing $what"
if [ $need_i386 -eq 1 ]; then dpkg --add-architecture i386; fi
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections || true
apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
bash "$here/i386-emulator.sh" ensure
