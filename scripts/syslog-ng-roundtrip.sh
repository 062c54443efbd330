#!/usr/bin/env bash
# Round trip of `tallylog forward` into syslog-ng, which the tests cannot run: Debian's
# syslog-ng-core and rsyslog (the tests' receiver) conflict, so one machine holds one of them.
# Unless syslog-ng is installed, this takes it as a throwaway: `apt-get download` fetches
# syslog-ng-core and the libraries it needs that are missing, `dpkg-deb -x` unpacks them into a
# temporary directory, and syslog-ng runs from there; nothing is installed, and the directory
# goes when the script ends. syslog-ng listens on 127.0.0.1 with a free port (its syslog()
# source: RFC 5424 with octet counting), writes each message into a file, and the script
# compares what arrived with what the log holds: a message of 1 MiB, one of several lines, one
# that begins with a byte order mark of its own, one that is not UTF-8, and a plain one.
#
#   bash scripts/syslog-ng-roundtrip.sh [BUILD_DIR]        (default ./build)
#
# Prints one line per message (whole, or what differs) and exits 1 when one differs. A message
# that arrives whole but for the line feeds at its end is reported as syslog-ng's own known
# limitation (its syslog parser cuts them, whatever the configuration), not as a difference.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
work="$(mktemp -d "${TMPDIR:-/tmp}/syslog-ng-roundtrip.XXXXXX")"
server=""
cleanup() {
    if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
cmake --build "$build" -j"${JOBS:-2}" --target tallylog >/dev/null

syslog_ng=$(command -v syslog-ng || true)
modules=()
if [ -z "$syslog_ng" ]; then
    needed=(syslog-ng-core)
    for library in libivykis0 libnet1 libwrap0; do
        dpkg -s "$library" >/dev/null 2>&1 || needed+=("$library")
    done
    (cd "$work" && apt-get download "${needed[@]}" >/dev/null 2>&1)
    for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$work/root"; done
    root="$work/root"
    syslog_ng="$root/usr/sbin/syslog-ng"
    export LD_LIBRARY_PATH="$root/usr/lib/x86_64-linux-gnu:$root/lib/x86_64-linux-gnu:$root/usr/lib/syslog-ng"
    modules=(--module-path="$(echo "$root"/usr/lib/syslog-ng/3.*)")
fi

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# Each message as one record of the file, ended by an RS character and a newline.
cat >"$work/syslog-ng.conf" <<CONF
@version: 3.38
options { log-msg-size(200000000); keep-hostname(yes); };
source tallyview { syslog(transport("tcp") ip("127.0.0.1") port($port)); };
destination messages { file("$work/messages" template("\${MSG}\\x1e\\n")); };
log { source(tallyview); destination(messages); };
CONF
"$syslog_ng" -F -f "$work/syslog-ng.conf" "${modules[@]}" -R "$work/persist" -p "$work/pid" \
    -c "$work/ctl" 2>"$work/syslog-ng.err" &
server=$!
until python3 -c "import socket; socket.create_connection(('127.0.0.1', $port))" 2>/dev/null; do
    kill -0 "$server" 2>/dev/null || { cat "$work/syslog-ng.err" >&2; exit 1; }
    sleep 0.1
done

python3 - "$work/dbLog.db" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("CREATE TABLE SystemInfo(id INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, datetime "
           "DATETIME NOT NULL, type INT(32), message TEXT)")
for m in [b"x" * (1 << 20) + b"end", b"line 1\nline 2\r\nline 3\n", b"\xef\xbb\xbfown mark",
          b"not \xff\xfe UTF-8 \xc3", "plain 报警".encode()]:
    db.execute("INSERT INTO SystemInfo(datetime, type, message) VALUES "
               "('2026-12-08 10:00:00', 3, CAST(? AS TEXT))", (m,))
db.commit()
PY
"$build/cli/tallylog" --db "$work/dbLog.db" forward --once --cursor-file "$work/cursor" \
    --to "syslog+tcp://127.0.0.1:$port"
# syslog-ng writes on its own time: waited for, as long as the file still grows.
for _ in $(seq 100); do
    [ "$(grep -c $'\x1e' "$work/messages" 2>/dev/null || echo 0)" -ge 5 ] && break
    sleep 0.1
done

python3 - "$work/dbLog.db" "$work/messages" <<'PY'
import sqlite3, sys
stored = [row[0] for row in sqlite3.connect(sys.argv[1]).execute(
    "SELECT CAST(message AS BLOB) FROM SystemInfo ORDER BY id")]
arrived = open(sys.argv[2], "rb").read().split(b"\x1e\n")[:-1]
names = ["1 MiB", "several lines", "own byte order mark", "not UTF-8", "plain"]
differs = 0
for i, name in enumerate(names):
    got = arrived[i] if i < len(arrived) else None
    if got == stored[i]:
        print(f"{name:22} whole")
        continue
    # syslog-ng's syslog parser cuts the line feeds (and NULs) at the end of every message it
    # takes in, before any flag or template sees it (store-raw-message and no-parse included):
    # a loss on the receiver's side that no setting of its own undoes.
    if got is not None and got == stored[i].rstrip(b"\n\0") and got != stored[i]:
        print(f"{name:22} whole but for its final line feed: syslog-ng's parser cuts it "
              "(a known receiver limitation)")
        continue
    differs += 1
    print(f"{name:22} differs: sent {stored[i][-40:]!r} ({len(stored[i])} bytes), "
          f"arrived {None if got is None else got[-40:]!r} "
          f"({0 if got is None else len(got)} bytes)")
sys.exit(1 if differs else 0)
PY
