#!/usr/bin/env bash
# Set-up and run of bench_service: installs what building needs and what the benchmarks compare
# with (BENCH_PACKAGES, spdlog among them), configures ./build so that it finds spdlog, builds
# bench_service and runs it with the arguments given (none: the default run).
#
#   bash scripts/bench.sh [bench_service options]     e.g. --only hook, --only bigmessage
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/install-deps.sh "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
build="${BUILD_DIR:-build}"
# Configured again: a build tree made before spdlog was installed would leave it out.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target bench_service
exec "$build/bench/service/bench_service" "$@"
