#!/usr/bin/env bash
# Installs what is missing, builds everything in ./build and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/install-deps.sh "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLYVIEW_WERROR=ON
cmake --build build -j"$(nproc)"
# One test more than the machine has cores: several tests spend most of their time waiting for
# locks to be released and records to arrive at a steady rate, not computing.
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -j"$(($(nproc) + 1))" \
    --timeout 300
