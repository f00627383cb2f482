#!/usr/bin/env bash
# The real VhubVMic.sys on a Windows kernel that is not ours: Wine's
# ntoskrnl, plug-and-play manager and usbd.sys, in a fresh headless prefix.
#
#   1. cross-builds the driver package and the installer (mingw-w64);
#   2. installs the package with vhubinst.exe the way a device installer
#      does on Windows (a ROOT\ device, its hardware identifier, the INF);
#   3. checks that the bus came up: its interface opens, and the camera
#      and the audio device were enumerated with their identifiers;
#   4. drives the control interface with vhubctl.exe through everything
#      that needs no class driver on the children;
#   5. with the test function driver bound to the camera, feeds a known
#      video and compares what the function driver reassembled, frame by
#      frame.
# The driver's own debug output (DbgPrint) is part of the log.
#
# Exits non-zero when a check fails; the last line is "wine: N passed, M failed".
# Environment: VHUB_WINE_BUILD_DIR (default build/wine), VHUB_WINE_KEEP=1
# keeps the prefix and the logs (their folder is printed).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# --- packages ---------------------------------------------------------------
need=()
for p in wine wine64 g++-mingw-w64-x86-64 mingw-w64-x86-64-dev cmake; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || need+=("$p")
done
if ((${#need[@]})); then
  echo "wine: installing ${need[*]}"
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null \
    || { echo "wine: cannot install ${need[*]}"; echo "wine: 0 passed, 1 failed"; exit 1; }
fi

# --- build --------------------------------------------------------------------
build=${VHUB_WINE_BUILD_DIR:-build/wine}
mkdir -p "$build"
echo "== wine: building the driver package and the test tools in $build"
if ! VHUB_WINDOWS_BUILD_DIR="$build/windows" scripts/windows-build.sh >"$build/build.log" 2>&1; then
  tail -40 "$build/build.log"; echo "wine: the Windows build failed"; echo "wine: 0 passed, 1 failed"; exit 1
fi
if [ ! -f "$build/tools/CMakeCache.txt" ]; then
  cmake -S windows/wine -B "$build/tools" -DCMAKE_TOOLCHAIN_FILE="$root/windows/mingw-w64-x86_64.cmake" \
    >>"$build/build.log" 2>&1
fi
if ! cmake --build "$build/tools" -j "${VHUB_JOBS:-2}" >>"$build/build.log" 2>&1; then
  tail -40 "$build/build.log"; echo "wine: the test tools failed to build"; echo "wine: 0 passed, 1 failed"; exit 1
fi
package=$root/$build/windows/package
tools=$root/$build/tools

# --- the prefix -------------------------------------------------------------
work=$(mktemp -d /tmp/vhub-wine.XXXXXX)
export WINEPREFIX=$work/prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
syslog=$work/system.log

cleanup() {
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  if [ "${VHUB_WINE_KEEP:-0}" = 1 ]; then echo "wine: prefix and logs kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# wine's own chatter that says nothing about the driver (no 32-bit loader,
# no display, no COM service in a headless prefix).
quiet() {
  grep -a -v -e 'wine32 is missing' -e 'multiarch needs' -e 'dpkg --add-architecture' \
    -e 'apt-get install wine32' -e 'nodrv_CreateWindow' -e 'initialize_systray' -e 'start_rpcss' || true
}

pass=0; fail=0
check() {  # check NAME COMMAND...: COMMAND's exit status decides
  local name=$1; shift
  if "$@"; then pass=$((pass + 1)); echo "  ok    $name"
  else fail=$((fail + 1)); echo "  FAIL  $name"; fi
}

within() {  # within SECONDS COMMAND...: COMMAND succeeds now or within SECONDS
  local left=$1; shift
  until "$@"; do
    [ "$left" -gt 0 ] || return 1
    sleep 1; left=$((left - 1))
  done
}

run() {  # run EXE ARGS...: a Windows program, its output on stdout
  timeout "${VHUB_WINE_TIMEOUT:-60}" wine "$@" 2> >(quiet >>"$work/programs.log")
}

echo "== wine: a fresh prefix in $WINEPREFIX"
mkdir -p "$WINEPREFIX"
# Create the prefix and let it shut down completely, so that the session
# below starts from a settled system rather than racing the first boot's
# service start-up.
WINEDEBUG=-all timeout 300 wineboot -i >/dev/null 2>&1
WINEDEBUG=-all timeout 120 wineserver -w
# The session: the system processes (services, plugplay, the winedevice
# that hosts the driver) inherit this WINEDEBUG and this stderr, so the
# driver's DbgPrint output (warn+debugstr) lands in $syslog.
export WINEDEBUG=warn+debugstr,warn+plugplay
wineserver -p
timeout 300 wineboot >"$syslog" 2>&1
for _ in $(seq 1 60); do
  WINEDEBUG=-all wine sc query PlugPlay 2>/dev/null | grep RUNNING >/dev/null && break
  sleep 1
done

# The product name the driver reads at AddDevice, from drive C: of the
# prefix; the camera's USB texts carry it ("Acme Camera").
printf 'Acme' >"$WINEPREFIX/drive_c/DeiverName.dat"

# --- 1. install -------------------------------------------------------------
echo "== wine: installing the driver package"
# Wine 8's setupapi has no DIRID 13 (the driver store that Windows 10 runs
# drivers from); it would copy the image into an "unknown" folder. The
# package is installed with the drivers folder (DIRID 12) instead, which
# every Windows version accepts too.
mkdir -p "$work/package"
cp "$package/VhubVMic.sys" "$package/vhubctl.exe" "$work/package/"
sed -e 's/^\(DefaultDestDir *= *\)13/\112/' -e 's/%13%/%12%/g' "$package/VhubVMic.inf" >"$work/package/VhubVMic.inf"
cp "$package/vhubinst.exe" "$work/package/"
vhubctl=$work/package/vhubctl.exe
(cd "$work/package" && run ./vhubinst.exe install VhubVMic.inf 'ROOT\VHUBVMIC') | tee "$work/install.out"
check "vhubinst installs the package on ROOT\\VHUBVMIC" grep -q "installed on ROOT" "$work/install.out"

# --- 2. the bus came up -------------------------------------------------------
child_key() {  # the Enum key of a child, as the plug-and-play manager wrote it
  WINEDEBUG=-all wine reg query "HKLM\\System\\CurrentControlSet\\Enum\\USB\\$1\\$2" 2>/dev/null | tr -d '\r'
}
for _ in $(seq 1 30); do
  child_key 'VID_FC02&PID_FD02&REV_ABCD' 02 | grep HardwareID >/dev/null && break
  sleep 1
done
driver_log() {  # the driver's DbgPrint lines, GBK text made readable
  # A message with line breaks inside continues on lines without Wine's
  # "tid:class:channel:" prefix; they belong to the DbgPrint before them.
  awk '/^[0-9a-f][0-9a-f][0-9a-f][0-9a-f]:/ {
         dbg = index($0, ":warn:debugstr:vDbgPrintExWithPrefix ") > 0
         if (dbg) { sub(/^.*vDbgPrintExWithPrefix [0-9a-f]*:[0-9a-f]*: /, ""); print }
         next }
       dbg' "$syslog" | quiet | iconv -f GBK -t UTF-8 -c
}
# (grep reads to the end: an early exit would fail the pipeline by SIGPIPE)
has_log() { driver_log | grep -- "$1" >/dev/null; }
count_log() { driver_log | grep -c -- "$1"; }

check "DriverEntry ran" has_log '^DriverEntry'
check "AddDevice ran" has_log '^VhubVMouseAddDevice'
check "the bus started" has_log '^FdoStartDevice'
check "bus relations were queried after start" has_log '^FdoHandleQueryDeviceRelations'
check "the camera's identity" eval "child_key 'VID_FC01&PID_FD01&REV_ABCD' 01 | grep 'HardwareID.*USB\\\\VID_FC01&PID_FD01&REV_ABCD' >/dev/null"
check "the audio device's identity" eval "child_key 'VID_FC02&PID_FD02&REV_ABCD' 02 | grep 'HardwareID.*USB\\\\VID_FC02&PID_FD02&REV_ABCD' >/dev/null"
check "both children compatible with USB\\COMPOSITE" eval \
  "[ \$( (child_key 'VID_FC01&PID_FD01&REV_ABCD' 01; child_key 'VID_FC02&PID_FD02&REV_ABCD' 02) | grep -c 'CompatibleIds.*USB\\\\COMPOSITE') = 2 ]"

run "$vhubctl" info | tee "$work/info.out"
check "vhubctl finds the bus interface" grep -q '^interface: .*{a918dc47-8798-45a3-8351-cbf0ab47208a}' "$work/info.out"
check "vhubctl opens it: device info succeeds" grep -q '^device info: 0x00000000' "$work/info.out"
check "the host's frame size is row 2 (720x480)" grep -q '^video index: 2 ' "$work/info.out"

# --- 3. the control interface -------------------------------------------------
# One request per row: vhubctl raw CODE ARGS prints
#   status 0x........ NAME bytes N ms T [data XX ...]
# and each row says what the status (or "error": any failure status), the
# byte count, the time and the first data bytes must be ("-": anything).
raw() { run "$vhubctl" raw "$@"; }
expect() {  # expect NAME STATUS BYTES MIN_MS MAX_MS DATA -- RAW-ARGS...
  local name=$1 status=$2 bytes=$3 min_ms=$4 max_ms=$5 data=$6; shift 7
  local out; out=$(raw "$@" | tr -d '\r')
  local st by ms da ok=1
  st=$(sed -n 's/^status \(0x[0-9A-F]*\).*/\1/p' <<<"$out")
  by=$(sed -n 's/.* bytes \([0-9]*\).*/\1/p' <<<"$out")
  ms=$(sed -n 's/.* ms \([0-9]*\).*/\1/p' <<<"$out")
  da=$(sed -n 's/.* data \(.*\)$/\1/p' <<<"$out")
  [ -n "$st" ] || ok=0
  if [ "$status" = error ]; then [[ "$st" == 0xC* ]] || ok=0
  elif [ "$st" != "$status" ]; then ok=0; fi
  [ "$bytes" = - ] || [ "$by" = "$bytes" ] || ok=0
  [ -n "$ms" ] && [ "$ms" -ge "$min_ms" ] && [ "$ms" -le "$max_ms" ] || ok=0
  [ "$data" = - ] || [[ "$da" == "$data"* ]] || ok=0
  check "$name  [${out:-no answer}]" test $ok = 1
}
#      what                                               status     bytes ms        data
expect "device info: success, nothing returned"          0x00000000 0     0 5000    -  -- 0x220004 --in 16 --out 16
expect "plug-in on the started bus is refused"           0xC000022B -     0 5000    -  -- 0x22002C
expect "READ_VIDEOINDEX answers 2"                       0x00000000 1     0 5000    02 -- 0x220067 --out 4
expect "microphone write, no transfer waiting"           0x00000000 0     0 5000    -  -- 0x22003B --in 1920
expect "frame of the selected size, no transfer waiting" 0x00000000 0     0 5000    -  -- 0x22005B --in 691200
expect "frame of the wrong size is refused"              0xC000009A -     0 5000    -  -- 0x22005B --in 614400
expect "speaker read with nothing waiting"               0x00000000 0     0 5000    -  -- 0x22004F --out 8192
expect "raw-data read returns after about 500 ms"        0x00000000 0     400 2500  -  -- 0x22004B --out 4096
expect "bad frame pointer: an error, no crash"           error      -     0 5000    -  -- 0x22005B --in 691200 --in-addr 0x10
expect "bad microphone pointer: an error, no crash"      error      -     0 5000    -  -- 0x22003B --in 1920 --in-addr 0xFFFF800000000000
expect "bad video-index pointer: an error, no crash"     error      -     0 5000    -  -- 0x220067 --out 4 --out-addr 0x10
expect "bad speaker pointer: an error, no crash"         error      -     0 5000    -  -- 0x22004F --out 8192 --out-addr 0xFFFF800000000000
expect "bad raw-data pointer: an error, no crash"        error      -     0 5000    -  -- 0x22004B --out 4096 --out-addr 0x10
expect "a code outside the table goes down: refused"     error      -     0 5000    -  -- 0x220008
expect "the bus still answers after the bad pointers"    0x00000000 1     0 5000    02 -- 0x220067 --out 4

# Unplug, then plug-in once the plug-and-play manager has removed both
# children (until then the slots are taken and plug-in is refused).
expect "unplug"                                          0x00000000 -     0 5000    -  -- 0x220030
replugged=""
for _ in $(seq 1 20); do
  out=$(raw 0x22002C | tr -d '\r')
  case "$out" in
    "status 0x00000000"*) replugged=$out; break ;;
    "status 0xC000022B"*) sleep 1 ;;
    *) replugged="unexpected: $out"; break ;;
  esac
