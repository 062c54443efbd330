#!/usr/bin/env bash
# The Debian packages, built by CPack from this build tree into a scratch directory: lintian
# reports no error and no warning beyond lintian-allowed.txt; each package holds the files,
# dependencies and control files of expected-files.txt; the desktop entry and the AppStream
# metadata validate and each hicolor icon has its size. Then, unpacked into a scratch directory
# with dpkg-deb -x: tallylog runs from there (--version, list on a log written through the
# unpacked library) and tallyview-desktop starts the unpacked window offscreen in the log
# directory it is given, or refuses, with a message and without creating a log, a directory
# that holds none.
#
#   check-packages.sh BUILD_DIR VERSION SOVERSION LIBRARY_VERSION LIBDIR CONFIG APPSTREAM_ID FILL_LOG
#
# Exit status 77 (skipped) when a tool is missing (scripts/packages.sh, PACKAGING_PACKAGES).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build="$1" version="$2" soversion="$3" library_version="$4" libdir="$5" config="$6"
appstream_id="$7" fill_log="$8"

for tool in cpack dpkg-deb dpkg-shlibdeps file lintian desktop-file-validate appstreamcli; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (scripts/packages.sh: PACKAGING_PACKAGES)"
        exit 77
    fi
done

scratch="$(mktemp -d "${TMPDIR:-/tmp}/tallyview-packages.XXXXXX")"
scratch="$(cd "$scratch" && pwd -P)"
window_pid=""
finish() {
    if [ -n "$window_pid" ]; then
        kill -KILL "$window_pid" 2>/dev/null || true
        wait "$window_pid" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap finish EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# --- Build and lint ------------------------------------------------------------------------

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/cpack" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; fail "cpack could not build the packages"; }
debs=("$scratch"/cpack/*.deb)
[ -e "${debs[0]}" ] || fail "cpack built no package"

lintian "${debs[@]}" >"$scratch/lintian.txt" 2>&1 || true
echo "--- lintian"
cat "$scratch/lintian.txt"
if grep -q '^E: ' "$scratch/lintian.txt"; then
    fail "lintian reports errors"
fi
allowed="$(sed -e '/^#/d' -e '/^$/d' "$here/lintian-allowed.txt")"
unexpected="$(sed -n 's/^W: [^:]*: \([^ ]*\).*/\1/p' "$scratch/lintian.txt" | sort -u |
    grep -vxF -e "$allowed" || true)"
[ -z "$unexpected" ] || fail "lintian warnings not in lintian-allowed.txt: $(echo $unexpected)"

# --- What the packages hold ----------------------------------------------------------------

expected="$scratch/expected.txt"
{
    sed -e '/^#/d' -e '/^$/d' -e "s|@VERSION@|$version|g" -e "s|@SOVERSION@|$soversion|g" \
        -e "s|@LIBRARY_VERSION@|$library_version|g" \
        -e "s|@LIBDIR@|$libdir|g" -e "s|@CONFIG@|$config|g" -e "s|@APPSTREAM_ID@|$appstream_id|g" \
        "$here/expected-files.txt"
    for header in "$source_dir"/systemlog/include/systemlog/*.h; do
        echo "file libsystemlog-dev /usr/include/systemlog/$(basename "$header")"
    done
} >"$expected"

actual="$scratch/actual.txt"
: >"$actual"
declare -A deb_of
for deb in "${debs[@]}"; do
    package="$(dpkg-deb -f "$deb" Package)"
    deb_of[$package]="$deb"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] ||
        fail "$package has version $(dpkg-deb -f "$deb" Version), not $version"
    [ "$(basename "$deb")" = "${package}_${version}_$(dpkg-deb -f "$deb" Architecture).deb" ] ||
        fail "$(basename "$deb") is not named as Debian names packages"
    # Files and links (not directories): "./usr/bin/x" or "./usr/lib/a -> b".
    dpkg-deb --contents "$deb" | awk -v p="$package" '
        /^-/ { print "file " p " " substr($6, 2) }
        /^l/ { print "file " p " " substr($6, 2) " -> " $8 }' >>"$actual"
done
sort -o "$actual" "$actual"
grep '^file ' "$expected" | sort | diff -u - "$actual" >"$scratch/files.diff" ||
    { cat "$scratch/files.diff"; fail "the packages do not hold the expected files (- expected, + found)"; }

while read -r kind package rest; do
    deb="${deb_of[$package]:-}"
    [ -n "$deb" ] || fail "no package $package was built"
    case "$kind" in
    file) ;;
    depends)
        depends="$(dpkg-deb -f "$deb" Depends)"
        [[ ", $depends" == *", $rest"* ]] ||
            fail "$package does not depend on $rest (Depends: $depends)"
        ;;
    conffile)
        conffiles="$(dpkg-deb -I "$deb" conffiles 2>/dev/null || true)"
        grep -qxF -- "$rest" <<<"$conffiles" || fail "$rest is not a conffile of $package"
        ;;
    control)
        dpkg-deb -I "$deb" "$rest" >/dev/null 2>&1 || fail "$package has no control file $rest"
        ;;
    nocontrol)
        ! dpkg-deb -I "$deb" "$rest" >/dev/null 2>&1 || fail "$package has a control file $rest"
        ;;
    *) fail "expected-files.txt: unknown kind $kind" ;;
    esac
done <"$expected"
echo "--- ${#debs[@]} packages hold the $(grep -c '^file ' "$expected") expected files"

# --- Unpacked: the files themselves ----------------------------------------------------------

root="$scratch/root"
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$root"
done
desktop-file-validate "$root/usr/share/applications/tallyview.desktop" ||
    fail "desktop-file-validate rejects the desktop entry"
grep -qx 'Exec=tallyview-desktop' "$root/usr/share/applications/tallyview.desktop" ||
    fail "the desktop entry does not run tallyview-desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/$appstream_id.metainfo.xml" ||
    fail "appstreamcli rejects the metainfo"
for icon in "$root"/usr/share/icons/hicolor/*/apps/tallyview.png; do
    size="$(basename "$(dirname "$(dirname "$icon")")")"
    kind="$(file -b "$icon")"
    [[ "$kind" == "PNG image data, ${size/x/ x },"* ]] ||
        fail "hicolor/$size/apps/tallyview.png is not a $size PNG ($kind)"
done
grep -qx "ExecStart=/usr/bin/tallylog --db %f/dbLog.db forward .*" \
    "$root/usr/lib/systemd/system/tallylog-forward@.service" ||
    fail "the forwarding unit does not start /usr/bin/tallylog"

# The programs find the unpacked library beside them, by their run paths.
finds_unpacked_library() {
    local found
    found="$(ldd "$1")"
    [[ "$found" == *"libsystemlog.so.$soversion => $root/"* ]] ||
        fail "$1 does not load the unpacked libsystemlog ($(grep libsystemlog <<<"$found"))"
}
for program in usr/bin/Tallyview usr/bin/tallylog usr/libexec/tallylog/tallylog-forward; do
    finds_unpacked_library "$root/$program"
done

# --- Unpacked: the programs run --------------------------------------------------------------

export LD_LIBRARY_PATH="$root/usr/$libdir"
export QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY

said="$("$root/usr/bin/tallylog" --version)"
[ "$said" = "tallylog $version" ] || fail "tallylog --version says '$said'"

# A small log, written by the service of the unpacked library.
# Its directory's name has a space, as an administrator's may: the launcher reads it from the
# settings file unquoted and quoted.
logdir="$scratch/log dir"
mkdir -p "$logdir"
finds_unpacked_library "$fill_log"
(cd "$logdir" && "$fill_log" --count 40 --seed 1 >/dev/null) || fail "fill_log could not write a log"
"$root/usr/bin/tallylog" --db "$logdir/dbLog.db" list --from "1970-01-01 00:00:00" --format json \
    >"$scratch/list.json" || fail "the unpacked tallylog cannot list the log"
[ "$(grep -c '"category"' "$scratch/list.json")" = 40 ] ||
    fail "tallylog list shows $(wc -l <"$scratch/list.json") records of the 40 logged"
"$build/cli/tallylog" --db "$logdir/dbLog.db" list --from "1970-01-01 00:00:00" --format json \
    >"$scratch/list-built.json"
cmp -s "$scratch/list-built.json" "$scratch/list.json" ||
    fail "the unpacked tallylog lists otherwise than the built one"

# tallyview-desktop refuses a directory that holds no log, and creates none there. A copy of it
# runs here beside a stand-in for Tallyview that only notes that it was started.
launcher="$root/usr/bin/tallyview-desktop"
mkdir -p "$scratch/empty" "$scratch/stand-in"
cp "$launcher" "$scratch/stand-in/"
printf '#!/bin/sh\npwd >"%s"\n' "$scratch/stand-in.started" >"$scratch/stand-in/Tallyview"
chmod +x "$scratch/stand-in/Tallyview"
while IFS='|' read -r case_name dir_from_file dir_from_env message; do
    printf 'TALLYVIEW_LOG_DIR=%s\n' "$dir_from_file" >"$scratch/defaults"
    status=0
    TALLYVIEW_DEFAULTS="$scratch/defaults" TALLYVIEW_LOG_DIR="$dir_from_env" \
        "$scratch/stand-in/tallyview-desktop" >"$scratch/launcher.out" 2>"$scratch/launcher.err" ||
        status=$?
    [ ! -e "$scratch/stand-in.started" ] ||
        fail "tallyview-desktop, $case_name: started the window in $(cat "$scratch/stand-in.started")"
    [ "$status" = 1 ] || fail "tallyview-desktop, $case_name: exit status $status, not 1"
    grep -qF -- "$message" "$scratch/launcher.err" ||
        fail "tallyview-desktop, $case_name: said '$(cat "$scratch/launcher.err")'"
    [ ! -e "$scratch/empty/dbLog.db" ] && [ ! -e "$scratch/missing" ] ||
        fail "tallyview-desktop, $case_name: created a log or a directory"
done <<EOF
directory without a log|$scratch/empty||$scratch/empty holds no log file dbLog.db
missing directory|$scratch/missing||the log directory $scratch/missing does not exist
relative directory|log||the log directory log is not an absolute path
the environment's choice|$logdir|$scratch/empty|$scratch/empty holds no log file dbLog.db
a quoted directory with a comment|"$scratch/empty" # none||$scratch/empty holds no log file dbLog.db
EOF

# It starts the unpacked window beside it (also when called by a relative path) in the directory
# of the log. The window has no option to quit: it runs until it has painted the listing view
# (what Qt's text drawing category says), is looked at while it runs, and is then ended with
# SIGTERM.
printf 'TALLYVIEW_LOG_DIR=%s\n' "$logdir" >"$scratch/defaults"
(cd "$root" && TALLYVIEW_DEFAULTS="$scratch/defaults" QT_LOGGING_RULES="qt.text.drawing.debug=true" \
    exec "usr/bin/tallyview-desktop" >"$scratch/window.out" 2>"$scratch/window.err") &
window_pid=$!
for ((i = 0; i < 1200; i++)); do
    grep -q '^qt.text.drawing: ' "$scratch/window.err" && break
    kill -0 "$window_pid" 2>/dev/null || break
    sleep 0.1
done
if ! kill -0 "$window_pid" 2>/dev/null; then
    status=0
    wait "$window_pid" || status=$?
    window_pid=""
    cat "$scratch/window.err"
    fail "the unpacked window ended by itself (exit status $status) before it showed"
fi
grep -q '^qt.text.drawing: ' "$scratch/window.err" ||
    fail "the unpacked window did not show within 120 s"
[ "$(readlink "/proc/$window_pid/exe")" = "$root/usr/bin/Tallyview" ] ||
    fail "tallyview-desktop ran $(readlink "/proc/$window_pid/exe"), not the unpacked Tallyview"
[ "$(readlink "/proc/$window_pid/cwd")" = "$logdir" ] ||
    fail "the window runs in $(readlink "/proc/$window_pid/cwd"), not in the log directory"
kill -TERM "$window_pid"
status=0
wait "$window_pid" || status=$?
window_pid=""
[ "$status" = 143 ] || fail "the window ended with status $status on SIGTERM"
echo "--- the unpacked programs run: tallylog $version, the window in $logdir"
echo "PASS"
