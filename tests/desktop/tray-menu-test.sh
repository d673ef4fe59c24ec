#!/usr/bin/env bash
# The real tray program under Xvfb with trayer as the tray host: a click on
# the icon opens the menu, whose titles are read back from a screenshot; the
# installer opens from the menu and reads the version of a Live installed in a
# Wine prefix; Quit disables the user service and ends the program with 0.
# Without a display the program falls back to no tray, and SIGTERM ends it.
# Usage: tray-menu-test.sh TRAY_PROGRAM SCREENSHOT_FOLDER
set -euo pipefail
mkdir -p "$2"
tray=$(realpath "$1") shots=$(realpath "$2")
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; sed -n '1,40p' "$work"/*.err >&2 2>/dev/null; exit 1; }
# Retries a command for up to 15 s.
eventually() { for _ in $(seq 150); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done; return 1; }
window_of() { xdotool search --onlyvisible --name "$1" | head -1; }
menu_window() {
  for w in $(xdotool search --onlyvisible --classname corvilane); do
    eval "$(xdotool getwindowgeometry --shell "$w")"
    [ "$WIDTH" -gt 100 ] && [ "$HEIGHT" -gt 100 ] && { echo "$w"; return 0; }
  done
  return 1
}
# Prints a window's geometry as WxH+X+Y, grown by $2 pixels on each side.
crop_of() {
  eval "$(xdotool getwindowgeometry --shell "$1")"
  local m=${2:-0}
  echo "$((WIDTH + 2 * m))x$((HEIGHT + 2 * m))+$((X > m ? X - m : 0))+$((Y > m ? Y - m : 0))"
}

# A display and a tray host of our own; Xvfb picks a free display number.
Xvfb -displayfd 3 -screen 0 640x360x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" & pids+=($!)
eventually grep -q . "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(cat "$work/display")"
trayer --edge top --align right --widthtype request --height 28 --SetDockType true --transparent false \
  --tint 0xdddddd 2>"$work/trayer.err" & pids+=($!)
eventually xdotool search --classname panel || fail "trayer did not start"

# Live 11.3.2 under Wine: its executable holds a fixed version block.
live="$work/wine/drive_c/ProgramData/Ableton/Live 11 Suite"
mkdir -p "$live/Resources/MIDI Remote Scripts" "$live/Program" "$work/bin" "$work/home"
{
  head -c 1000 /dev/zero
  printf '\x00\x03\x34\x00\x00\x00V\x00S\x00_\x00V\x00E\x00R\x00S\x00I\x00O\x00N\x00_\x00I\x00N\x00F\x00O\x00'
  printf '\x00\x00\x00\x00\xbd\x04\xef\xfe\x00\x00\x01\x00'
  head -c 8 /dev/zero
  printf '\x03\x00\x0b\x00\x00\x00\x02\x00'
  head -c 28 /dev/zero
} >"$live/Program/Ableton Live 11 Suite.exe"
# systemctl only records what it was asked.
printf '#!/bin/sh\necho "$*" >>"%s/systemctl.args"\n' "$work" >"$work/bin/systemctl"
chmod +x "$work/bin/systemctl"

# libxkbcommon-x11 reads X's unterminated name strings with strndup, bounded
# by their length; ASan's strict string checks would take that for an overflow.
[ -z "${ASAN_OPTIONS:-}" ] || export ASAN_OPTIONS="${ASAN_OPTIONS//strict_string_checks=1/strict_string_checks=0}"

cd "$work"
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" WINEPREFIX="$work/wine" PATH="$work/bin:$PATH" \
  "$tray" -service 2>"$work/tray.err" &
tray_pid=$!
pids+=($tray_pid)
eventually xdotool search --onlyvisible --classname corvilane || fail "no tray icon"
icon=$(xdotool search --onlyvisible --classname corvilane | head -1)
sleep 2  # past the first refresh

xdotool mousemove --window "$icon" 4 4 click 1
eventually menu_window || fail "the menu did not open"
menu=$(menu_window)
/usr/bin/import -window root "$work/screen.png"
/usr/bin/convert "$work/screen.png" -crop "$(crop_of "$menu")" -colorspace Gray -resize 300% -threshold 90% "$work/ocr.png"
tesseract "$work/ocr.png" - --psm 6 2>/dev/null | sed '/^[[:space:]]*$/d' >"$work/titles.txt"
# The rows in order; a Live script or tablets already on this machine may answer.
expected=("Install Script" "Studio Mode: Off" "Control Surface responding: (No|Yes)" "Devices plugged via USB: 0"
  "Devices responding via WiFi: [0-9]+" "Active Connections: [0-9]+" "Quit")
mapfile -t titles <"$work/titles.txt"
[ ${#titles[@]} -eq ${#expected[@]} ] || fail "the menu shows: $(cat "$work/titles.txt")"
for i in "${!expected[@]}"; do
  [[ ${titles[i]} =~ ^${expected[i]}$ ]] || fail "row $i shows \"${titles[i]}\", not \"${expected[i]}\""
done
eval "$(xdotool getwindowgeometry --shell "$menu")"
/usr/bin/convert "$work/screen.png" -crop "$((640 - X + 8))x$((Y + HEIGHT + 8))+$((X - 8))+0" "$shots/tray-menu.png"

# Install Script, then the first Live in the list.
xdotool key Down Return
eventually window_of "Install the corviLane Live script" || fail "the installer did not open"
dialog=$(window_of "Install the corviLane Live script")
xdotool key alt+Down
sleep 0.5
xdotool key Return
eventually grep -q "^Version of Live: 11.3.2$" "$work/tray.err" || fail "the installer did not read Live's version"
sleep 0.5
/usr/bin/import -window root "$work/screen.png"
/usr/bin/convert "$work/screen.png" -crop "$(crop_of "$dialog" 4)" "$shots/installer.png"
xdotool key Escape
eventually eval '! window_of "Install the corviLane Live script" | grep -q .' || fail "the installer did not close"

# Quit: the service is disabled, the program ends at once with 0.
xdotool mousemove --window "$icon" 4 4 click 1
eventually menu_window || fail "the menu did not open again"
xdotool key Up Return
status=0
wait "$tray_pid" || status=$?
[ "$status" -eq 0 ] || fail "Quit ended the program with $status"
eventually grep -qx -- "--user disable --now corvilane.service" "$work/systemctl.args" || fail "systemctl was not run"
grep -q "Bound to port" corvilane-server.log || fail "the server did not run"

# No display: no tray, the server runs; SIGTERM stops it and the program.
rm -f corvilane-server.log
env -u DISPLAY HOME="$work/home" "$tray" -service 2>"$work/headless.err" &
headless=$!
pids+=($headless)
eventually grep -q "No system tray is available" "$work/headless.err" || fail "no word of the missing tray"
eventually grep -q "Bound to port" corvilane-server.log || fail "the server did not start without a display"
catches_term() { (( (16#$(awk '/^SigCgt/ {print $2}' "/proc/$headless/status") >> 14) & 1 )); }
eventually catches_term || fail "the server did not install its signal handlers"
kill -TERM "$headless"
status=0
wait "$headless" || status=$?
[ "$status" -eq 0 ] || fail "SIGTERM ended the program with $status"
grep -q " INFO Finished." corvilane-server.log || fail "the server did not stop in order"
echo "tray menu test passed; screenshots in $shots"
