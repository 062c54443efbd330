#!/usr/bin/env bash
# Times `tallylog forward --once` of a log of 1,000,000 records (10 days of 100,000, all five
# categories) into a local systemd-journal-remote, beside curl posting the same records as one
# ready-made export file (bench_forward_export writes it, byte for byte what forward sends) to the
# same server: the server's own ceiling. Each run gets a fresh server and journal file; forward
# and curl take turns, RUNS times (default 3). Prints the medians, the ratio, and forward's peak
# memory (maximum resident set) for the whole log and for its last day alone (100,000 records):
# flat memory means about the same figure.
#
#   bash scripts/bench-forward.sh [BUILD_DIR]        (default ./build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
runs="${RUNS:-3}"
tallylog="$build/cli/tallylog"
journal_remote=/lib/systemd/systemd-journal-remote
work="$(mktemp -d "${TMPDIR:-/tmp}/bench-forward.XXXXXX")"
db="$work/dbLog.db"
export_file="$work/records.export"
server=""
cleanup() {
    if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

bash scripts/install-deps.sh systemd-journal-remote curl
cmake --build "$build" -j"${JOBS:-2}" --target tallylog bench_cli_make_log bench_forward_export \
    >/dev/null
"$build/bench/cli/bench_cli_make_log" "$db" 10 100000 >/dev/null
"$build/bench/cli/bench_forward_export" "$db" "$export_file" bench-host
records=1000000

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
start_server() {
    rm -f "$work"/out*.journal
    "$journal_remote" --listen-http="127.0.0.1:$port" --output="$work/out.journal" \
        --split-mode=none 2>/dev/null &
    server=$!
    until curl -s -o /dev/null "http://127.0.0.1:$port/"; do sleep 0.05; done
}
stop_server() {
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    server=""
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

forward_ms=()
curl_ms=()
rss_all=()
for _ in $(seq "$runs"); do
    start_server
    rm -f "$work/cursor"
    begin=$(now_ms)
    /usr/bin/time -f %M -o "$work/rss" "$tallylog" --db "$db" forward --once \
        --to "http://127.0.0.1:$port" --cursor-file "$work/cursor" --hostname bench-host
    forward_ms+=($(($(now_ms) - begin)))
    rss_all+=("$(cat "$work/rss")")
    [ "$(cat "$work/cursor")" = "$records" ] || { echo "forward did not deliver all" >&2; exit 1; }
    stop_server

    start_server
    begin=$(now_ms)
    curl -sS --fail -o /dev/null -H 'Content-Type: application/vnd.fdo.journal' \
        --data-binary @"$export_file" "http://127.0.0.1:$port/upload"
    curl_ms+=($(($(now_ms) - begin)))
    stop_server
done

# Peak memory for the last day alone, against the whole log's.
start_server
rm -f "$work/cursor"
/usr/bin/time -f %M -o "$work/rss" "$tallylog" --db "$db" forward --once \
    --to "http://127.0.0.1:$port" --cursor-file "$work/cursor" --from "2026-11-10 00:00:00"
rss_day=$(cat "$work/rss")
stop_server

f=$(median "${forward_ms[@]}")
c=$(median "${curl_ms[@]}")
printf 'records: %d, export file: %d bytes, runs: %d\n' "$records" \
    "$(stat -c %s "$export_file")" "$runs"
printf '%-34s %8s ms %10s records/s\n' "tallylog forward --once" "$f" "$((records * 1000 / f))"
printf '%-34s %8s ms %10s records/s\n' "curl --data-binary @export" "$c" "$((records * 1000 / c))"
awk -v f="$f" -v c="$c" 'BEGIN { printf "forward rate / curl rate: %.2fx\n", c / f }'
printf 'forward peak RSS: %s KiB (1,000,000 records), %s KiB (last day, 100,000 records)\n' \
    "$(median "${rss_all[@]}")" "$rss_day"
