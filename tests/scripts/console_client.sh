#!/usr/bin/env bash
# The v7client program without a display, against a real FTP server: its command line, cycles
# on the timer, its exit status and standard error as a script sees them (a wrong password,
# a failing patch, a failed packet, a start-up failure, settings it does not know or cannot
# read as a number), settings files saved with a byte order mark, as UTF-16 or in two
# encodings, a file size limit, stop signals that end it between cycles or cut a wait for a
# server short, a second client on one working folder, missing settings and a failed replay.
set -euo pipefail
build=$1
src=$2
exe="$build/app/v7client"
python=/usr/bin/python3
. "$src/tests/fixtures/tempdir.sh"
v7_tempdir work
pid=""
ftp_pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  [ -n "$ftp_pid" ] && kill "$ftp_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.txt "$work"/*.log; do [ -f "$f" ] && { echo "== $f"; cat "$f"; }; done; exit 1; }

port=$("$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
ftproot="$work/ftproot"
mkdir -p "$ftproot/v7/patches" "$ftproot/v7/pings" "$ftproot/v7/site07/send"
. "$src/tests/fixtures/ftp_server.sh"
start_ftp_server "$port" "$ftproot" site "$work/ftp.log"

settings() { printf 'clientlogin=site\nftp=127.0.0.1:%s,site,%s\nxtype=none\n%s' "$port" "${password:-secret}" "$1" >"$work/v7rm.ini"; }
# Site 07's project: a client that only receives patches reads the site's number from it too.
mkdir -p "$work/data"
sqlite3 "$work/data/site07.mdb" <"$src/scripts/site/access.sql"
sqlite3 "$work/data/site07.mdb" "update control set siteno = 7"
site_files() {
  printf '[site]\nProject=site07\nDbType=access\nDriver=ado\n[site07]\nProject=site07\nDbType=access\nDriver=ado\n' \
    >"$work/Dbconnections.ini"
  printf '[SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV]\nDBQ=%s/data/site07.mdb\n[SOFTWARE\\STELLOCK\\QUOREX]\nSERVERPATH=%s/data/\n' \
    "$work" "$work" >"$work/registry.ini"
}
site_files
# Runs the client in the console for the cycles given; the exit status is in $status.
run() {
  status=0
  env -u DISPLAY "$exe" --workdir "$work" --config "$work" --cycles "$1" >"$work/out.log" 2>"$work/err.log" || status=$?
}

"$exe" --help | grep -q -- "--cycles" || fail "--help"
"$exe" --help | grep -q -- "Exit status" || fail "--help names no exit status"
status=0; "$exe" --cycles 0 >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "--cycles 0 gave $status"
status=0; "$exe" --bogus >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "--bogus gave $status"

# Two cycles on a short timer, then the program ends by itself: every step succeeded. The
# blank that an editor left after the interval is no part of it.
settings 'talkinterval=100 
'
run 2
[ "$status" = 0 ] || fail "two cycles ended with $status"
[ ! -s "$work/err.log" ] || fail "messages on standard error"
[ "$(grep -c '^Status: Idle$' "$work/out.log")" = 2 ] || fail "two cycles expected"
[ "$(grep -c '^Receiving patches$' "$work/out.log")" = 2 ] || fail "patch step expected"
grep -q '^Sending$' "$work/out.log" && fail "xtype none sends nothing"

# A wrong password: every cycle's step fails, with the server's reply on standard error.
password=wrong settings 'talkinterval=100
'
run 2
[ "$status" = 1 ] || fail "a wrong password gave $status"
[ "$(grep -c '530' "$work/err.log")" = 2 ] || fail "the server's reply, once a cycle, expected"

# A talkinterval that is not a number: one warning that names it and the interval used, and
# the cycles run on the default interval.
settings 'talkinterval=1e3
'
run 1
[ "$status" = 0 ] || fail "bad talkinterval ended with $status"
grep -q 'talkinterval "1e3" in .*v7rm.ini .*every 300000 ms' "$work/err.log" \
  || fail "warning of bad talkinterval"
[ "$(wc -l <"$work/err.log")" = 1 ] || fail "one line for a bad talkinterval"
grep -q '^Status: Idle$' "$work/out.log" || fail "no cycle after a bad talkinterval"

# Settings the client does not know: one warning each, naming it and what the client does;
# the values still do what they always did (recieve: patches only).
settings 'xtype=recieve
trce=tofile
trace=on
'
sed -i '/^xtype=none$/d' "$work/v7rm.ini"
run 1
[ "$status" = 0 ] || fail "warnings alone gave $status"
grep -q 'xtype "recieve".*only receives patches' "$work/err.log" || fail "warning of xtype"
grep -q 'unknown setting "trce"' "$work/err.log" || fail "warning of an unknown key"
grep -q 'trace "on".*no trace is written' "$work/err.log" || fail "warning of trace"
[ "$(wc -l <"$work/err.log")" = 3 ] || fail "one line per warning"
grep -q '^Sending$' "$work/out.log" && fail "recieve sends nothing"
grep -q '^Receiving$' "$work/out.log" && fail "recieve receives no packets"

# An "access" site whose three settings files were saved by a Windows editor: a byte order
# mark before the first key or section. One whole cycle runs.
bom=$'\xEF\xBB\xBF'
printf '%sclientlogin=site07\r\nftp=127.0.0.1:%s,site,secret\r\nxtype=both\r\ntrace=tofile\r\n' \
  "$bom" "$port" >"$work/v7rm.ini"
printf '%s[site07]\r\nProject=site07\r\nDbType=access\r\nDriver=ado\r\n' "$bom" >"$work/Dbconnections.ini"
# The data source comes first: read with its mark it would be missing.
printf '%s[SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV]\r\nDBQ=%s/data/site07.mdb\r\n[SOFTWARE\\STELLOCK\\QUOREX]\r\nSERVERPATH=%s/data/\r\n' \
  "$bom" "$work" "$work" >"$work/registry.ini"
run 1
[ "$status" = 0 ] || fail "settings with a byte order mark gave $status"
[ ! -s "$work/err.log" ] || fail "messages on standard error"
[ -f "$ftproot/v7/pings/07.txt" ] || fail "no ping"
grep -q '^Completed receive$' "$work/out.log" || fail "no receive step"
[ -s "$work/trace.txt" ] || fail "no trace"

# The same files saved as "Unicode" (UTF-16 with its byte order mark, as a registry export
# is). The data source's DBQ is out of date: registry.ini is written back, in UTF-8.
utf16() { printf '\xFF\xFE'; iconv -f UTF-8 -t UTF-16LE; }
printf 'clientlogin=site07\r\nftp=127.0.0.1:%s,site,secret\r\nxtype=both\r\ntalkinterval=100\r\ntrace=tofile\r\n' \
  "$port" | utf16 >"$work/v7rm.ini"
printf '[site07]\r\nProject=site07\r\nDbType=access\r\nDriver=ado\r\n' | utf16 >"$work/Dbconnections.ini"
printf '[SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV]\r\nDBQ=/old/site07.mdb\r\n[SOFTWARE\\STELLOCK\\QUOREX]\r\nSERVERPATH=%s/data/\r\n' \
  "$work" | utf16 >"$work/registry.ini"
rm "$ftproot/v7/pings/07.txt"
run 1
[ "$status" = 0 ] || fail "UTF-16 settings gave $status"
[ ! -s "$work/err.log" ] || fail "messages on standard error"
[ -f "$ftproot/v7/pings/07.txt" ] || fail "no ping"
grep -qx "DBQ=$work/data/site07.mdb" "$work/registry.ini" || fail "registry.ini not written in UTF-8"

# A patch whose block fails names its file; it stays on the server. A packet that fails is
# named on standard error, with where it is now.
printf '<<\r\nupdate nosuchtable set x = 1\r\n>>\r\n' >"$ftproot/v7/patches/07.sql"
# packet FILE SIZE: a table packet of the table nosuch, with a text of SIZE random bytes.
packet() {
  "$python" - "$1" "$2" <<'PY'
import base64, os, struct, sys, zlib
text = base64.b64encode(os.urandom(int(sys.argv[2]))).decode()
xml = ('<rows table="nosuch"><row recordid="1"><x type="c">%s</x></row></rows>' % text).encode()
open(sys.argv[1], "wb").write(struct.pack("<I", len(xml)) + zlib.compress(xml))
PY
}
packet "$ftproot/v7/site07/send/bad.pkt" 10
run 2
[ "$status" = 1 ] || fail "a failing patch gave $status"
grep -q '^Patch 07.sql: .*nosuchtable' "$work/err.log" || fail "the patch file is not named"
[ -f "$ftproot/v7/patches/07.sql" ] || fail "the failed patch left the server"
rm "$ftproot/v7/patches/07.sql"
grep -q '^Packet v7/site07/send/bad.pkt failed: .*nosuch.*; it was kept in transit/receive/log/$' \
  "$work/err.log" || fail "the failed packet is not named on standard error"
[ -f "$work/transit/receive/log/bad.pkt" ] || fail "the failed packet was not kept"

# A file size limit: the trace that reaches it turns off, said once; a packet larger than it
# stays on the server; the client goes on with its other steps and ends as it would.
printf 'clientlogin=site07\nftp=127.0.0.1:%s,site,secret\ntrace=tofile,cumulate\n' "$port" >"$work/v7rm.ini"
head -c 1048576 /dev/zero >"$work/trace.txt"
packet "$ftproot/v7/site07/send/big.pkt" 2000000
status=0
(ulimit -f 1024 && exec env -u DISPLAY "$exe" --workdir "$work" --config "$work" --cycles 1) \
  >"$work/out.log" 2>"$work/err.log" || status=$?
[ "$status" = 1 ] || fail "a file size limit gave $status"
[ "$(grep -c '^The trace is off: .*File too large' "$work/err.log")" = 1 ] || fail "trace off once"
grep -q '^Packet v7/site07/send/big.pkt could not be downloaded' "$work/err.log" \
  || fail "the packet too large is not named"
ls "$ftproot"/v7/site07/send/big.pkt* >/dev/null || fail "the packet too large left the server"
grep -q '^Completed$' "$work/out.log" || fail "no patch step after the packet too large"
rm "$ftproot"/v7/site07/send/big.pkt*

# Without the data source key the message names registry.ini, where it is, and the key.
printf '[SOFTWARE\\STELLOCK\\QUOREX]\nSERVERPATH=%s/data/\n' "$work" >"$work/registry.ini"
run 1
[ "$status" = 1 ] || fail "a missing data source gave $status"
grep -qF "$work/registry.ini has no key [SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV]" "$work/err.log" \
  || fail "the registry file and its missing key are not named"

# A registry.ini with a path in UTF-8 and a comment in Windows-1252 is neither: refused,
# naming the file and the first bad byte, and not written back.
printf '[SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV]\nDBQ=\n[SOFTWARE\\STELLOCK\\QUOREX]\nSERVERPATH=%s/data/caf\xC3\xA9/\n; Pfad ge\xE4ndert\n' \
  "$work" >"$work/registry.ini"
cp "$work/registry.ini" "$work/registry.before"
run 1
[ "$status" = 1 ] || fail "a registry.ini in two encodings gave $status"
grep -qF "$work/registry.ini as text: Invalid UTF-8 text at byte offset" "$work/err.log" \
  || fail "the registry file and its bad byte are not named"
cmp -s "$work/registry.ini" "$work/registry.before" || fail "registry.ini was written back"

# A v7rm.ini that cannot be read leaves the client nothing to run: status 1 at once, naming
# the file, with no cycle. Without its byte order mark UTF-16 is refused, saying how to save
# it; so is UTF-8 with a Windows-1252 comment.
for kind in utf16 mixed; do
  if [ "$kind" = utf16 ]; then
    printf 'clientlogin=site07\r\n' | iconv -f UTF-8 -t UTF-16LE >"$work/v7rm.ini"
  else
    printf 'clientlogin=site07\nftp=h,site,p\xC3\xA4sswort\n; ge\xE4ndert\n' >"$work/v7rm.ini"
  fi
  status=0
  env -u DISPLAY "$exe" --console --workdir "$work" --config "$work" >"$work/out.log" \
    2>"$work/err.log" || status=$?
  [ "$status" = 1 ] || fail "$kind v7rm.ini gave $status"
  grep -qF "$work/v7rm.ini as text: " "$work/err.log" || fail "the $kind file is not named"
  grep -q "Save it as UTF-8" "$work/err.log" || fail "no word of how to save the $kind file"
  grep -q '^Status:' "$work/out.log" && fail "a cycle ran on a $kind v7rm.ini"
done
grep -q "byte offset 44: the file holds UTF-8 characters too" "$work/err.log" \
  || fail "the first byte that is not UTF-8 is not named"

# The site's project as the first cycles had it, for the runs below.
site_files

# SIGTERM stops the client between cycles, with status 0.
settings 'talkinterval=100
'
"$exe" --console --workdir "$work" --config "$work" >"$work/out.log" 2>"$work/err.log" &
pid=$!
for _ in $(seq 50); do [ "$(grep -c '^Status: Idle$' "$work/out.log")" -ge 2 ] && break; sleep 0.1; done
# Two at once, as `timeout` sends them (to the client, then to its process group): the second
# waits for the exit.
kill -TERM "$pid"
kill -TERM "$pid" 2>/dev/null || true
status=0; wait "$pid" || status=$?
pid=""
[ "$status" = 0 ] || fail "SIGTERM gave $status"
tail -n1 "$work/out.log" | grep -q '^Status: Idle$' || fail "stopped inside a cycle"

realwork=$(cd "$work" && pwd -P)
# ended PID: waits for the client to end, a minute at most (a stop that waited for a server
# took minutes); its exit status is in $status.
ended() {
  for _ in $(seq 600); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$1" 2>/dev/null && return 1
  status=0; wait "$1" || status=$?
  pid=""
}
free_port() { "$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 100); do
    "$python" -c "import socket,sys; s=socket.socket(); sys.exit(s.connect_ex(('127.0.0.1',$1)))" && break
    sleep 0.1
  done
}

# One client per working folder: a second one on a folder in use ends at once with status 1,
# naming the folder and the first client's process. Once the first is gone, however it
# ended, the folder is free.
settings 'talkinterval=60000
'
"$exe" --console --workdir "$work" --config "$work" >"$work/out.log" 2>"$work/err.log" &
pid=$!
for _ in $(seq 100); do grep -q '^Status: Idle$' "$work/out.log" && break; sleep 0.1; done
status=0
env -u DISPLAY "$exe" --workdir "$work" --config "$work" --cycles 1 >"$work/out2.log" \
  2>"$work/err2.log" || status=$?
[ "$status" = 1 ] || fail "a second client on the folder gave $status"
grep -qF "The working folder $realwork is in use by another client (process $pid)" \
  "$work/err2.log" || fail "the folder in use and its client are not named"
[ ! -s "$work/out2.log" ] || fail "the second client ran"
kill -KILL "$pid"
wait "$pid" 2>/dev/null || true
pid=""
run 1
[ "$status" = 0 ] || fail "the folder stayed locked after its client was killed ($status)"

# A working folder without v7rm.ini (a typo in --workdir, a service's folder) ends start-up:
# status 1, the file and the folder named, no transit/ made and no cycle. So does a missing
# configuration folder.
mkdir -p "$work/empty"
status=0
env -u DISPLAY "$exe" --workdir "$work/empty" --config "$work" >"$work/out.log" \
  2>"$work/err.log" || status=$?
[ "$status" = 1 ] || fail "a missing v7rm.ini gave $status"
grep -qF "No settings file: $realwork/empty/v7rm.ini does not exist" "$work/err.log" \
  || fail "the missing v7rm.ini is not named"
[ -z "$(ls -A "$work/empty")" ] || fail "files made beside no v7rm.ini"
grep -q '^Status:' "$work/out.log" && fail "a cycle ran without v7rm.ini"
status=0
env -u DISPLAY "$exe" --workdir "$work" --config "$work/nosuch" >"$work/out.log" \
  2>"$work/err.log" || status=$?
[ "$status" = 1 ] || fail "a missing configuration folder gave $status"
grep -qF "configuration folder '$work/nosuch' does not exist" "$work/err.log" \
  || fail "the missing configuration folder is not named"
# A mistyped --workdir: the folder is not there, as a missing configuration folder.
status=0
env -u DISPLAY "$exe" --workdir "$work/nosuch" --config "$work" >"$work/out.log" \
  2>"$work/err.log" || status=$?
[ "$status" = 1 ] || fail "a missing working folder gave $status"
grep -qF "cannot use the working folder '$work/nosuch'" "$work/err.log" \
  || fail "the missing working folder is not named"

# A display that cannot be reached: status 1, and a word of the console.
status=0
DISPLAY=:77 "$exe" --workdir "$work" --config "$work" --cycles 1 >"$work/out.log" \
  2>"$work/err.log" || status=$?
[ "$status" = 1 ] || fail "an unreachable display gave $status"
grep -q -- "run the client with --console" "$work/err.log" || fail "no word of --console"

# A stop while start-up waits for a service that accepts and never answers, and one (SIGHUP,
# a stop like the others) while the FTP server holds back a reply: the client ends at once,
# with status 0, and says on standard error no more than the stopped start-up.
soap_port=$(free_port)
setpriv --pdeathsig KILL "$python" "$src/tests/fixtures/soap_server.py" "$soap_port" \
  "$work/soap.log" hang >/dev/null 2>&1 &
wait_port "$soap_port"
printf 'clientlogin=site\nurl=http://127.0.0.1:%s/soap\nxtype=none\n' "$soap_port" >"$work/v7rm.ini"
"$exe" --console --workdir "$work" --config "$work" >"$work/out.log" 2>"$work/err.log" &
pid=$!
for _ in $(seq 300); do [ -s "$work/soap.log" ] && break; sleep 0.1; done
[ -s "$work/soap.log" ] || fail "the service was not asked"
kill -TERM "$pid"
ended "$pid" || fail "SIGTERM did not end a start-up waiting for the service"
[ "$status" = 0 ] || fail "SIGTERM during start-up gave $status"
grep -q '^Start-up stopped: ' "$work/err.log" || fail "the stopped start-up is not said"
grep -q '^Status:' "$work/out.log" && fail "a cycle ran after a stop during start-up"

hang_port=$(free_port)
setpriv --pdeathsig KILL "$python" "$src/tests/fixtures/ftp_server.py" "$hang_port" "$ftproot" \
  site secret elradfmwMT 0 'hang-reply=NLST:*' >"$work/ftp-hang.log" 2>&1 &
wait_port "$hang_port"
rm -f "$ftproot/hung"
printf 'clientlogin=site\nftp=127.0.0.1:%s,site,secret\nxtype=none\ntalkinterval=60000\n' \
  "$hang_port" >"$work/v7rm.ini"
"$exe" --console --workdir "$work" --config "$work" >"$work/out.log" 2>"$work/err.log" &
pid=$!
for _ in $(seq 300); do [ -f "$ftproot/hung" ] && break; sleep 0.1; done
[ -f "$ftproot/hung" ] || fail "the FTP server held back no reply"
kill -HUP "$pid"
ended "$pid" || fail "SIGHUP did not end a client waiting for the FTP server"
[ "$status" = 0 ] || fail "SIGHUP gave $status"
grep -q 'stopped: the client is stopping$' "$work/out.log" || fail "the stopped step is not said"
tail -n1 "$work/out.log" | grep -q '^Status: Idle$' || fail "the cycle did not end"
[ ! -s "$work/err.log" ] || fail "a stop reported as an error"

# A replay in test mode whose packet fails: status 1 with the failure on standard error (the
# trace is off), and none of the packets' files left in the working folder.
printf '[SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV]\nDBQ=\n[SOFTWARE\\STELLOCK\\QUOREX]\nSERVERPATH=%s/data/\n' \
  "$work" >"$work/registry.ini"
packet "$work/replay.bin" 10
sqlite3 "$work/data/site07.mdb" \
  "insert into v7pkt (name, pkt, siteno, pktdate) values ('r1', readfile('$work/replay.bin'), 3, julianday('now'))"
rm "$work/replay.bin"
printf 'testlogin=site07\nclientlogin=site07\n' >"$work/v7rm.ini"
run 1
[ "$status" = 1 ] || fail "a failed replay gave $status"
grep -q '^Replay of r1.xml failed: .*nosuch' "$work/err.log" || fail "the failed replay is not said"
ls "$work"/r1.* >/dev/null 2>&1 && fail "the replay left its files"
echo "ok"
