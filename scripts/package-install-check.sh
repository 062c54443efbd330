#!/usr/bin/env bash
# Installs the Debian packages with apt-get on THIS machine, runs the programs from the system,
# purges them again and checks that nothing is left behind. Meant for a throwaway machine (it
# installs and removes system packages; run it as root):
#
#   bash scripts/package-install-check.sh [DEB_DIR]
#
# DEB_DIR holds tallyview_*.deb, tallylog_*.deb, libsystemlog<N>_*.deb and libsystemlog-dev_*.deb;
# without it scripts/package.sh builds them first. Steps:
#   1. the file list of /usr, /etc and /var/lib (without the package managers' own records in
#      /var/lib/dpkg and /var/lib/apt) and the list of installed packages, before;
#   2. apt-get install ./… of the four packages (and whatever they pull in, Recommends too);
#   3. from the system: tallylog --version; an outside CMake project (examples/consumer) built
#      against the installed libsystemlog-dev writes a log, which tallylog lists; the desktop
#      entry's tallyview-desktop, with TALLYVIEW_LOG_DIR set in /etc/default/tallyview (a
#      conffile, edited as an administrator would), starts Tallyview offscreen in that directory,
#      also as an unprivileged user who cannot write there; it refuses a directory without a log;
#      the log directory's name has a space;
#      a forwarder instance is enabled and verified (systemd-analyze), and a cursor file is left in
#      /var/lib/tallylog as the service keeps it;
#   4. apt-get purge of the four packages and of every package step 2 installed;
#   5. the file list and the package list again: they must equal those of step 1.
# Environment: APT_INSTALL_OPTIONS (e.g. --no-install-recommends), JOBS for the build.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "package-install-check: run this as root on a throwaway machine" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive

