#!/usr/bin/env bash
# Chat latency under Wine: from one IM program's IM_SendChatMsg, through the
# reference server, to the other IM program's kind-5 notification, beside a
# bare TCP round trip over loopback measured in the same run by the same
# program, and the same chat again over TLS (both IM programs on the
# server's TLS listener, pinned mode) for the cost of the encryption. Both IM programs read one clock (QueryPerformanceCounter), so the
# one-way figure needs no clock agreement.
#
#   scripts/bench-chat.sh [N]      (N messages, default 1000)
# Needs build/native/server/vexaim-server and build/win32/bin/vexaim.exe
# (scripts/run.sh builds both). Prints the figures and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
count=${1:-1000}
case "$count" in ''|*[!0-9]*) echo "usage: scripts/bench-chat.sh [N]" >&2; exit 2 ;; esac

server_bin=$root/build/native/server/vexaim-server
bin=$root/build/win32/bin
for f in "$server_bin" "$bin/vexaim.exe"; do
  [ -e "$f" ] || { echo "bench-chat.sh: $f is missing (run scripts/run.sh once)" >&2; exit 1; }
done
prefix=$root/build/win32/bench-prefix
work=$(mktemp -d)
server_pid=""
cleanup() {
  set +e
  bash "$root/cmake/wine-prefix.sh" "$prefix" stop
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Certificates for the TLS listener, as the tests make them; the IM programs
# pin the server certificate's fingerprint.
certs=$root/build/bench-certs
bash "$root/tests/support/make-test-certs.sh" "$certs"
"$server_bin" --address 127.0.0.1 --port 0 --database "$work/vexaim.db" --seed-demo \
    --tls-port 0 --tls-cert "$certs/server.pem" --tls-key "$certs/server.key" \
    2>"$work/server.log" </dev/null &
server_pid=$!
address="" tls_port=""
for i in $(seq 1 100); do
  address=$(grep -o 'listening on [0-9.]*:[0-9]*' "$work/server.log" 2>/dev/null | head -1 | sed 's/listening on //' || true)
  tls_port=$(sed -n 's/.*listening (TLS) on [0-9.]*:\([0-9]*\).*/\1/p' "$work/server.log" 2>/dev/null | head -1 || true)
  [ -n "$address" ] && [ -n "$tls_port" ] && break
  sleep 0.1
done
[ -n "$address" ] && [ -n "$tls_port" ] || { echo "bench-chat.sh: the server did not start" >&2; cat "$work/server.log" >&2; exit 1; }
tls_address=127.0.0.1:$tls_port
pin=$(cat "$certs/server.sha256")

bash "$root/cmake/wine-prefix.sh" "$prefix" start
export VEXA_WINEPREFIX=$prefix
w() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's|/|\\|g')"; }

# One sender and one echo, over the server address given, with the security
# given; TAG keeps their named events and logs apart.
run_pair() {
  local tag=$1 server=$2 security=$3
  cat > "$work/sender-$tag.txt" <<SCRIPT
login 10002 bob123
wait 1
set $tag-sender
await $tag-echo
benchtcp $count
benchchat 10003 $count
set $tag-sender-done
await $tag-echo-done 60000
quit
SCRIPT
  cat > "$work/echo-$tag.txt" <<SCRIPT
login 10003 carol123
wait 1
set $tag-echo
await $tag-sender
benchecho 10002 $count
set $tag-echo-done
await $tag-sender-done 60000
quit
SCRIPT
  bash "$root/cmake/wine-run.sh" "$bin/vexaim.exe" --name "sender-$tag" --server "$server" --security "$security" \
    --script "$(w "$work/sender-$tag.txt")" --log "$(w "$work/sender-$tag.log")" &
  local a=$!
  bash "$root/cmake/wine-run.sh" "$bin/vexaim.exe" --guest --name "echo-$tag" --server "$server" --security "$security" \
    --script "$(w "$work/echo-$tag.txt")" --log "$(w "$work/echo-$tag.log")" &
  local b=$! status=0
  wait $a || status=1
  wait $b || status=1
  if [ $status != 0 ]; then
    echo "bench-chat.sh: an IM program failed ($tag)" >&2
    cat "$work/sender-$tag.log" "$work/echo-$tag.log" >&2 2>/dev/null || true
    exit 1
  fi
}
run_pair plain "$address" plain
run_pair tls "$tls_address" "pin:$pin"

median() { sed 's/.*median_us=\([0-9.]*\).*/\1/' <<<"$1"; }
tcp=$(grep '^bench tcp_round_trip' "$work/sender-plain.log")
chat_rt=$(grep '^bench chat_round_trip' "$work/sender-plain.log")
chat_ow=$(grep '^bench chat_one_way' "$work/echo-plain.log")
tls_rt=$(grep '^bench chat_round_trip' "$work/sender-tls.log")
tls_ow=$(grep '^bench chat_one_way' "$work/echo-tls.log")
echo "chat messages: $count, server $address (TLS $tls_address), Wine $(wine --version 2>/dev/null)"
echo "  bare TCP round trip over loopback:            ${tcp#bench tcp_round_trip }"
echo "  chat one way (send -> other's kind 5):        ${chat_ow#bench chat_one_way }"
echo "  chat round trip (there and echoed):           ${chat_rt#bench chat_round_trip }"
echo "  chat one way over TLS (both legs encrypted):  ${tls_ow#bench chat_one_way }"
echo "  chat round trip over TLS:                     ${tls_rt#bench chat_round_trip }"
awk -v t="$(median "$tcp")" -v o="$(median "$chat_ow")" -v r="$(median "$chat_rt")" \
    -v so="$(median "$tls_ow")" -v sr="$(median "$tls_rt")" 'BEGIN {
  printf "  ratio chat one way / TCP round trip (medians): %.2f\n", o / t
  printf "  ratio chat round trip / TCP round trip (medians): %.2f\n", r / t
  printf "  ratio chat one way over TLS / plain (medians): %.2f\n", so / o
}'
if [ "$(bash "$root/scripts/i386-emulator.sh" mode)" = emulated ]; then
  echo "  (the Wine programs ran under the qemu-i386 emulator: the times are not comparable"
  echo "   with a native run; compare the ratios within this run only)"
fi
