#!/usr/bin/env bash
# The operator's set-up of README.md, followed on a fresh folder: the files and commands are
# taken from the README's blocks marked "file=...", with /srv/site07 moved into the fresh
# folder and ftp.example.com pointed at a real FTP server on loopback. One cycle must send
# the queued packet and the ping, apply an incoming table packet and run the patch.
set -euo pipefail
build=$1
src=$2
fresh=$(mktemp -d)
site="$fresh/srv/site07"
ftproot="$fresh/ftproot"
python=/usr/bin/python3
ftp_pid=""
cleanup() {
  [ -n "$ftp_pid" ] && kill "$ftp_pid" 2>/dev/null || true
  rm -rf "$fresh"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in "$site"/*.log "$site"/work/trace.txt; do [ -f "$f" ] && { echo "== $f"; cat "$f"; }; done
  exit 1
}

port=$("$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

# The README's marked blocks, as files of their own.
blocks="$fresh/blocks"
mkdir -p "$blocks"
awk -v out="$blocks" '
  /^```[a-z]* file=/ { name = $0; sub(/^```[a-z]* file=/, "", name); file = out "/" name;
                       gsub("/", "_", name); file = out "/" name; printf "" > file; next }
  /^```/ { file = ""; next }
  file != "" { print >> file }
' "$src/README.md"
for f in "$blocks"/*; do
  sed -i -e "s|/srv/site07|$site|g" -e "s|ftp\.example\.com|127.0.0.1:$port|g" "$f"
done
for name in setup.sh config_Dbconnections.ini config_registry.ini work_v7rm.ini ftp-folders.sh \
            ftp_v7_patches_07.sql run.sh; do
  [ -s "$blocks/$name" ] || fail "README has no block file=${name//_//}"
done

# 1. Folders and the site database, run from the project's folder as the README says.
(cd "$src" && bash -e "$blocks/setup.sh") || fail "setup commands"
db="$site/data/site07.mdb"
[ "$(sqlite3 "$db" 'select siteno from control')" = 7 ] || fail "site number"
# 2.-4. The settings files.
cp "$blocks/config_Dbconnections.ini" "$site/config/Dbconnections.ini"
cp "$blocks/config_registry.ini" "$site/config/registry.ini"
cp "$blocks/work_v7rm.ini" "$site/work/v7rm.ini"
sed -i 's/^talkinterval=.*/talkinterval=100/' "$site/work/v7rm.ini"
# 5. The FTP server's folders, a patch, and a packet addressed to this site.
mkdir -p "$ftproot"
(cd "$ftproot" && bash -e "$blocks/ftp-folders.sh") || fail "FTP folders"
cp "$blocks/ftp_v7_patches_07.sql" "$ftproot/v7/patches/07.sql"
"$python" - "$ftproot/v7/site07/send/p03to07_0001.pkt" <<'PY'
import struct, sys, zlib
xml = (b'<r table="currency"><x recordid="2"><currencyid type="n">2</currencyid>'
       b'<maincurr type="c">Dollars</maincurr></x></r>')
open(sys.argv[1], "wb").write(struct.pack("<I", len(xml)) + zlib.compress(xml))
PY
# A packet queued by the site's own program, as the README says.
sqlite3 "$db" "insert into v7pkt (name, pkt, siteno, pktdate) values ('p07to03_0001', x'0102', 3, julianday('now'))"

# The server ends with this script however it ends (a signal, ctest's timeout).
setpriv --pdeathsig KILL "$python" "$src/tests/fixtures/ftp_server.py" "$port" "$ftproot" site07 secret >"$fresh/ftp.log" 2>&1 &
ftp_pid=$!
for _ in $(seq 100); do
  "$python" -c "import socket,sys; s=socket.socket(); sys.exit(s.connect_ex(('127.0.0.1',$port)))" && break
  sleep 0.1
done

# 7. One cycle, started as the README shows, with the client on the PATH.
PATH="$build/app:$PATH" bash -e "$blocks/run.sh" >"$site/out.log" 2>"$site/err.log" \
  || fail "the client ended with $?"

[ ! -s "$site/err.log" ] || fail "messages on standard error"
grep -q '^Status: Idle$' "$site/out.log" || fail "no cycle ran"
[ -f "$ftproot/v7/pings/07.txt" ] || fail "no ping"
[ "$(od -An -tx1 "$ftproot/v7/site03/send/p07to03_0001.pkt" | tr -d ' \n')" = 0102 ] || fail "packet not sent"
[ "$(sqlite3 "$db" 'select count(*) from v7pkt')" = 0 ] || fail "the sent row stays in v7pkt"
[ "$(sqlite3 "$db" 'select maincurr from currency where currencyid = 2')" = Dollars ] \
  || fail "the incoming packet was not applied"
[ ! -e "$ftproot/v7/site07/send/p03to07_0001.pkt" ] || fail "the applied packet stays on the server"
[ "$(sqlite3 "$db" 'select companyname from control')" = "Site 07 Traders (patched)" ] \
  || fail "the patch did not run"
[ ! -e "$ftproot/v7/patches/07.sql" ] || fail "the patch stays on the server"
[ -s "$site/work/trace.txt" ] || fail "no trace"
echo "ok"
