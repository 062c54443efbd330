#!/usr/bin/env bash
# Times `tallylog forward --once` of a log of 1,000,000 records (10 days of 100,000, all five
# categories) into a local systemd-journal-remote, beside curl posting the same records as one
# ready-made export file (bench_forward_export writes it, byte for byte what forward sends) to the
# same server: the server's own ceiling. Three selections, each against its own export file:
#   cursor       every record, from a new cursor file
#   from         --from the fourth day on (700,000 records), no cursor file
#   type+grep    --type 0,3 --grep 上限 (the 200,000 alarms), from a new cursor file
# Each run gets a fresh server and journal file; forward and curl take turns, RUNS times
# (default 3). Prints the medians and the ratios, and forward's peak memory (maximum resident
# set) for the whole log and for its last day alone (100,000 records): flat memory means about
# the same figure.
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

names=(cursor from type+grep)
declare -A counts=([cursor]=1000000 [from]=700000 [type+grep]=200000)
selection() {
    case "$1" in
    cursor) echo --cursor-file "$work/cursor" ;;
    from) echo --from ;;
    type+grep) echo --cursor-file "$work/cursor" --type 0,3 --grep 上限 ;;
    esac
}
"$build/bench/cli/bench_forward_export" "$db" "$work/cursor.export" bench-host
"$build/bench/cli/bench_forward_export" "$db" "$work/from.export" bench-host "2026-11-04 00:00:00"
"$build/bench/cli/bench_forward_export" "$db" "$work/type+grep.export" bench-host "" 0,3 上限

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
# forward NAME: one run of forward --once with the selection's options, its peak memory in rss.
forward() {
    local from=()
    [ "$1" = from ] && from=("2026-11-04 00:00:00")
    rm -f "$work/cursor"
    # shellcheck disable=SC2046
    /usr/bin/time -f %M -o "$work/rss" "$tallylog" --db "$db" forward --once \
        --to "http://127.0.0.1:$port" --hostname bench-host $(selection "$1") "${from[@]}" \
        >"$work/said"
    grep -q "^delivered ${counts[$1]} records" "$work/said" ||
        { echo "forward did not deliver all: $(cat "$work/said")" >&2; exit 1; }
}

declare -A forward_ms curl_ms
rss_all=()
for _ in $(seq "$runs"); do
    for name in "${names[@]}"; do
        start_server
        begin=$(now_ms)
        forward "$name"
        [ "$name" = cursor ] && rss_all+=("$(cat "$work/rss")")
        forward_ms[$name]+="$(($(now_ms) - begin)) "
        stop_server

        start_server
        begin=$(now_ms)
        curl -sS --fail -o /dev/null -H 'Content-Type: application/vnd.fdo.journal' \
            --data-binary @"$work/$name.export" "http://127.0.0.1:$port/upload"
        curl_ms[$name]+="$(($(now_ms) - begin)) "
        stop_server
    done
done

# Peak memory for the last day alone, against the whole log's.
start_server
/usr/bin/time -f %M -o "$work/rss" "$tallylog" --db "$db" forward --once \
    --to "http://127.0.0.1:$port" --from "2026-11-10 00:00:00" >/dev/null
rss_day=$(cat "$work/rss")
stop_server

printf 'runs: %d, medians; records/s = records / time\n' "$runs"
printf '%-10s %9s %11s %12s %11s %12s %7s\n' selection records "forward ms" "forward r/s" \
    "curl ms" "curl r/s" ratio
for name in "${names[@]}"; do
    # shellcheck disable=SC2086
    f=$(median ${forward_ms[$name]})
    # shellcheck disable=SC2086
    c=$(median ${curl_ms[$name]})
    n=${counts[$name]}
    awk -v name="$name" -v n="$n" -v f="$f" -v c="$c" 'BEGIN {
        printf "%-10s %9d %11d %12d %11d %12d %6.2fx\n", name, n, f, n * 1000 / f, c,
            n * 1000 / c, c / f }'
done
printf 'forward peak RSS: %s KiB (1,000,000 records), %s KiB (last day, 100,000 records)\n' \
    "$(median "${rss_all[@]}")" "$rss_day"