done
check "plug-in succeeds once the children are gone  [$replugged]" eval '[[ "$replugged" == "status 0x00000000"* ]]'
check "both children were removed" eval '[ "$(count_log "^PdoRemoveDevice")" -ge 2 ]'
check "both children were created again" eval '[ "$(count_log "^AddPdo IoCreateDeviceSecure")" -ge 4 ]'
# The manager enumerates them after the plug-in's invalidation, in its own time.
check "and enumerated again" within 20 eval '[ "$(count_log "^BusQueryCompatibleIDs")" -ge 4 ]'
run "$vhubctl" info >"$work/info2.out"
check "after the replug the interface still answers" grep -q '^video index: 2 ' "$work/info2.out"

# --- 4. a function driver on the camera, and a known video through it -----------
echo "== wine: the test function driver on the camera"
cp "$tools/testfd/VhubTestFd.sys" "$tools/testfd/vhubfd.exe" "$work/package/"
cp windows/testfd/VhubTestFd.inf "$work/package/"
vhubfd=$work/package/vhubfd.exe
(cd "$work/package" && run ./vhubinst.exe update VhubTestFd.inf 'USB\VID_FC01&PID_FD01&REV_ABCD') | tee -a "$work/install.out"
check "vhubinst binds the function driver to the camera" grep -q "installed on USB.VID_FC01" "$work/install.out"
# The camera present now was enumerated without a function driver, and Wine
# starts a child only when one is bound: replug, so that the new camera is
# enumerated with it.
raw 0x220030 >/dev/null
for _ in $(seq 1 20); do
  case "$(raw 0x22002C | tr -d '\r')" in "status 0xC000022B"*) sleep 1 ;; *) break ;; esac
