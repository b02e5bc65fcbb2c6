#!/usr/bin/env bash
# Installs what building and testing need, only what is missing (idempotent).
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev
          g++-mingw-w64-i686 wine wine32:i386
          googletest libgtest-dev libbenchmark-dev
          libasio-dev libsqlite3-dev libsodium-dev sqlite3
          xvfb imagemagick tshark locales fonts-dejavu-core fonts-droid-fallback)
missing=()
# wine32 is an i386 package: the architecture must be known to dpkg first.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections || true
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
elif [ "${need_update:-0}" = 1 ]; then
  apt-get update -qq
fi
