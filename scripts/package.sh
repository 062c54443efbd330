#!/usr/bin/env bash
# Builds the Debian packages from a clean tree and checks them with lintian:
#
#   bash scripts/package.sh [OUTPUT_DIR]      (default: the current directory)
#
# writes tallyview_<version>_<arch>.deb, tallylog_…, libsystemlog<soversion>_… and
# libsystemlog-dev_… (cmake/Package.cmake says what each holds). The build directory is made
# anew each time, configured for /usr with Debian's build flags (dpkg-buildflags: hardening,
# optimisation), without the tests, benchmarks and examples; CPack's DEB generator then packs
# the install components, with the dependencies dpkg-shlibdeps finds in the binaries.
# Installs what is missing first (as root). Fails when lintian reports an error.
#
# Environment: BUILD_DIR (default build-deb in the repository), JOBS (default 2),
# TALLYVIEW_SCREENSHOT_URL (the web address where docs/*.png are published: the AppStream
# metadata then lists them as its screenshots).
set -euo pipefail
out="$(mkdir -p "${1:-.}" && cd "${1:-.}" && pwd)"
cd "$(dirname "$0")/.."
root="$(pwd)"
build="${BUILD_DIR:-$root/build-deb}"
jobs="${JOBS:-2}"

source scripts/packages.sh
bash scripts/install-deps.sh "${BUILD_PACKAGES[@]}" "${PACKAGING_PACKAGES[@]}"

# Debian's flags, as dh_auto_configure hands them to CMake (which reads CXXFLAGS and LDFLAGS
# from the environment, not CPPFLAGS).
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CXXFLAGS="${CPPFLAGS:-} ${CXXFLAGS:-}"
export LDFLAGS="${LDFLAGS:-}"
# The changelog and the AppStream release carry the date of the last commit.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
    SOURCE_DATE_EPOCH="$(git -C "$root" log -1 --format=%ct)"
    export SOURCE_DATE_EPOCH
fi

rm -rf "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DTALLYVIEW_BUILD_TESTS=OFF -DTALLYVIEW_BUILD_BENCH=OFF -DTALLYVIEW_BUILD_EXAMPLES=OFF \
    -DTALLYVIEW_SCREENSHOT_URL="${TALLYVIEW_SCREENSHOT_URL:-}"
cmake --build "$build" -j"$jobs"

staging="$build/cpack"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$staging"
packages=()
for deb in "$staging"/*.deb; do
    cp "$deb" "$out/"
    packages+=("$out/$(basename "$deb")")
done

echo "== lintian"
status=0
lintian --fail-on error "${packages[@]}" || status=$?
echo "== packages in $out"
ls -l "${packages[@]}"
if [ "$status" -ne 0 ]; then
    echo "package: lintian reports errors (above)" >&2
    exit 1
fi