done
report=$work/report.txt
for _ in $(seq 1 30); do
  run "$vhubfd" report 2>/dev/null | tr -d '\r' >"$report"
  grep -q '^stage 6' "$report" && break
  sleep 1
done
field() { sed -n "s/^$1 //p" "$report"; }
check "the function driver was loaded on the camera" has_log '^VhubTestFd: attached'
check "its set-up reached streaming  [stage $(field stage), status $(field setup-status)]" \
  eval '[ "$(field stage)" = 6 ] && [ "$(field setup-status)" = 0x00000000 ]'
check "the driver read its name file" has_log ':Acme$'
check "the camera's product text carries the name  [$(field product)]" eval '[ "$(field product)" = "Acme Camera" ]'
check "probe/commit gave 480x360: 345600 bytes per frame  [$(field frame-bytes)]" eval '[ "$(field frame-bytes)" = 345600 ]'
check "8 transfers in flight before any frame  [$(field transfers-in-flight)]" eval '[ "$(field transfers-in-flight)" = 8 ]'
run "$vhubctl" info >"$work/info3.out"
check "READ_VIDEOINDEX follows the committed frame size (0)" grep -q '^video index: 0 ' "$work/info3.out"

frames=30
python3 windows/wine/make-media.py "$work/known.y4m" "$work/known.wav" $frames 640 480
run "$vhubfd" expect "$work/known.y4m" 480 360 | tr -d '\r' >"$work/expected.txt"
(cd "$work" && run "$vhubctl" feed known.y4m known.wav) | tr -d '\r' | tee "$work/feed.out"
sleep 1
run "$vhubfd" report | tr -d '\r' >"$report"
grep '^frame [0-9]' "$report" >"$work/received.txt"
check "vhubctl fed all $frames frames" grep -q "^$frames frames written" "$work/feed.out"
check "the function driver reassembled $frames complete frames  [$(field frames-complete) complete, $(field frames-bad) bad]" \
  eval '[ "$(field frames-complete)" = $frames ] && [ "$(field frames-bad)" = 0 ]'
