#!/usr/bin/env bash
# The real tray program under Xvfb with trayer as the tray host: a click on the
# icon opens the menu, whose titles are read back from a screenshot; the
# installer opens from it with the Live under Wine chosen, reads its version
# and says what it installs from the script folder remembered; Quit
# disables the user service and ends the program with 0. Without a tray host
# the same status lines and actions are in a window. Without a display it
# runs with no tray, and SIGTERM ends it. The window also lists a tablet that
# connects, by name, with its round trip. Usage: tray-menu-test.sh TRAY SHOTS
set -euo pipefail
tray=$(realpath "$1") shots=$(mkdir -p "$2" && realpath "$2") work=$(mktemp -d) pids=() xvfb=
# The display goes last, so that nothing is cut off from it while it stops.
trap 'set +e; kill "${pids[@]}" 2>/dev/null; wait "${pids[@]}" 2>/dev/null; kill "$xvfb" 2>/dev/null; wait; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; head -n 30 "$work"/*.err >&2; exit 1; }
eventually() { for _ in $(seq 150); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done; return 1; }
patiently() { for _ in $(seq 30); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done; return 1; }  # reading screens
big_window() {  # a visible window of the program wider than the icon, as WxH+X+Y
  for w in $(xdotool search --onlyvisible --classname corvilane); do
    eval "$(xdotool getwindowgeometry --shell "$w")"
    [ "$WIDTH" -gt 100 ] && echo "${WIDTH}x${HEIGHT}+${X}+${Y}" && return 0
  done
  return 1
}
screen() { /usr/bin/import -window root "$work/screen.png" && /usr/bin/convert "$work/screen.png" -crop "$@"; }
tray_host() {  # trayer, started again if it gives up early; a tray icon needs its window
  for _ in 1 2 3; do
    trayer --edge top --align right --widthtype request --height 28 --SetDockType true --transparent false \
      --tint 0xdddddd 2>>"$work/trayer.err" & trayer=$! pids+=($!)
    eventually eval "xdotool search --classname trayer || ! kill -0 $!" && xdotool search --classname trayer && return 0
    sleep 1
  done
  return 1
}
# The command line is answered before any display or server: arguments, status, stream, first line.
while IFS='|' read -r args want stream first; do
  status=0 && env -u DISPLAY "$tray" $args >"$work/out" 2>"$work/err" || status=$?
  [ "$status" -eq "$want" ] && head -n 1 "$work/$stream" | grep -q "^$first" || fail "corvilane-tray $args: $status, $(cat "$work/out" "$work/err")"
done <<'TABLE'
--help|0|out|Usage: corvilane-tray \[options\]
-h|0|out|Usage: corvilane-tray
--version|0|out|corvilane-tray (corviLane) [0-9]
-V|0|out|corvilane-tray (corviLane) [0-9]
--bogus|2|err|corvilane-tray: Unknown option 'bogus'
-service --bogus|2|err|corvilane-tray: Unknown option 'bogus'
-platform|2|err|corvilane-tray: Missing value after '-platform'
TABLE

# Every X client here meets the test's display alone: no cookies or settings of the machine's user.
export HOME="$work" && unset XAUTHORITY
Xvfb -displayfd 3 -screen 0 640x360x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" & xvfb=$!
eventually grep -q . "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(cat "$work/display")"
eventually xdotool getdisplaygeometry || fail "Xvfb does not answer on $DISPLAY"
tray_host >/dev/null || fail "trayer did not start"
# Live 11.3.2 under Wine: its executable holds a fixed version block. systemctl only records.
live="$work/wine/drive_c/ProgramData/Ableton/Live 11 Suite"
mkdir -p "$live/Resources/MIDI Remote Scripts" "$live/Program" "$work/bin"
printf '\0\3\64\0\0\0V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0\0\0\0\0\275\4\357\376\0\0\1\0%8s\3\0\13\0\0\0\2\0%28s' \
  | tr ' ' '\0' >"$live/Program/Ableton Live 11 Suite.exe"
