#!/usr/bin/env bash
# The server's Debian package, as cpack makes it from this build: its name,
# control fields and contents (dpkg-deb), its systemd unit (systemd-analyze
# verify, and its exposure by systemd-analyze security), and the packaged
# configuration file, which must name every option and be read as it is.
# Usage: deb_test.sh BUILD_DIR
set -uo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0
check() {  # check WHAT COMMAND...
  local what=$1; shift
  if "$@" >"$work/out" 2>&1; then
    passes=$((passes + 1)); echo "[ ok ] $what"
  else
    failures=$((failures + 1)); echo "[FAIL] $what"; sed 's/^/    /' "$work/out" | head -40
  fi
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb="$work/vexaim-server_${version}_amd64.deb"
check "cpack makes vexaim-server_${version}_amd64.deb" \
  sh -c "cd '$build' && cpack -G DEB -B '$work' >/dev/null && test -f '$deb'"
[ -f "$deb" ] || { echo "0 passed, 1 failed"; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
check "Package, Version, Architecture, Section" \
  test "$(field Package) $(field Version) $(field Architecture) $(field Section)" = "vexaim-server $version amd64 net"
for dep in adduser libc6 libsodium23 libsqlite3-0 libpq5 'libnats'; do
  check "depends on $dep" sh -c "dpkg-deb -f '$deb' Depends | grep -q '$dep'"
done
check "a maintainer and a description" sh -c "test -n \"\$(dpkg-deb -f '$deb' Maintainer)\" && dpkg-deb -f '$deb' Description | grep -q 'systemd service'"

dpkg-deb -c "$deb" | awk '{print $1, $2, $NF}' >"$work/contents"
for entry in '-rwxr-xr-x root/root ./usr/sbin/vexaim-server' \
             '-rw-r--r-- root/root ./usr/lib/systemd/system/vexaim-server.service' \
             '-rw-r----- root/root ./etc/vexaim/vexaim-server.conf' \
             '-rw-r--r-- root/root ./usr/share/doc/vexaim-server/README.md' \
             '-rw-r--r-- root/root ./usr/share/doc/vexaim-server/copyright'; do
  check "holds $entry" grep -qxF -- "$entry" "$work/contents"
done
check "nothing else but folders" sh -c "test \$(grep -vc '^d' '$work/contents') -eq 5"

mkdir "$work/control" "$work/root"
dpkg-deb -e "$deb" "$work/control" && dpkg-deb -x "$deb" "$work/root"
check "the configuration file is a conffile" grep -qx /etc/vexaim/vexaim-server.conf "$work/control/conffiles"
check "postinst makes the system user vexaim" grep -q 'adduser --system --group .* vexaim' "$work/control/postinst"
check "postinst gives the configuration file to root and the group vexaim, 0640" \
  sh -c "grep -q 'chown root:vexaim /etc/vexaim/vexaim-server.conf' '$work/control/postinst' &&
         grep -q 'chmod 0640 /etc/vexaim/vexaim-server.conf' '$work/control/postinst'"
for script in postinst prerm postrm; do
  check "$script is a valid shell script" sh -n "$work/control/$script"
done

unit="$work/root/usr/lib/systemd/system/vexaim-server.service"
for setting in User=vexaim StateDirectory=vexaim ProtectSystem=strict NoNewPrivileges=yes ProtectHome=yes \
               PrivateTmp=yes PrivateDevices=yes CapabilityBoundingSet= RestrictAddressFamilies= \
               SystemCallFilter=@system-service MemoryDenyWriteExecute=yes \
               'ExecStart=/usr/sbin/vexaim-server --config /etc/vexaim/vexaim-server.conf'; do
  check "the unit sets $setting" grep -q "^$setting" "$unit"
done
# verify wants the program where ExecStart says; here it is in the unpacked tree.
sed "s|/usr/sbin/vexaim-server|$work/root/usr/sbin/vexaim-server|" "$unit" >"$work/vexaim-server.service"
check "systemd-analyze verify" sh -c "systemd-analyze verify '$work/vexaim-server.service' 2>&1 | tee /dev/stderr | (! grep .)"
check "systemd-analyze security: exposure at most 2 of 10" \
  systemd-analyze security --offline=true --root="$work/root" --threshold=20 vexaim-server.service

server="$work/root/usr/sbin/vexaim-server"
conf="$work/root/etc/vexaim/vexaim-server.conf"
"$server" --help >"$work/help"
check "--help of the packaged program lists --config" grep -q -- '--config FILE' "$work/help"
for option in $(sed -n 's/^  --\([a-z-]*\).*/\1/p' "$work/help"); do
  case $option in help|config|print-config) continue ;; esac
  check "the configuration file names $option" grep -Eq "^(# )?$option =" "$conf"
done
check "the packaged configuration file is read as it is" \
  sh -c "'$server' --config '$conf' --print-config | grep -qx 'store = sqlite:/var/lib/vexaim/vexaim.db'"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
