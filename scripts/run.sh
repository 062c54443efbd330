#!/usr/bin/env bash
# Installs what is missing, builds the program and starts its window.
# The program works in the directory it is started in: it opens ./dbLog.db and
# ./Tallyview.ini there. Give the directory of a machine's log as the argument
# (default: the current directory).
set -euo pipefail
logdir="$(realpath "${1:-$PWD}")"
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/install-deps.sh "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target Tallyview

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "Built $(pwd)/build/app/Tallyview, but there is no display to show its window on" >&2
    echo "(neither DISPLAY nor WAYLAND_DISPLAY is set). Start it from a desktop session," >&2
    echo "or under a virtual display: xvfb-run -a bash scripts/run.sh \"$logdir\"" >&2
    exit 2
fi

exe="$(pwd)/build/app/Tallyview"
cd "$logdir"
echo "Starting Tallyview in $logdir"
exec "$exe"
