#!/usr/bin/env bash
# The demo: a reference IM server on loopback with demo accounts, a host
# program that starts an IM program for bob (10002), and a second IM program
# for carol (10003). They play a scripted conversation; the run prints what
# every window received, saves a screenshot of each window, and stops
# everything it started. Outputs go to out/demo/ (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
  cat <<'USAGE'
Usage: scripts/run.sh [options]

Builds what is missing, then plays the demo conversation under Wine and
writes out/demo/transcript.txt (what each window received, UTF-8) and
out/demo/{bob,carol,host}.png (screenshots).

Options:
  --no-server         use a server that already runs (see --server)
  --server ADDR:PORT  the server to use (default: start one on 127.0.0.1,
                      port chosen free; with --server-only 127.0.0.1:7788)
  --server-only       only start the reference server with the demo accounts
                      (10001 alice/alice123, 10002 bob/bob123,
                      10003 carol/carol123) and wait for Ctrl-C
  --by-hand           start the programs without scripts on your display
                      ($DISPLAY), so you type the commands yourself
                      (type "help" in an IM window)
  --keep              after the scenario, keep the server and the virtual
                      display running until Ctrl-C
  --tls               the server serves TLS only (certificates made for the
                      tests, build/demo-certs) and the IM programs pin its
                      certificate's fingerprint
  --security MODE     how the IM programs protect their connection: plain,
                      system, or pin:FINGERPRINT (for a server of --server)
  --host-64           the host program is the 64-bit build, beside the
                      32-bit IM programs (in a 64-bit Wine prefix)
  --no-build          do not install or build anything
  --out DIR           output folder (default out/demo)
  --help              this text
USAGE
}

no_server=0 server_only=0 by_hand=0 keep=0 no_build=0 tls=0 host64=0
server_addr="" out_dir="$root/out/demo" security=""
while [ $# -gt 0 ]; do
  case "$1" in
    --no-server) no_server=1 ;;
    --server) server_addr=${2:?--server needs ADDR:PORT}; shift ;;
    --server-only) server_only=1 ;;
    --by-hand) by_hand=1 ;;
    --keep) keep=1 ;;
    --no-build) no_build=1 ;;
    --tls) tls=1 ;;
    --host-64) host64=1 ;;
    --security) security=${2:?--security needs a mode}; shift ;;
    --out) out_dir=$(realpath -m "${2:?--out needs a folder}"); shift ;;
    --help|-h) usage; exit 0 ;;
    *) echo "run.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
if [ $no_server = 1 ] && [ -z "$server_addr" ]; then server_addr=127.0.0.1:7788; fi

server_bin=$root/build/native/server/vexaim-server
bin=$root/build/win32/bin
host_bin=$bin
prefix=$root/build/win32/demo-prefix
arch=win32
if [ $host64 = 1 ]; then
  # A 64-bit prefix runs the 64-bit host and the 32-bit IM programs together.
  host_bin=$root/build/win64/bin
  prefix=$root/build/win64/demo-prefix
  arch=win64
fi
data=$root/build/demo-data
scenario=$root/tools/scenario

