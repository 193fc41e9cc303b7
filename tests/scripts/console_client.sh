#!/usr/bin/env bash
# The v7client program without a display: its command line, cycles on the timer, a start-up
# failure, and a stop signal that ends it between cycles.
set -euo pipefail
build=$1
exe="$build/app/v7client"
work=$(mktemp -d)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.txt "$work"/*.log; do [ -f "$f" ] && { echo "== $f"; cat "$f"; }; done; exit 1; }

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
settings() { printf 'clientlogin=site\nftp=127.0.0.1:%s,site,secret\nxtype=none\n%s' "$port" "$1" >"$work/v7rm.ini"; }

"$exe" --help | grep -q -- "--cycles" || fail "--help"
status=0; "$exe" --cycles 0 >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "--cycles 0 gave $status"
status=0; "$exe" --bogus >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "--bogus gave $status"

# Two cycles on a short timer, then the program ends by itself.
settings 'talkinterval=100
'
env -u DISPLAY "$exe" --workdir "$work" --config "$work" --cycles 2 >"$work/out.log" 2>"$work/err.log" \
  || fail "two cycles ended with $?"
[ "$(grep -c '^Status: Idle$' "$work/out.log")" = 2 ] || fail "two cycles expected"
[ "$(grep -c '^Receiving patches$' "$work/out.log")" = 2 ] || fail "patch step expected"
grep -q '^Sending$' "$work/out.log" && fail "xtype none sends nothing"

# A talkinterval that is not a number: the message on standard error, no crash, and the
# cycles still run, as if Start had been pressed.
settings 'talkinterval=abc
'
"$exe" --console --workdir "$work" --config "$work" --cycles 1 >"$work/out.log" 2>"$work/err.log" \
  || fail "bad talkinterval ended with $?"
grep -q "'abc' is not a valid integer value" "$work/err.log" || fail "message of bad talkinterval"
grep -q '^Status: Idle$' "$work/out.log" || fail "no cycle after a failed start-up"

# SIGTERM stops the client between cycles, with status 0.
settings 'talkinterval=100
'
"$exe" --console --workdir "$work" --config "$work" >"$work/out.log" 2>"$work/err.log" &
pid=$!
for _ in $(seq 50); do [ "$(grep -c '^Status: Idle$' "$work/out.log")" -ge 2 ] && break; sleep 0.1; done
kill -TERM "$pid"
status=0; wait "$pid" || status=$?
pid=""
[ "$status" = 0 ] || fail "SIGTERM gave $status"
tail -n1 "$work/out.log" | grep -q '^Status: Idle$' || fail "stopped inside a cycle"
echo "ok"