work="$(mktemp -d "${TMPDIR:-/tmp}/tallyview-install-check.XXXXXX")"
window_pid=""
pulled_in=()
purged=1
finish() {
    local status=$?
    if [ -n "$window_pid" ]; then
        kill -KILL "$window_pid" 2>/dev/null || true
        wait "$window_pid" 2>/dev/null || true
    fi
    # A check that failed half-way leaves no package behind either.
    if [ "$purged" = 0 ] && [ ${#pulled_in[@]} -gt 0 ]; then
        echo "== apt-get purge ${pulled_in[*]} (after the failure)"
        [ ! -f "$work/defaults.orig" ] || cp "$work/defaults.orig" /etc/default/tallyview
        apt-get purge -y "${pulled_in[@]}" >/dev/null 2>&1 || echo "apt-get purge failed" >&2
    fi
    rm -rf "$work"
    if [ "$status" -eq 0 ]; then
        echo "package-install-check: PASSED"
    else
        echo "package-install-check: FAILED (exit status $status)"
    fi
}
trap finish EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() {
    echo "== $*"
}

# apt reads local packages as its unprivileged user: the directory must be readable by all.
debs="$work/debs"
mkdir -p "$debs"
chmod 755 "$work" "$debs"
if [ $# -ge 1 ]; then
    cp "$1"/tallyview_*.deb "$1"/tallylog_*.deb "$1"/libsystemlog*_*.deb "$debs/"
else
    step "build the packages (scripts/package.sh)"
    bash scripts/package.sh "$debs" >"$work/package.log" 2>&1 || {
        tail -n 40 "$work/package.log"
        fail "scripts/package.sh failed"
    }
    sed -n '/^== lintian/,$p' "$work/package.log"
fi
chmod 644 "$debs"/*.deb
mapfile -t deb_files < <(ls "$debs"/*.deb)
packages=()
for deb in "${deb_files[@]}"; do
    packages+=("$(dpkg-deb -f "$deb" Package)")
done
version="$(dpkg-deb -f "$debs"/tallylog_*.deb Version)"
echo "packages: ${packages[*]} (version $version)"
for package in "${packages[@]}"; do
    status="$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)"
    if [[ "$status" == *"ok installed"* ]]; then
        fail "$package is installed already; this check starts from a machine without it"
    fi
done

snapshot() {
    find /usr /etc /var/lib -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt \) -prune \
        -o -print | LC_ALL=C sort
}
installed_packages() {
    dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' | awk '$1 ~ /^.i/ { print $2 }' |
        LC_ALL=C sort
}

step "file list of /usr /etc /var/lib before"
snapshot >"$work/before.txt"
installed_packages >"$work/packages-before.txt"
echo "$(wc -l <"$work/before.txt") paths, $(wc -l <"$work/packages-before.txt") packages"

step "apt-get install ${deb_files[*]##*/}"
purged=0
# shellcheck disable=SC2086
apt-get install -y ${APT_INSTALL_OPTIONS:-} "${deb_files[@]}" >"$work/install.log" 2>&1 || {
    cat "$work/install.log"
    fail "apt-get install failed"
}
grep -E '^(Setting up|Unpacking) ' "$work/install.log" | sed 's/^/  /'
installed_packages >"$work/packages-installed.txt"
mapfile -t pulled_in < <(LC_ALL=C comm -13 "$work/packages-before.txt" "$work/packages-installed.txt" |
    sed 's/:.*//')
echo "newly installed: ${pulled_in[*]}"
[ ${#pulled_in[@]} -gt 0 ] || fail "apt-get installed nothing"
# Installing enables and starts nothing.
enabled="$(find /etc/systemd/system -lname '*tallylog*' 2>/dev/null)"
[ -z "$enabled" ] || fail "installing enabled units: $enabled"

# --- The programs, from the system -----------------------------------------------------------

step "tallylog from /usr/bin"
[ "$(command -v tallylog)" = /usr/bin/tallylog ] || fail "tallylog is not /usr/bin/tallylog"
said="$(tallylog --version)"
echo "  tallylog --version: $said"
[ "$said" = "tallylog $version" ] || fail "tallylog --version says '$said'"

step "examples/consumer built against the installed libsystemlog-dev, its log listed by tallylog"
consumer="$work/consumer"
cmake -S examples/consumer -B "$consumer" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$work/consumer.log" 2>&1 &&
    cmake --build "$consumer" -j"${JOBS:-2}" >>"$work/consumer.log" 2>&1 || {
    cat "$work/consumer.log"
    fail "examples/consumer does not build against the installed package"
}
found="$(sed -n 's/^SystemLog_DIR:PATH=//p' "$consumer/CMakeCache.txt")"
echo "  SystemLog found in $found"
case "$found" in /usr/lib/*) ;; *) fail "SystemLog was found in '$found', not under /usr/lib" ;; esac
libline="$(ldd "$consumer/app" | grep libsystemlog)"
loaded="$(libline="${libline#*=> }" && readlink -f "${libline%% *}")"
echo "  consumer/app loads $loaded"
[ "$(dpkg -S "$loaded" 2>/dev/null | cut -d: -f1)" = "$(ls "$debs" | sed -n 's/^\(libsystemlog[0-9][^_]*\)_.*/\1/p')" ] ||
    fail "the consumer does not load the library of the installed package ($loaded)"
logdir="$work/log dir"
mkdir -p "$logdir"
(cd "$logdir" && "$consumer/app" >/dev/null) || fail "the consumer failed"
chmod 755 "$logdir"
chmod 644 "$logdir/dbLog.db"
tallylog --db "$logdir/dbLog.db" list --from "1970-01-01 00:00:00" --format json >"$work/list.json" ||
    fail "tallylog list fails on the consumer's log"
echo "  tallylog list: $(wc -l <"$work/list.json") records"
[ "$(wc -l <"$work/list.json")" = 5 ] || fail "tallylog lists $(wc -l <"$work/list.json") records, not 5"

step "the desktop entry's launcher"
desktop-file-validate /usr/share/applications/tallyview.desktop || fail "desktop entry rejected"
grep -qx 'Exec=tallyview-desktop' /usr/share/applications/tallyview.desktop ||
    fail "the desktop entry does not run tallyview-desktop"
cp /etc/default/tallyview "$work/defaults.orig"
# Without a log in the configured directory it refuses.
mkdir -p "$work/empty"
chmod 755 "$work/empty"
sed -i "s|^TALLYVIEW_LOG_DIR=.*|TALLYVIEW_LOG_DIR=$work/empty|" /etc/default/tallyview
status=0
(unset DISPLAY WAYLAND_DISPLAY TALLYVIEW_LOG_DIR; tallyview-desktop) 2>"$work/refused.txt" || status=$?
echo "  refused (exit status $status): $(cat "$work/refused.txt")"
[ "$status" = 1 ] && [ ! -e "$work/empty/dbLog.db" ] || fail "tallyview-desktop did not refuse"
# With one, it starts the window there: as root, and as a user who may not write there.
sed -i "s|^TALLYVIEW_LOG_DIR=.*|TALLYVIEW_LOG_DIR=$logdir|" /etc/default/tallyview
run_window() {
    local user="$1"
    local err="$work/window.err" runtime="$work/runtime-$user"
    : >"$err"
    chmod 666 "$err"
    mkdir -p "$runtime"
    chown "$user" "$runtime"
    chmod 700 "$runtime"
    runuser -u "$user" -- env -u DISPLAY -u WAYLAND_DISPLAY -u TALLYVIEW_LOG_DIR \
        QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="qt.text.drawing.debug=true" \
        XDG_RUNTIME_DIR="$runtime" tallyview-desktop >/dev/null 2>>"$err" &
    window_pid=$!
    local i
    for ((i = 0; i < 1200; i++)); do
        grep -q '^qt.text.drawing: ' "$err" && break
        kill -0 "$window_pid" 2>/dev/null || break
        sleep 0.1
    done
    grep -q '^qt.text.drawing: ' "$err" || { cat "$err"; fail "the window did not show"; }
    # runuser may stay the parent, with the window as its child.
    local pid="$window_pid"
    if [ "$(readlink "/proc/$pid/exe")" != /usr/bin/Tallyview ]; then
        pid="$(pgrep -P "$window_pid" | head -n 1)"
    fi
    echo "  window ($(ps -o user= -p "$pid")) runs $(readlink "/proc/$pid/exe") in $(readlink "/proc/$pid/cwd")"
    [ "$(readlink "/proc/$pid/exe")" = /usr/bin/Tallyview ] || fail "not /usr/bin/Tallyview"
    [ "$(readlink "/proc/$pid/cwd")" = "$logdir" ] || fail "the window is not in the log directory"
    kill -TERM "$pid"
    wait "$window_pid" || true
    window_pid=""
}
run_window root
run_window nobody
cp "$work/defaults.orig" /etc/default/tallyview

step "the forwarding unit"
instance="tallylog-forward@$(systemd-escape --path "$logdir").service"
systemctl enable "$instance" 2>&1 | sed 's/^/  /'
[ -L "/etc/systemd/system/multi-user.target.wants/$instance" ] ||
    fail "systemctl enable did not enable $instance"
# systemd-analyze verify needs no running service manager: it loads the instance (its
# directory's name has a space) and checks what it names, /usr/bin/tallylog among them.
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$instance" >"$work/verify.txt" 2>&1 ||
        { cat "$work/verify.txt"; fail "systemd-analyze verify rejects $instance"; }
    echo "  systemd-analyze verify $instance: no complaint"
fi
# What a forwarder keeps: its cursor, in the StateDirectory= the service manager makes.
mkdir -p /var/lib/tallylog
echo 5 >"/var/lib/tallylog/$(systemd-escape --path "$logdir").cursor"

# --- Purge ------------------------------------------------------------------------------------

step "apt-get purge ${pulled_in[*]}"
apt-get purge -y "${pulled_in[@]}" >"$work/purge.log" 2>&1 || {
    cat "$work/purge.log"
    fail "apt-get purge failed"
}
purged=1
grep -E '^(Removing|Purging) ' "$work/purge.log" | sed 's/^/  /'

step "file list of /usr /etc /var/lib after"
snapshot >"$work/after.txt"
installed_packages >"$work/packages-after.txt"
echo "$(wc -l <"$work/after.txt") paths, $(wc -l <"$work/packages-after.txt") packages"
diff -u "$work/packages-before.txt" "$work/packages-after.txt" ||
    fail "the installed packages differ from those before"
if ! diff -u "$work/before.txt" "$work/after.txt" >"$work/files.diff"; then
    cat "$work/files.diff"
    fail "the file lists before and after differ (+ left behind, - gone)"
fi
echo "  the same $(wc -l <"$work/after.txt") paths as before"