printf '#!/bin/sh\necho "$*" >>"%s/systemctl.args"\n' "$work" >"$work/bin/systemctl" && chmod +x "$work/bin/systemctl"
# The Live script as it came with the tablet app, chosen in an earlier session (the settings remember it).
mkdir -p "$work/tablet app/corviLanePro" "$work/.config/corviLane" && : >"$work/tablet app/corviLanePro/__init__.py"
printf '[General]\nscript_source=%s\n' "$work/tablet app" >"$work/.config/corviLane/corviLane.conf"
# libxkbcommon-x11 strndup()s X's unterminated names within their length; strict checks misread that.
[ -z "${ASAN_OPTIONS:-}" ] || export ASAN_OPTIONS="${ASAN_OPTIONS//strict_string_checks=1/strict_string_checks=0}"

# The program works in its state folder, and keeps its one-copy lock in the runtime folder.
export XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p -m 700 "$XDG_STATE_HOME/corvilane" "$XDG_RUNTIME_DIR" && cd "$XDG_STATE_HOME/corvilane"
HOME="$work" WINEPREFIX="$work/wine" PATH="$work/bin:$PATH" "$tray" -service 2>"$work/tray.err" & tray_pid=$! pids+=($!)
eventually xdotool search --onlyvisible --classname corvilane || fail "no tray icon"
icon=$(xdotool search --onlyvisible --classname corvilane | head -1)
menu_titles() {  # opens the menu and reads its titles; true once a refresh has set them ("On" until the first)
  xdotool mousemove --window "$icon" 4 4 click 1 && eventually big_window &&
    screen "$(big_window)" -colorspace Gray -resize 300% -threshold 90% "$work/ocr.png" &&
    tesseract "$work/ocr.png" - --psm 6 2>/dev/null | sed '/^[[:space:]]*$/d' >"$work/titles" &&
    grep -qx "Studio Mode: Off" "$work/titles" || { xdotool key Escape; eventually eval '! big_window'; false; }
}
patiently menu_titles || fail "the menu did not open with its titles set: $(cat "$work/titles" 2>/dev/null)"
mapfile -t titles <"$work/titles"
# In order; a Live script or tablets already on this machine may answer.
expected=("Install Script" "Studio Mode: Off" "Control Surface responding: (No|Yes)" "Devices plugged via USB: 0"
  "Devices responding via WiFi: [0-9]+" "Active Connections: [0-9]+" "Quit")
