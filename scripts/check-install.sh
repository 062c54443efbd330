#!/usr/bin/env bash
# Checks the installation: installs missing build packages, builds the project, installs it into
# a temporary prefix, checks the installed files, builds the outside project examples/consumer
# against that prefix only, runs it in a temporary working directory and checks the records it
# stored in ./dbLog.db there.
#
#   bash scripts/check-install.sh [BUILD_DIR]     (default: ./build, created if missing)
#
# Environment: JOBS (parallel build jobs, default 2), KEEP_TMP=1 keeps the temporary files.
# Exits non-zero on the first failure; the last line says PASSED or FAILED and why.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
jobs="${JOBS:-2}"

step="start"
failed_reason=""
tmp="$(mktemp -d "${TMPDIR:-/tmp}/tallyview-check-install.XXXXXX")"

finish() {
    local status=$?
    if [ "${KEEP_TMP:-0}" = 1 ]; then
        echo "(temporary files kept in $tmp)"
    else
        rm -rf "$tmp"
    fi
    if [ "$status" -eq 0 ]; then
        echo "check-install: PASSED (install, package, consumer build and run)"
    elif [ -n "$failed_reason" ]; then
        echo "check-install: FAILED: $failed_reason"
    else
        echo "check-install: FAILED at step: $step (exit status $status)"
    fi
}
trap finish EXIT

fail() {
    failed_reason="$*"
    exit 1
}

expect_file() {
    [ -f "$1" ] || fail "missing installed file ${1#"$prefix"/}"
}

# --- Build and install -----------------------------------------------------------------------

step="install missing build packages"
source scripts/packages.sh
bash scripts/install-deps.sh "${BUILD_PACKAGES[@]}"

step="configure and build $build"
echo "== $step"
if [ -f "$build/CMakeCache.txt" ]; then
    # Keeps the cache's choices; re-running picks up install rules added since it was made.
    cmake -S . -B "$build" >/dev/null
else
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
# Only what gets installed: the tests and tools do not have to build for this check.
targets=(systemlog)
if grep -q '/Tallyview"' "$build/cmake_install.cmake"; then
    targets+=(Tallyview)
fi
if grep -q '/tallylog"' "$build/cmake_install.cmake"; then
    targets+=(tallylog tallylog-forward)
fi
# The gzipped manual pages and the Debian changelog are made by targets of their own.
available="$(cmake --build "$build" --target help 2>/dev/null)"
for made in man_pages debian_changelog; do
    if grep -q "\b$made\b" <<<"$available"; then
        targets+=("$made")
    fi
done
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

prefix="$tmp/prefix"
step="install into $prefix"
echo "== $step"
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"
echo "installed $(grep -c 'Installing:' "$tmp/install.log") files"

# --- Installed files -------------------------------------------------------------------------

step="check the installed files"
echo "== $step"

program="$prefix/bin/Tallyview"
[ -x "$program" ] || fail "missing installed program bin/Tallyview"
# The program must find the installed libsystemlog, not one from the build tree or the system.
libline="$(ldd "$program" | grep 'libsystemlog' || true)"
case "$libline" in
*"=> $prefix/"*) ;;
*) fail "bin/Tallyview does not find libsystemlog under the prefix (ldd: ${libline:-none})" ;;
esac
if readelf -d "$program" 2>/dev/null | grep -qF -e "$(realpath "$build")"; then
    fail "bin/Tallyview keeps a run path into the build tree"
fi

# tallylog beside it, running from the prefix with the installed library.
cli="$prefix/bin/tallylog"
[ -x "$cli" ] || fail "missing installed program bin/tallylog"
libline="$(ldd "$cli" | grep 'libsystemlog' || true)"
case "$libline" in
*"=> $prefix/"*) ;;
*) fail "bin/tallylog does not find libsystemlog under the prefix (ldd: ${libline:-none})" ;;
esac
if ldd "$cli" | grep -qE 'libQt5(Gui|Widgets)'; then
    fail "bin/tallylog links Qt's GUI libraries"
