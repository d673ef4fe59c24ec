#!/usr/bin/env bash
# Installs the Debian package as a fresh machine would (apt resolves its
# dependencies), checks both user services with systemd-analyze, and runs
# corvilane-server and corvilane-waveform from their installed paths.
# Needs root. A package that was not installed before is removed afterwards.
# Usage: check-package.sh build/package/corvilane_VERSION_ARCH.deb
set -euo pipefail
deb=$(realpath "$1")
work=$(mktemp -d)
server=""
installed_before=$(dpkg-query -W -f='${Status}' corvilane 2>/dev/null | grep -c "ok installed" || true)
cleanup() {
  [ -z "$server" ] || kill -KILL "$server" 2>/dev/null || true
  [ "$installed_before" -eq 1 ] || apt-get remove -y -q corvilane >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
eventually() { for _ in $(seq 100); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done; return 1; }

DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb"
for program in corvilane-tray corvilane-server corvilane-waveform; do
  [ -x "/usr/bin/$program" ] || fail "/usr/bin/$program is not installed"
done

# The units as a user's service manager loads them; any remark fails.
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
for unit in corvilane.service corvilane-server.service; do
  remarks=$(systemd-analyze --user verify "/usr/lib/systemd/user/$unit" 2>&1) || fail "$unit: $remarks"
  [ -z "$remarks" ] || fail "$unit: $remarks"
done

# The server: starts, takes SIGTERM once its handlers are in, stops in order.
cd "$work"
corvilane-server >server.out 2>&1 &
server=$!
catches_term() { (( (16#$(awk '/^SigCgt/ {print $2}' "/proc/$server/status") >> 14) & 1 )); }
eventually catches_term || fail "corvilane-server did not start"
kill -TERM "$server"
status=0
wait "$server" || status=$?
server=""
[ "$status" -eq 0 ] || fail "corvilane-server ended with $status"
grep -q " INFO Finished." corvilane-server.log || fail "corvilane-server did not log its stop"

# The waveform tool on a one-second tone.
ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=1" -ac 2 tone.wav
corvilane-waveform tone.wav >waveform.out || fail "corvilane-waveform failed"
grep -q "^duration: *1.000 s" waveform.out || fail "corvilane-waveform: $(cat waveform.out)"
echo "package check passed: $(basename "$deb")"
