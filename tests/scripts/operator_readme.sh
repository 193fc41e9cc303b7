#!/usr/bin/env bash
# The operator's set-up of README.md, followed on a fresh folder: the files and commands are
# taken from the README's blocks marked "file=...", with /srv/site07 moved into the fresh
# folder and ftp.example.com pointed at a real FTP server on loopback. One cycle must send
# the queued packet and the ping, apply an incoming table packet and run the patch. Where
# PostgreSQL is installed, the PostgreSQL site's steps run the same way against a cluster of
# the test's own, with its superuser standing for the "postgres" system user.
set -euo pipefail
build=$1
src=$2
. "$src/tests/fixtures/tempdir.sh"
v7_tempdir fresh
site="$fresh/srv/site07"
pgsite="$fresh/pg/srv/site07"
ftproot="$fresh/ftproot"
python=/usr/bin/python3
ftp_pid=""
pg_folder=""
cleanup() {
  [ -n "$ftp_pid" ] && kill "$ftp_pid" 2>/dev/null || true
  [ -n "$pg_folder" ] && bash "$src/tests/fixtures/pg_server.sh" stop "$pg_folder" || true
  rm -rf "$fresh"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in "$site"/*.log "$site"/work/trace.txt "$pgsite"/*.log "$pgsite"/work/trace.txt; do [ -f "$f" ] && { echo "== $f"; cat "$f"; }; done
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
  case "$f" in
    */postgre_*) sed -i -e "s|/srv/site07|$pgsite|g" "$f" ;;
    *) sed -i -e "s|/srv/site07|$site|g" -e "s|ftp\.example\.com|127.0.0.1:$port|g" "$f" ;;
  esac
done
for name in setup.sh config_Dbconnections.ini config_registry.ini work_v7rm.ini ftp-folders.sh \
            ftp_v7_patches_07.sql run.sh postgre_setup.sh postgre_Dbconnections.ini postgre_run.sh; do
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

. "$src/tests/fixtures/ftp_server.sh"
start_ftp_server "$port" "$ftproot" site07 "$fresh/ftp.log"

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

# ---- The PostgreSQL site, where PostgreSQL is installed.
if [ ! -x /usr/lib/postgresql/15/bin/initdb ] || ! command -v psql >/dev/null; then
  echo "ok (PostgreSQL is not installed: its site's steps were not run)"
  exit 0
fi
pgport=$("$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
pg_folder=$(bash "$src/tests/fixtures/pg_server.sh" start "$pgport" $$) || fail "no PostgreSQL cluster"
# A fresh machine used as root has no sudo: the steps must not need it.
grep -q 'sudo' "$blocks"/postgre_*.sh && fail "the PostgreSQL site's steps use sudo"
# The cluster listens on loopback only; its superuser is "postgres".
for f in "$blocks"/postgre_*; do
  sed -i -e "s|runuser -u postgres -- |env PGUSER=postgres PGHOST=127.0.0.1 |g" -e "s|localhost:5432|127.0.0.1:$pgport|g" \
    -e "s|-h localhost|-h 127.0.0.1|g" -e "s|PGHOST=localhost|PGHOST=127.0.0.1|g" "$f"
done
export PGPORT="$pgport" HOME="$fresh/home"
mkdir -p "$HOME"
pg() { psql -X -A -t -v ON_ERROR_STOP=1 -h 127.0.0.1 -U postgres -d site07 -c "$1"; }
# 1. The role, the database and the site's tables, run from the project's folder.
(cd "$src" && bash -e "$blocks/postgre_setup.sh") >"$fresh/pg-setup.log" 2>&1 \
  || { cat "$fresh/pg-setup.log"; fail "PostgreSQL setup commands"; }
[ "$(pg 'select siteno from control')" = 7 ] || fail "PostgreSQL site number"
[ "$(stat -c %a "$HOME/.pgpass")" = 600 ] || fail ".pgpass mode"
# 2.-4. The settings files: no registry.ini.
cp "$blocks/postgre_Dbconnections.ini" "$pgsite/config/Dbconnections.ini"
cp "$blocks/work_v7rm.ini" "$pgsite/work/v7rm.ini"
sed -i 's/^talkinterval=.*/talkinterval=100/' "$pgsite/work/v7rm.ini"
# 5.-6. A packet for the site and the patch again; a packet queued by the site's program.
rm -f "$ftproot/v7/pings/07.txt"
cp "$blocks/ftp_v7_patches_07.sql" "$ftproot/v7/patches/07.sql"
"$python" - "$ftproot/v7/site07/send/p03to07_0002.pkt" <<'PY'
import struct, sys, zlib
xml = (b'<rows table="currency"><row recordid="2"><currencyid type="n">2</currencyid>'
       b'<maincurr type="c">Dollars</maincurr></row></rows>')
open(sys.argv[1], "wb").write(struct.pack("<I", len(xml)) + zlib.compress(xml))
PY
pg "insert into v7pkt (name, pkt, siteno, pktdate) values ('p07to03_0002', '\\x0102', 3, now())" >/dev/null
# 7. One cycle.
PATH="$build/app:$PATH" bash -e "$blocks/postgre_run.sh" >"$pgsite/out.log" 2>"$pgsite/err.log" \
  || fail "the client on PostgreSQL ended with $?"
[ ! -s "$pgsite/err.log" ] || fail "messages on standard error (PostgreSQL)"
[ -f "$ftproot/v7/pings/07.txt" ] || fail "no ping (PostgreSQL)"
[ "$(od -An -tx1 "$ftproot/v7/site03/send/p07to03_0002.pkt" | tr -d ' \n')" = 0102 ] \
  || fail "packet not sent (PostgreSQL)"
[ "$(pg 'select count(*) from v7pkt')" = 0 ] || fail "the sent row stays in v7pkt (PostgreSQL)"
[ "$(pg 'select maincurr from currency where currencyid = 2')" = Dollars ] \
  || fail "the incoming packet was not applied (PostgreSQL)"
[ "$(pg 'select companyname from control')" = "Site 07 Traders (patched)" ] \
  || fail "the patch did not run (PostgreSQL)"
echo "ok"