[ ${#titles[@]} -eq ${#expected[@]} ] || fail "the menu shows: ${titles[*]}"
for i in "${!expected[@]}"; do [[ ${titles[i]} =~ ^${expected[i]}$ ]] || fail "row $i: ${titles[i]}"; done
IFS='x+' read -r w h x y <<<"$(big_window)"  # the menu with the panel above it
/usr/bin/convert "$work/screen.png" -crop "$((640 - x + 8))x$((y + h + 8))+$((x - 8))+0" "$shots/tray-menu.png"

xdotool key Down Return  # Install Script, then the first Live listed
eventually big_window || fail "the installer did not open"
xdotool key alt+Down && sleep 0.5 && xdotool key Return
eventually grep -qx "Version of Live: 11.3.2" "$work/tray.err" || fail "the installer did not read Live's version"
installer_says() {  # the installer as shown, read back
  screen "$(big_window)" "$shots/installer.png" &&
    /usr/bin/convert "$shots/installer.png" -colorspace Gray -resize 300% -threshold 60% "$work/ocr.png" &&
    tesseract "$work/ocr.png" - --psm 6 2>/dev/null | tr '\n' ' ' | grep -q "Installs corviLanePro from .*/tablet app into .*/wine/"  # OCR may split a path
}
patiently installer_says || fail "the installer does not say what it installs: $(tesseract "$work/ocr.png" - --psm 6 2>/dev/null)"
xdotool key Escape
eventually eval '! big_window' || fail "the installer did not close"
xdotool mousemove --window "$icon" 4 4 click 1
eventually big_window || fail "the menu did not open again"
xdotool key Up Return  # Quit
wait "$tray_pid" || fail "Quit ended the program with $?"
eventually grep -qx -- "--user disable --now corvilane.service" "$work/systemctl.args" || fail "systemctl was not run"
grep -q "Bound to port" corvilane-server.log || fail "the server did not run"
kill "$trayer" && wait "$trayer" 2>/dev/null || true  # without a tray host: the status in a window
rm corvilane-server.log
HOME="$work" PATH="$work/bin:$PATH" "$tray" -service 2>"$work/window.err" & window=$! pids+=($!)
eventually grep -q "No system tray is available" "$work/window.err" || fail "no word of the missing tray"
eventually big_window || fail "no status window"
eventually grep -q "Bound to port" corvilane-server.log || fail "the server did not start"
port=$(sed -n 's/.*Bound to port \([0-9]*\).*/\1/p' corvilane-server.log | head -n 1)
/usr/bin/python3 - "$port" 8 <<'TABLET' & pids+=($!)
# A tablet that says its name, confirms its session and answers every ping.
import socket, struct, sys, time
def pad(text): return text + b"\0" * (4 - len(text) % 4)
def message(address, *arguments):
    tags = "," + "".join("i" if isinstance(a, int) else "s" for a in arguments)
    body = pad(address.encode()) + pad(tags.encode())
    for a in arguments: body += struct.pack(">i", a) if isinstance(a, int) else pad(a.encode())
    return struct.pack(">III", len(body), 2, 0) + body
tablet = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
tablet.sendall(message("/device_name", "Stage Pad") + message("/server/ping", 1))
tablet.settimeout(0.5)
held, end = b"", time.time() + float(sys.argv[2])
while time.time() < end:
    try: held += tablet.recv(65536)
    except socket.timeout: continue
    while len(held) >= 12 and len(held) >= 12 + struct.unpack(">I", held[:4])[0]:
        length = struct.unpack(">I", held[:4])[0]
        if held[12:12 + length].startswith(b"/app/ping"): tablet.sendall(message("/app/pong"))
        held = held[12 + length:]
TABLET
window_lines() {  # the window read back; true once a refresh lists the tablet with its round trip
  screen "$(big_window)" "$shots/tray-window.png" && screen "$(big_window)" -colorspace Gray -resize 300% -threshold 60% "$work/ocr.png" &&
    tesseract "$work/ocr.png" - --psm 6 2>/dev/null | sed '/^[[:space:]]*$/d' >"$work/lines" &&
    grep -Eq "^Stage Pad: Wi-Fi 127\.0\.0\.1, [0-9]+ ms$" "$work/lines"
}
patiently window_lines || fail "the window does not list the tablet: $(cat "$work/lines" 2>/dev/null)"
mapfile -t lines <"$work/lines"
expected=("${expected[@]:2:2}" "Devices responding via WiFi: 1" "Active Connections: 1"
  "Stage Pad: Wi-Fi 127\.0\.0\.1, [0-9]+ ms" "Wi-Fi: .+" "Install Script Studio Mode: Off Quit")
[ ${#lines[@]} -eq ${#expected[@]} ] || fail "the window shows: ${lines[*]}"
for i in "${!expected[@]}"; do [[ ${lines[i]} =~ ^${expected[i]}$ ]] || fail "window line $i: ${lines[i]}"; done
kill -TERM "$window"
wait "$window" || fail "SIGTERM ended the windowed program with $?"
rm corvilane-server.log  # then without a display: no tray, yet the server; SIGTERM ends both
env -u DISPLAY HOME="$work" "$tray" -service 2>"$work/headless.err" & headless=$! pids+=($!)
eventually grep -q "No system tray is available" "$work/headless.err" || fail "no word of the missing tray"
eventually eval '(( (16#$(awk "/^SigCgt/ {print \$2}" /proc/$headless/status) >> 14) & 1 ))' || fail "the server did not start without a display"
kill -TERM "$headless"
wait "$headless" || fail "SIGTERM ended the program with $?"
grep -q " INFO Finished." corvilane-server.log || fail "the server did not stop in order"
rm corvilane-server.log  # and when the display goes away under it, the server still stops in order
HOME="$work" "$tray" -service 2>"$work/orphan.err" & orphan=$! pids+=($!)
eventually grep -q "Bound to port" corvilane-server.log || fail "the server did not start with a display"
kill "$xvfb" && wait "$xvfb" || true
status=0 && wait "$orphan" || status=$?
[ "$status" -eq 1 ] || fail "losing the display ended the program with $status, not 1"
grep -q " INFO Finished." corvilane-server.log || fail "the server did not stop in order without its display"
echo "tray menu test passed; screenshots in $shots"
