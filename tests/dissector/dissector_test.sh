#!/usr/bin/env bash
# Records the traffic of a scripted conversation on loopback and decodes it
# with the VexaIM dissector. Checks that every packet that went over the wire
# (as the traffic program logged it) was decoded with its command code named,
# in the right direction, and that fields, elements, GBK text and the
# server's trailing byte come out right.
# Usage: dissector_test.sh SERVER TRAFFIC DISSECTOR WORKDIR
# Exit 77 (skipped) when nothing can be captured here.
set -uo pipefail
server=$1 traffic=$2 dissector=$3 work=$4
rm -rf "$work"
mkdir -p "$work"

for tool in tshark dumpcap; do
  command -v $tool >/dev/null || { echo "SKIP: $tool not installed"; exit 77; }
done

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
}
trap cleanup EXIT

# The server on a free port, which its log names.
"$server" --port 0 --database "$work/server.db" --seed-demo --log-level info 2>"$work/server.log" &
pids+=($!)
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$work/server.log" | head -1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "error: the server did not start"; cat "$work/server.log"; exit 1; }
echo "server on port $port"

# Record loopback traffic of that port.
dumpcap -q -i lo -f "tcp port $port" -w "$work/capture.pcapng" 2>"$work/dumpcap.log" &
dumpcap_pid=$!
pids+=($dumpcap_pid)
for _ in $(seq 100); do
  [ -s "$work/capture.pcapng" ] && break
  kill -0 $dumpcap_pid 2>/dev/null || break
  sleep 0.1
done
if ! kill -0 $dumpcap_pid 2>/dev/null; then
  echo "SKIP: dumpcap cannot capture on lo here:"; cat "$work/dumpcap.log"; exit 77
fi
sleep 0.5

"$traffic" "$port" >"$work/traffic.log" 2>"$work/traffic.err"
rc=$?
sleep 0.5
kill -INT $dumpcap_pid; wait $dumpcap_pid 2>/dev/null
if [ $rc -ne 0 ]; then echo "error: the conversation failed:"; cat "$work/traffic.err"; exit 1; fi

# Not exec: the trap must still stop the server.
python3 "$(dirname "$0")/check_capture.py" "$work/capture.pcapng" "$dissector" "$port" "$work/traffic.log"