# ---- install and build what is missing --------------------------------------
if [ $no_build = 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    bash scripts/deps.sh
  else
    echo "run.sh: not root, so scripts/deps.sh is skipped (missing packages stay missing)"
  fi
  # Up-to-date targets cost ninja a moment; stale ones are rebuilt.
  if [ $no_server = 0 ]; then
    [ -f build/native/CMakeCache.txt ] || cmake --preset native >/dev/null
    cmake --build --preset native --target vexaim-server
  fi
  if [ $server_only = 0 ]; then
    [ -f build/win32/CMakeCache.txt ] || cmake --preset win32 >/dev/null
    cmake --build --preset win32 --target vexaim vexahost
    if [ $host64 = 1 ]; then
      [ -f build/win64/CMakeCache.txt ] || cmake --preset win64 >/dev/null
      cmake --build --preset win64 --target vexahost
    fi
  fi
fi

if [ $server_only = 0 ] && [ "$(bash scripts/i386-emulator.sh mode)" = none ]; then
  echo "run.sh: this kernel runs no 32-bit programs; as root, scripts/deps.sh sets up an emulator for them:" >&2
  echo "run.sh:   sudo bash scripts/deps.sh" >&2
  exit 1
fi

# ---- everything started here is stopped here ----------------------------------
pids=()
xvfb_pid="" server_pid=""
cleanup() {
  set +e
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  if [ -d "$prefix" ]; then WINEPREFIX=$prefix wineserver -k 2>/dev/null; fi
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$out_dir"
rm -f "$out_dir"/*.log "$out_dir"/*.png "$out_dir"/transcript.txt "$out_dir"/shots/*

# ---- the server --------------------------------------------------------------
start_server() {
  local port=${1:-7788}
  rm -rf "$data" && mkdir -p "$data"
  local listening='listening on [0-9.]*:[0-9]*' tls_options=()
  if [ $tls = 1 ]; then
    # TLS only, so that nothing of the demo can go in clear text.
    bash tests/support/make-test-certs.sh "$root/build/demo-certs"
    tls_options=(--tls-only --tls-port "$port" --tls-cert "$root/build/demo-certs/server.pem"
                 --tls-key "$root/build/demo-certs/server.key")
    listening='listening (TLS) on [0-9.]*:[0-9]*'
    security=pin:$(cat "$root/build/demo-certs/server.sha256")
  fi
  "$server_bin" --address 127.0.0.1 --port "$port" --database "$data/vexaim.db" --seed-demo "${tls_options[@]}" \
      2>"$out_dir/server.log" </dev/null &
  server_pid=$!
  local i
  for i in $(seq 1 100); do
    local line
    line=$(grep -o "$listening" "$out_dir/server.log" 2>/dev/null | head -1 || true)
    if [ -n "$line" ]; then server_addr=${line##* on }; return 0; fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "run.sh: the server did not start; see $out_dir/server.log" >&2
  cat "$out_dir/server.log" >&2
  exit 1
}

if [ $server_only = 1 ]; then
  start_server "${server_addr:+${server_addr##*:}}"
  echo "Reference server on $server_addr (demo accounts 10001 alice/alice123, 10002 bob/bob123,"
  echo "10003 carol/carol123); log in $out_dir/server.log. Ctrl-C stops it."
  wait "$server_pid"
  exit 0
fi
if [ $no_server = 0 ]; then
  # A free port unless one was asked for: the demo must not meet a server
  # someone else runs on 7788.
  if [ -n "$server_addr" ]; then start_server "${server_addr##*:}"; else start_server 0; fi
fi
echo "run.sh: server $server_addr${security:+, security $security}"
# Both IM programs take it from the environment (bob's is started by the host).
if [ -n "$security" ]; then export VEXAIM_SECURITY=$security; fi

# ---- Wine prefix with a real (virtual) display for the screenshots ------------
export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine takes code page 936 from this locale, even where it is not generated;
# only the Wine commands get it, so this shell does not warn about it.
wine() { env LC_ALL=zh_CN.UTF-8 wine "$@"; }
wineboot() { env LC_ALL=zh_CN.UTF-8 wineboot "$@"; }
wineserver() { env LC_ALL=zh_CN.UTF-8 wineserver "$@"; }
if [ ! -f "$prefix/.vexa-demo-ready" ]; then
  echo "run.sh: making the demo Wine prefix (once)"
  rm -rf "$prefix" && mkdir -p "$prefix"
  (unset DISPLAY; wineboot -i >/dev/null 2>&1 || true; wineserver -w)
  cat > "$prefix/demo.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Auto"="0"
"Debugger"=""

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
  (unset DISPLAY; wine regedit /S "$prefix/demo.reg" >/dev/null 2>&1; wineserver -w)
  touch "$prefix/.vexa-demo-ready"
fi
# The windows write in a Latin monospace face; Wine links the Chinese glyphs
# from a fallback font, as Windows does for its own faces.
demo_font="DejaVu Sans Mono"
cjk_font=$(fc-list :lang=zh file 2>/dev/null | head -1 | sed 's/:.*//' || true)
if [ -n "$cjk_font" ] && [ ! -f "$prefix/.vexa-demo-fonts" ]; then
  cjk_face=$(fc-query -f '%{family[0]}' "$cjk_font" 2>/dev/null || true)
  (unset DISPLAY; wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
     /v "$demo_font" /t REG_MULTI_SZ /d "$(basename "$cjk_font"),$cjk_face" /f >/dev/null 2>&1
   wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
     /v "DejaVu Sans" /t REG_MULTI_SZ /d "$(basename "$cjk_font"),$cjk_face" /f >/dev/null 2>&1
   # The Chinese system faces have no Latin glyphs in the fallback font.
   for face in SimSun NSimSun "Microsoft YaHei" Tahoma; do
     wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ /d "DejaVu Sans" /f >/dev/null 2>&1
   done
   # No window manager runs on the virtual display: Wine draws the captions.
   wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
   wineserver -w)
  touch "$prefix/.vexa-demo-fonts"
fi
export VEXA_DEMO_FONT=$demo_font

if [ $by_hand = 0 ]; then
  display=""
  for n in $(seq 90 120); do
    if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then display=:$n; break; fi
  done
  [ -n "$display" ] || { echo "run.sh: no free X display number" >&2; exit 1; }
  Xvfb "$display" -screen 0 1400x1000x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
  xvfb_pid=$!
  for i in $(seq 1 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
  export DISPLAY=$display
fi
wineserver -p >/dev/null 2>&1 </dev/null || true

winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's|/|\\|g')"; }
shots=$out_dir/shots
mkdir -p "$shots"

# The programs ask for their screenshots (NAME.req with the window's place);
# this loop takes them from the virtual display and answers with NAME.done.
shot_loop() {
  while true; do
    for req in "$shots"/*.req; do
      [ -e "$req" ] || continue
      name=$(basename "$req" .req)
      read -r x y w h < "$req" || true
      if [ -n "${h:-}" ]; then
        import -display "$DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" +repage "$out_dir/$name.png" 2>/dev/null || true
      fi
      rm -f "$req"
      touch "$shots/$name.done"
    done
    sleep 0.1
  done
}

if [ $by_hand = 1 ]; then
  echo "run.sh: starting the host (bob's IM program) and carol's IM program on $DISPLAY"
  VEXAIM_NAME=bob VEXAIM_SERVER=$server_addr VEXAIM_POS=0,0 \
    wine "$host_bin/vexahost.exe" --im "$(winpath "$bin/vexaim.exe")" --user 10002 --password bob123 \
      --position "7,Room 7A,120,80,640,480" --pos 0,450 &
  pids+=($!)
  sleep 3
  wine "$bin/vexaim.exe" --guest --name carol --server "$server_addr" --pos 690,0 &
  pids+=($!)
  echo "Type commands in the IM windows (\"server\", \"login 10003 carol123\", \"help\"). Close them to end."
  wait "${pids[@]}" || true
  exit 0
fi

shot_loop &
pids+=($!)

echo "run.sh: playing the scenario (bob via the host program, carol beside him)"
VEXAIM_SCRIPT=$(winpath "$scenario/first.txt") VEXAIM_LOG=$(winpath "$out_dir/bob.log") \
VEXAIM_NAME=bob VEXAIM_SHOTS=$(winpath "$shots") VEXAIM_SERVER=$server_addr VEXAIM_POS=0,0 \
  wine "$host_bin/vexahost.exe" --im "$(winpath "$bin/vexaim.exe")" --user 10002 --password bob123 \
    --position "7,Room 7A,120,80,640,480" --log "$(winpath "$out_dir/host.log")" \
    --shots "$(winpath "$shots")" --pos 0,450 &
host_pid=$!
wine "$bin/vexaim.exe" --guest --script "$(winpath "$scenario/second.txt")" --log "$(winpath "$out_dir/carol.log")" \
  --name carol --shots "$(winpath "$shots")" --server "$server_addr" --pos 690,0 &
carol_pid=$!

# Each program ends itself; this bound only keeps a broken run from hanging.
status=0
deadline=$((SECONDS + 180))
for p in $host_pid $carol_pid; do
  while kill -0 "$p" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.2; done
  if kill -0 "$p" 2>/dev/null; then echo "run.sh: a program did not end in time" >&2; status=1; kill "$p"; fi
  wait "$p" || status=1
done
WINEPREFIX=$prefix wineserver -w 2>/dev/null &
w=$!; for i in $(seq 1 50); do kill -0 $w 2>/dev/null || break; sleep 0.1; done; kill $w 2>/dev/null || true

# ---- the transcript ------------------------------------------------------------
transcript=$out_dir/transcript.txt
{
  for who in host bob carol; do
    case $who in
      host) echo "==== host program$([ $host64 = 1 ] && echo ' (64-bit)') (started bob's IM program, sent his login and position)" ;;
      bob) echo "==== bob's IM program (10002), started by the host" ;;
      carol) echo "==== carol's IM program (10003)" ;;
    esac
    if [ -f "$out_dir/$who.log" ]; then iconv -f GBK -t UTF-8 "$out_dir/$who.log"; else echo "(no log)"; fi
    echo
  done
} > "$transcript"
cat "$transcript"

for who in host bob carol; do
  if [ -s "$out_dir/$who.png" ]; then echo "screenshot: $out_dir/$who.png"; else echo "run.sh: no screenshot of $who" >&2; status=1; fi
done
grep -q 'ended with 0$' "$out_dir/bob.log" 2>/dev/null || { echo "run.sh: bob's IM program failed" >&2; status=1; }
grep -q '^!!' "$out_dir"/*.log && status=1
echo "transcript: $transcript"

if [ $keep = 1 ]; then
  echo "run.sh: --keep: server on $server_addr, display $DISPLAY; Ctrl-C ends them"
  wait "$server_pid" 2>/dev/null || true
fi
exit $status
