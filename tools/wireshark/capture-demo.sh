#!/usr/bin/env bash
# Records the demo (scripts/run.sh: bob's IM program started by a host, carol's
# IM program, the scripted conversation under Wine) on loopback, then decodes
# the capture with the VexaIM dissector and checks that every packet of it is
# decoded with its command code named (tests/dissector/check_capture.py).
#
# With --tls the server serves TLS only and the IM programs pin its
# certificate; the capture must then hold TLS and none of the demo's
# passwords and texts (tests/dissector/check_tls_capture.py).
#
# Usage: tools/wireshark/capture-demo.sh [--tls] [OUT_DIR]   (default out/demo-capture)
# Needs the built demo (build/win32) and server (build/native), dumpcap and
# tshark; writes OUT_DIR/demo.pcapng and OUT_DIR/decoded.txt.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
tls=0
if [ "${1:-}" = --tls ]; then tls=1; shift; fi
out=$(realpath -m "${1:-out/demo-capture}")
server=$root/build/native/server/vexaim-server
mkdir -p "$out"
rm -f "$out"/demo.pcapng "$out"/decoded.txt

pids=()
cleanup() {
  set +e
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
}
trap cleanup EXIT

rm -rf "$out/data" && mkdir -p "$out/data"
tls_options=() security=() listening='listening on'
if [ $tls = 1 ]; then
  certs=$root/build/demo-certs
  bash tests/support/make-test-certs.sh "$certs"
  tls_options=(--tls-only --tls-port 0 --tls-cert "$certs/server.pem" --tls-key "$certs/server.key")
  security=(--security "pin:$(cat "$certs/server.sha256")")
  listening='listening (TLS) on'
fi
"$server" --port 0 --database "$out/data/vexaim.db" --seed-demo "${tls_options[@]}" 2>"$out/server.log" &
pids+=($!)
port=""
for _ in $(seq 100); do
  port=$(grep -F "$listening" "$out/server.log" | sed -n 's/.* on [0-9.]*:\([0-9]*\).*/\1/p' | head -1 || true)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "capture-demo: the server did not start" >&2; exit 1; }

dumpcap -q -i lo -f "tcp port $port" -w "$out/demo.pcapng" 2>"$out/dumpcap.log" &
dumpcap_pid=$!
pids+=($dumpcap_pid)
for _ in $(seq 100); do [ -s "$out/demo.pcapng" ] && break; sleep 0.1; done
sleep 0.5

echo "capture-demo: server on port $port; playing the demo"
bash scripts/run.sh --no-build --no-server --server "127.0.0.1:$port" "${security[@]}" --out "$out/demo" >"$out/run.log" 2>&1 ||
  { echo "capture-demo: the demo failed; see $out/run.log" >&2; exit 1; }
sleep 0.5
kill -INT $dumpcap_pid
wait $dumpcap_pid 2>/dev/null || true

if [ $tls = 1 ]; then
  tshark -n -r "$out/demo.pcapng" -X lua_script:tools/wireshark/vexaim.lua -o "vexaim.tls_port:$port" -Y tls \
    >"$out/decoded.txt" 2>/dev/null
  python3 tests/dissector/check_tls_capture.py "$out/demo.pcapng" tools/wireshark/vexaim.lua "$port" \
    tools/scenario/first.txt tools/scenario/second.txt
  exit
fi
tshark -n -r "$out/demo.pcapng" -X lua_script:tools/wireshark/vexaim.lua -o "vexaim.port:$port" -V -Y vexaim \
  >"$out/decoded.txt" 2>/dev/null
python3 tests/dissector/check_capture.py "$out/demo.pcapng" tools/wireshark/vexaim.lua "$port"