fi
# `tallylog forward` hands over to libexec/tallylog/tallylog-forward, the only program that links
# Qt Network (which every other start of tallylog would load for nothing).
forwarder="$prefix/libexec/tallylog/tallylog-forward"
[ -x "$forwarder" ] || fail "missing installed program libexec/tallylog/tallylog-forward"
libline="$(ldd "$forwarder" | grep 'libsystemlog' || true)"
case "$libline" in
*"=> $prefix/"*) ;;
*) fail "tallylog-forward does not find libsystemlog under the prefix (ldd: ${libline:-none})" ;;
esac
for linked in "$program" "$cli" "$prefix"/lib*/libsystemlog.so* "$prefix"/lib/*/libsystemlog.so*; do
    [ -e "$linked" ] || continue
    if ldd "$linked" | grep -q 'libQt5Network'; then
        fail "$(basename "$linked") links Qt Network (only tallylog-forward needs it)"
    fi
done
# The installed tallylog finds the installed forwarder: it, not tallylog, then reports the
# missing log file.
said="$(cd "$tmp" && "$cli" --db "$tmp/none.db" forward --to http://127.0.0.1:9 --once --from today 2>&1)" &&
    fail "tallylog forward on a missing log file succeeded"
case "$said" in
*"none.db: no such file"*) ;;
*) fail "installed tallylog forward does not reach the forwarder (said: $said)" ;;
esac
unit="$prefix/lib/systemd/system/tallylog-forward@.service"
expect_file "$unit"
grep -qF "ExecStart=$cli --db %f/dbLog.db forward" "$unit" ||
    fail "tallylog-forward@.service does not start the installed tallylog"
version="$(cd "$tmp" && "$cli" --version)" || fail "bin/tallylog --version fails"
[ "$version" = "tallylog $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
    fail "bin/tallylog --version says '$version'"

desktop="$prefix/share/applications/tallyview.desktop"
expect_file "$desktop"
for line in '[Desktop Entry]' 'Type=Application' 'Name=系统日志查询工具' 'Icon=tallyview' \
    'Exec=tallyview-desktop' 'Terminal=false' 'Categories=System;'; do
    grep -qxF -- "$line" "$desktop" || fail "desktop entry lacks the line: $line"
done
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
fi

icon="$prefix/share/pixmaps/tallyview.png"
expect_file "$icon"
cmp -s "$icon" Resources/Log.png || fail "share/pixmaps/tallyview.png is not Resources/Log.png"

# Exactly the public headers of systemlog/include/systemlog, each as it lies there, and none of
# them including a header of systemlog/ that is not installed.
public_headers="$(cd systemlog/include/systemlog && ls *.h | sort)"
[ -n "$public_headers" ] || fail "no public headers in systemlog/include/systemlog"
installed_headers="$(cd "$prefix/include/systemlog" && ls | sort)"
[ "$installed_headers" = "$public_headers" ] ||
    fail "include/systemlog holds $(echo $installed_headers), not the public headers $(echo $public_headers)"
for name in $public_headers; do
    installed="$prefix/include/systemlog/$name"
    cmp -s "systemlog/include/systemlog/$name" "$installed" ||
        fail "include/systemlog/$name differs from systemlog/include/systemlog/$name"
    for included in $(sed -n 's/^#include "\(.*\)"$/\1/p' "$installed"); do
        [ -f "$prefix/include/systemlog/$included" ] ||
            fail "include/systemlog/$name includes $included, which is not installed"
    done
done

config="$(find "$prefix" -name SystemLogConfig.cmake -path '*/cmake/SystemLog/*' | head -n 1)"
[ -n "$config" ] || fail "missing installed file lib/cmake/SystemLog/SystemLogConfig.cmake"
pkgdir="$(dirname "$config")"
libdir="$(dirname "$(dirname "$pkgdir")")"
expect_file "$pkgdir/SystemLogConfigVersion.cmake"
expect_file "$pkgdir/SystemLogTargets.cmake"
ls "$pkgdir"/SystemLogTargets-*.cmake >/dev/null 2>&1 ||
    fail "missing the per-configuration SystemLogTargets-*.cmake"
ls "$libdir"/libsystemlog.so.* >/dev/null 2>&1 || fail "missing the installed libsystemlog.so.*"
[ -L "$libdir/libsystemlog.so" ] || fail "missing the link name libsystemlog.so"
echo "programs, desktop entry, icon, $(echo $public_headers | wc -w) headers, library and package files present"

# --- An outside project against the installed copy -------------------------------------------

consumer="$tmp/consumer-build"
step="build examples/consumer against the prefix"
echo "== $step"
cmake -S examples/consumer -B "$consumer" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror" \
    >"$tmp/consumer-configure.log" || {
    cat "$tmp/consumer-configure.log"
    fail "examples/consumer does not configure against the installed package"
}
found="$(sed -n 's/^SystemLog_DIR:PATH=//p' "$consumer/CMakeCache.txt")"
[ "$found" = "$pkgdir" ] || fail "examples/consumer found SystemLog in '$found', not in the prefix"
cmake --build "$consumer" -j"$jobs" || fail "examples/consumer does not build against the installed package"

# Each installed header, included alone through the package, compiles warning-free. The include
# directory is taken as a plain -I here, so that warnings in these headers are not hidden.
step="compile each installed header on its own"
echo "== $step"
hdrproj="$tmp/headers-project"
mkdir -p "$hdrproj"
{
    echo 'cmake_minimum_required(VERSION 3.16)'
    echo 'project(InstalledHeaders LANGUAGES CXX)'
    echo 'set(CMAKE_CXX_STANDARD 17)'
    echo 'find_package(SystemLog REQUIRED)'
    echo 'set(sources)'
    for header in "$prefix"/include/systemlog/*.h; do
        name="$(basename "$header")"
        # Both spellings of an include find it.
        printf '#include "%s"\n#include <systemlog/%s>\n' "$name" "$name" >"$hdrproj/${name%.h}.cpp"
        echo "list(APPEND sources ${name%.h}.cpp)"
    done
    echo 'add_library(headers OBJECT ${sources})'
    echo 'set_target_properties(headers PROPERTIES NO_SYSTEM_FROM_IMPORTED ON)'
    echo 'target_link_libraries(headers PRIVATE SystemLog::systemlog)'
    echo 'target_compile_options(headers PRIVATE -Wall -Wextra -Wpedantic -Werror)'
} >"$hdrproj/CMakeLists.txt"
cmake -S "$hdrproj" -B "$hdrproj/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$hdrproj/build" -j"$jobs" >"$tmp/headers-build.log" 2>&1 || {
    cat "$tmp/headers-build.log"
    fail "an installed header does not compile on its own"
}
echo "$(ls "$prefix"/include/systemlog/*.h | wc -l) installed headers compile on their own"

# --- Run it ----------------------------------------------------------------------------------

step="run the consumer"
echo "== $step"
rundir="$tmp/run"
mkdir -p "$rundir"
expected_stdout="$tmp/expected-stdout.txt"
printf '%s\n' 'consumer: logging to standard output until the service starts' \
    'consumer: service released' >"$expected_stdout"
records="$tmp/expected-records.txt"
printf '%s\n' \
    $'2\tconsumer: system started' \
    $'1\t用户 operator 登录' \
    $'0\t参数 主轴转速 从 1200 改为 1500' \
    $'3\t报警：温度 86 ℃ 超过上限 80 ℃' \
    $'4\tconsumer: it\'s 100% done' >"$records"

for run in 1 2; do
    (cd "$rundir" && "$consumer/app" >"$tmp/stdout.txt" 2>"$tmp/stderr.txt") ||
        { cat "$tmp/stderr.txt"; fail "examples/consumer app exited with an error (run $run)"; }
    diff -u "$expected_stdout" "$tmp/stdout.txt" ||
        fail "the consumer's standard output is not the two messages logged outside the service"
    if [ -s "$tmp/stderr.txt" ]; then
        cat "$tmp/stderr.txt"
        fail "the consumer wrote to standard error (run $run)"
    fi
done
[ -f "$rundir/dbLog.db" ] || fail "the consumer left no dbLog.db in its working directory"

# Two runs in the same directory: the second appends to the file the first created.
cat "$records" "$records" >"$tmp/expected-log.txt"
(cd "$rundir" && "$consumer/list_log" >"$tmp/log.txt") || fail "list_log cannot read dbLog.db"
diff -u "$tmp/expected-log.txt" "$tmp/log.txt" ||
    fail "dbLog.db does not hold the consumer's records in the order they were logged"
echo "dbLog.db in the working directory holds the $(wc -l <"$tmp/log.txt") records of two runs, in order"
step="done"
