#!/usr/bin/env bash
# Times tallylog beside the sqlite3 shell on a log of 1,000,000 records (10 days of 100,000, all
# five categories): "list" of one day as JSON and as CSV against "sqlite3 -json/-csv" running the
# same select, "stats --by hour" over the whole file (its empty hours up to now filled in)
# against the same group-by in sqlite3, and "list -n 100" (the last 100, also with --reverse) of
# the whole file against "sqlite3 -json" with "ORDER BY id DESC LIMIT 100"; then the peak memory
# (resident set, GNU time) of "list -n 10" and "list -n 1000000", which should differ by a few MB.
# With --grep: against sqlite3 -json with "message LIKE '%...%'" added. The text format (one line
# per record) runs beside sqlite3's own list mode.
# Each command runs RUNS times (default 5), output to /dev/null; the table gives the medians and
# the ratio tallylog / sqlite3, measured side by side in this one run. With BEFORE=DIR, the build
# tree of an earlier version (tallylog built there already) runs in the same turns, in a column of
# its own, so that before and after are measured under the same load.
#
#   bash scripts/bench-cli.sh [BUILD_DIR]        (default ./build, built already)
#   BEFORE=../old/build bash scripts/bench-cli.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
runs="${RUNS:-5}"
tallylog="$build/cli/tallylog"
db="${TMPDIR:-/tmp}/tallylog-bench.db"
day=2026-11-05

cmake --build "$build" -j"${JOBS:-2}" --target tallylog bench_cli_make_log bench_qt_core_alone >/dev/null
[ -f "$db" ] || "$build/bench/cli/bench_cli_make_log" "$db" 10 100000

# Wall time of one run of a command line (a string for eval), in microseconds.
time_us() {
    local start end
    start=$(date +%s%N)
    eval "$1" >/dev/null
    end=$(date +%s%N)
    echo $(((end - start) / 1000))
}

median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

before="${BEFORE:+$BEFORE/cli/tallylog}"
[ -z "$before" ] || [ -x "$before" ] || { echo "no $before: build it first" >&2; exit 1; }

# Runs the two command lines in turn (and the earlier tallylog's, with BEFORE), $runs times each,
# so that all see the same load on a shared machine; prints the row with their medians and the
# ratios.
compare() {
    local name="$1" ours=() theirs=() earlier=()
    local old="${2/#$(q "$tallylog")/$(q "$before")}"
    [ -n "$before" ] && [ "$old" != "$2" ] || old=
    for _ in $(seq "$runs"); do
        ours+=("$(time_us "$2")")
        theirs+=("$(time_us "$3")")
        [ -z "$old" ] || earlier+=("$(time_us "$old")")
    done
    local a b c=0
    a="$(median "${ours[@]}")"
    b="$(median "${theirs[@]}")"
    [ -z "$old" ] || c="$(median "${earlier[@]}")"
    awk -v n="$name" -v a="$a" -v b="$b" -v c="$c" 'BEGIN {
        printf "%-28s %8.1f ms %8.1f ms   %.2f", n, a / 1000, b / 1000, (b > 0 ? a / b : 0)
        if (c > 0) printf "   %8.1f ms   %.2f", c / 1000, c / b
        printf "\n" }'
}

q() { printf '%q ' "$@"; }

select_day="SELECT id, datetime, type, message FROM SystemInfo WHERE datetime >= '$day 00:00:00' \
AND datetime <= '$day 23:59:59' ORDER BY id"
select_grep="SELECT id, datetime, type, message FROM SystemInfo WHERE datetime >= '$day 00:00:00' \
AND datetime <= '$day 23:59:59' AND message LIKE '%OPERATOR%' ORDER BY id"
select_last="SELECT id, datetime, type, message FROM SystemInfo ORDER BY id DESC LIMIT 100"
group_hour="SELECT substr(datetime, 1, 13), type, count(*) FROM SystemInfo GROUP BY 1, 2 ORDER BY 1, 2"

echo "log: $db ($(sqlite3 "$db" 'SELECT count(*) FROM SystemInfo') records), day $day" \
    "($(sqlite3 "$db" "SELECT count(*) FROM SystemInfo WHERE datetime LIKE '$day%'") records)," \
    "median of $runs runs"
printf '%-28s %11s %11s   %s%s\n' "" "tallylog" "sqlite3" "ratio" \
    "${before:+   before        ratio}"
compare "list --day, json" "$(q "$tallylog" --db "$db" list --day "$day" --format json)" \
    "$(q sqlite3 -json "$db" "$select_day")"
compare "list --day, csv" "$(q "$tallylog" --db "$db" list --day "$day" --format csv)" \
    "$(q sqlite3 -csv "$db" "$select_day")"
compare "list --day, text" "$(q "$tallylog" --db "$db" list --day "$day")" \
    "$(q sqlite3 "$db" "$select_day")"
# The least a run costs: a Qt program loads Qt Core, which takes longer than sqlite3's whole run
# of a small query; the rows below that select little are bounded by this one.
compare "start-up (--version)" "$(q "$tallylog" --version)" "$(q sqlite3 :memory: "SELECT 1")"
compare "Qt Core alone (no work)" "$(q "$build/bench/cli/bench_qt_core_alone")" \
    "$(q sqlite3 -json "$db" "$select_last")"
compare "list -n 100, json" \
    "$(q "$tallylog" --db "$db" list -n 100 --since 2000-01-01 --format json)" \
    "$(q sqlite3 -json "$db" "$select_last")"
compare "list -n 100 --reverse, json" \
    "$(q "$tallylog" --db "$db" list -n 100 --reverse --since 2000-01-01 --format json)" \
    "$(q sqlite3 -json "$db" "$select_last")"
compare "stats --by hour, filled" \
    "$(q "$tallylog" --db "$db" stats --by hour --from "1970-01-01 00:00:00")" \
    "$(q sqlite3 "$db" "$group_hour")"
# SQLite's LIKE folds ASCII case only; --grep folds Unicode case, in C++.
compare "list --day --grep, json" \
    "$(q "$tallylog" --db "$db" list --day "$day" --grep OPERATOR --format json)" \
    "$(q sqlite3 -json "$db" "$select_grep")"

# The last N are found newest first, then read again in order: memory does not grow with N.
peak_kib() { { /usr/bin/time -f %M "$@" >/dev/null; } 2>&1 | tail -n 1; }
small="$(peak_kib "$tallylog" --db "$db" list -n 10 --since 2000-01-01 --format json)"
large="$(peak_kib "$tallylog" --db "$db" list -n 1000000 --since 2000-01-01 --format json)"
printf '%-28s %8s KiB %8s KiB   +%s KiB\n' "peak RSS, -n 10 / 1000000" "$small" "$large" \
    "$((large - small))"
if [ -n "$before" ]; then
    small="$(peak_kib "$before" --db "$db" list -n 10 --since 2000-01-01 --format json)"
    large="$(peak_kib "$before" --db "$db" list -n 1000000 --since 2000-01-01 --format json)"
    printf '%-28s %8s KiB %8s KiB   +%s KiB\n' "  before" "$small" "$large" "$((large - small))"
fi