check "no packet errors, no failed transfers  [$(field packet-errors), $(field transfers-failed)]" \
  eval '[ "$(field packet-errors)" = 0 ] && [ "$(field transfers-failed)" = 0 ]'
check "every frame's checksum matches the fed frame, in order" \
  eval '[ "$(wc -l <"$work/expected.txt")" = $frames ] && diff "$work/expected.txt" "$work/received.txt" >"$work/frames.diff"'
[ -s "$work/frames.diff" ] && head -20 "$work/frames.diff"
check "transfers still in flight after the stream  [$(field transfers-in-flight)]" eval '[ "$(field transfers-in-flight)" = 8 ]'

# Unplug while the function driver streams: the bus hands its parked
# transfers back, the camera is removed with the function driver on it, and
# a plug-in brings a camera that streams again.
removed_before=$(count_log '^PdoRemoveDevice')
expect "unplug while the camera streams"                 0x00000000 -     0 5000    -  -- 0x220030
replugged=""
for _ in $(seq 1 20); do
  out=$(raw 0x22002C | tr -d '\r')
  case "$out" in "status 0xC000022B"*) sleep 1 ;; *) replugged=$out; break ;; esac
done
check "plug-in after the streaming camera is gone  [$replugged]" eval '[[ "$replugged" == "status 0x00000000"* ]]'
check "the function driver got its transfers back and was removed" eval \
  'driver_log | grep "^VhubTestFd: removed; transfers back: .* 0 still out" >/dev/null'
