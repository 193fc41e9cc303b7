#!/usr/bin/env bash
# The client's window on a virtual X server: it opens, runs its first cycle, and a screenshot
# of the screen is kept in the build folder (window_screenshot.png) for a person to look at.
set -euo pipefail
build=$1
exe="$build/app/v7client"
shot="$build/window_screenshot.png"
[ -x "$exe" ] || { echo "no $exe"; exit 1; }

work=$(mktemp -d)
xvfb_pid=""
client_pid=""
cleanup() {
  [ -n "$client_pid" ] && kill "$client_pid" 2>/dev/null && wait "$client_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
display=":$(head -n1 "$work/display")"

# An FTP account on a port where nothing listens: the first cycle fails fast and says so.
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf 'clientlogin=site\nftp=127.0.0.1:%s,site,secret\nxtype=both\ntalkinterval=60000\ntrace=tofile\n' \
  "$port" >"$work/v7rm.ini"

DISPLAY="$display" "$exe" --window --workdir "$work" --config "$work" >"$work/client.log" 2>&1 &
client_pid=$!

# Start-up traces "FTP at ..." once the window is on the screen; then give the first cycle
# time to fail on the closed port.
for _ in $(seq 100); do
  grep -q "FTP at" "$work/trace.txt" 2>/dev/null && break
  kill -0 "$client_pid" 2>/dev/null || { echo "v7client ended early"; cat "$work/client.log"; exit 1; }
  sleep 0.1
done
grep -q "FTP at" "$work/trace.txt" 2>/dev/null || { echo "the client did not start"; exit 1; }
sleep 2
kill -0 "$client_pid" 2>/dev/null || { echo "v7client ended early"; cat "$work/client.log"; exit 1; }

rm -f "$shot"
import -display "$display" -window root "$shot"
[ -s "$shot" ] || { echo "no screenshot"; exit 1; }
colours=$(convert "$shot" -format %k info:)
echo "screenshot $shot with $colours colours"
[ "$colours" -gt 4 ] || { echo "the screen is blank"; exit 1; }
