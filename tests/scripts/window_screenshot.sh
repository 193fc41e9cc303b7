#!/usr/bin/env bash
# The client's window on a virtual X server: it opens and runs its first cycle; with an FTP
# account that names no host it shows the message box and keeps running. Screenshots are kept
# in the build folder (window_screenshot.png, window_startup_error.png) for a person to see.
set -euo pipefail
build=$1
src=$2
exe="$build/app/v7client"
[ -x "$exe" ] || { echo "no $exe"; exit 1; }

. "$src/tests/fixtures/tempdir.sh"
v7_tempdir work
xvfb_pid=""
client_pid=""
stop_client() {
  [ -n "$client_pid" ] && kill "$client_pid" 2>/dev/null && wait "$client_pid" 2>/dev/null || true
  client_pid=""
}
cleanup() {
  stop_client
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; cat "$work/client.log" 2>/dev/null || true; exit 1; }

# Xvfb picks a free display itself and writes its number.
setpriv --pdeathsig KILL Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log"; fail "Xvfb did not start"; }
display=":$(head -n1 "$work/display")"

# An FTP account on a port where nothing listens: the first cycle fails fast and says so.
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

# run_client HOST SHOT: starts the window, waits until start-up traced that it reads the FTP
# account, gives it two seconds (the first cycle, or the message box), and takes a screenshot.
run_client() {
  printf 'clientlogin=site\nftp=%s,site,secret\ntalkinterval=60000\ntrace=tofile\n' \
    "$1" >"$work/v7rm.ini"
  rm -f "$work/trace.txt" "$2"
  DISPLAY="$display" setpriv --pdeathsig KILL "$exe" --window --workdir "$work" --config "$work" >"$work/client.log" 2>&1 &
  client_pid=$!
  for _ in $(seq 100); do
    grep -q "Getting FTP details" "$work/trace.txt" 2>/dev/null && break
    kill -0 "$client_pid" 2>/dev/null || fail "v7client ended early"
    sleep 0.1
  done
  grep -q "Getting FTP details" "$work/trace.txt" 2>/dev/null || fail "the client did not start"
  sleep 2
  kill -0 "$client_pid" 2>/dev/null || fail "v7client ended early"
  import -display "$display" -window root "$2"
  [ -s "$2" ] || fail "no screenshot"
  colours=$(/usr/bin/convert "$2" -format %k info:)
  echo "screenshot $2 with $colours colours"
  [ "$colours" -gt 4 ] || fail "the screen is blank"
  stop_client
}

run_client "127.0.0.1:$port" "$build/window_screenshot.png"
grep -q "Connecting to project" "$work/trace.txt" || fail "no cycle ran"

run_client "" "$build/window_startup_error.png"
grep -q "Connecting to project" "$work/trace.txt" && fail "a cycle ran after a failed start-up"

# A second client on a working folder in use is refused: in the window it says so in a message
# box (beside the first client's window), as well as on standard error.
printf 'clientlogin=site\nftp=127.0.0.1:%s,site,secret\ntalkinterval=60000\ntrace=tofile\n' \
  "$port" >"$work/v7rm.ini"
rm -f "$work/trace.txt"
DISPLAY="$display" setpriv --pdeathsig KILL "$exe" --window --workdir "$work" --config "$work" \
  >"$work/client.log" 2>&1 &
client_pid=$!
for _ in $(seq 100); do
  grep -q "Getting FTP details" "$work/trace.txt" 2>/dev/null && break
  sleep 0.1
done
windows() { xwininfo -display "$display" -root -tree | grep -c '"V7 Client"' || true; }
before=$(windows)
DISPLAY="$display" setpriv --pdeathsig KILL "$exe" --window --workdir "$work" --config "$work" \
  >"$work/second.log" 2>&1 &
second=$!
for _ in $(seq 100); do [ "$(windows)" -gt "$before" ] && break; sleep 0.1; done
[ "$(windows)" -gt "$before" ] || fail "the refused client showed no message box"
grep -q "is in use by another client" "$work/second.log" || fail "the refusal is not on standard error"
kill "$second" 2>/dev/null || true
wait "$second" 2>/dev/null || true
stop_client

# A window that ends by itself after its cycles closes cleanly: in a sanitizer build, what
# the X, FLTK and font libraries keep is the only memory left (scripts/lsan.supp).
printf 'clientlogin=site\nftp=127.0.0.1:%s,site,secret\ntalkinterval=100\n' "$port" >"$work/v7rm.ini"
status=0
DISPLAY="$display" timeout 60 "$exe" --window --workdir "$work" --config "$work" --cycles 2 \
  >"$work/client.log" 2>&1 || status=$?
[ "$status" = 0 ] || { cat "$work/client.log"; fail "the window's own end gave $status"; }

# A stop signal closes the window, also while a message box waits (SIGHUP as any other): the
# client ends, a minute at most, with status 0.
printf 'clientlogin=site\nftp=,site,secret\ntalkinterval=60000\ntrace=tofile\n' >"$work/v7rm.ini"
rm -f "$work/trace.txt"
DISPLAY="$display" setpriv --pdeathsig KILL "$exe" --window --workdir "$work" --config "$work" \
  >"$work/client.log" 2>&1 &
client_pid=$!
for _ in $(seq 100); do
  grep -q "Getting FTP details" "$work/trace.txt" 2>/dev/null && break
  sleep 0.1
done
sleep 1
kill -HUP "$client_pid"
for _ in $(seq 600); do kill -0 "$client_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$client_pid" 2>/dev/null && fail "SIGHUP did not close the window"
status=0
wait "$client_pid" || status=$?
client_pid=""
[ "$status" = 0 ] || fail "SIGHUP gave $status"
echo "ok"