check "both children removed again" eval '[ $(( $(count_log "^PdoRemoveDevice") - removed_before )) -ge 2 ]'
for _ in $(seq 1 30); do
  run "$vhubfd" report 2>/dev/null | tr -d '\r' >"$report"
  grep -q '^stage 6' "$report" && break
  sleep 1
done
# A camera unplugged while streaming leaves the stream flag set in the bus
# extension; the new camera's configuration selection must clear it, or it
# refuses its probe with 0xC000000D (stage 4).
check "the new camera streams again  [stage $(field stage), $(field transfers-in-flight) in flight, set-up $(field setup-status)]" \
  eval '[ "$(field stage)" = 6 ] && [ "$(field transfers-in-flight)" = 8 ] && [ "$(field frames-complete)" = 0 ]'

# --- the driver's output ---------------------------------------------------------
echo "== wine: the driver's debug output (consecutive repeats counted; the pacing thread's window lines left out)"
driver_log >"$root/$build/driver.log"
cp "$syslog" "$root/$build/wine-system.log"
grep -v -x -e '\[VuzODidIrizaz\]' -e '======= ThreadProc ======timespan ster [0-9]*' "$root/$build/driver.log" \
  | uniq -c | sed 's/^ *1 /      /' | head -${VHUB_WINE_LOG_LINES:-3000}
echo "   ($(grep -c 'timespan ster' "$root/$build/driver.log") pacing-window lines; the whole output is in $build/driver.log," \
  "Wine's in $build/wine-system.log)"
echo "== wine: what Wine reported about the devices"
grep -a -e ':plugplay:' -e 'fixme:ntoskrnl' -e 'err:ntoskrnl' -e 'err:setupapi' "$syslog" | quiet | sort | uniq -c | head -40
if [ -s "$work/programs.log" ]; then
  echo "== wine: the programs' stderr"
  sort "$work/programs.log" | uniq -c | head -40
fi

echo "wine: $pass passed, $fail failed"
[ "$fail" = 0 ]
