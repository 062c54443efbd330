#!/usr/bin/env bash
# Fuzzes the log service's output hook for a while (default 600 seconds):
#
#   bash scripts/fuzz.sh [SECONDS] [more libFuzzer options...]
#
# Installs what is missing, builds the fuzz target with clang (AddressSanitizer,
# UndefinedBehaviorSanitizer, libFuzzer) in build-fuzz/, and runs it on a working corpus that
# starts from the committed seeds in fuzz/corpus/ and is kept between runs (build-fuzz/corpus/).
# The target waits for the log writer to store each input (a few 10 ms cycles), so expect some
# 50 to 100 inputs a second. FUZZ_JOBS=N runs N fuzzing processes (libFuzzer's -fork=N); on a
# shared two-core machine that gained little over one.
#
# When the target finds a fault it stops and leaves the input in build-fuzz/artifacts/; replay it
# with
#   build-fuzz/fuzz/fuzz_output_hook build-fuzz/artifacts/crash-<hash>
# To keep what a long run found as seeds (only inputs that add coverage are copied):
#   build-fuzz/fuzz/fuzz_output_hook -merge=1 fuzz/corpus build-fuzz/corpus
#
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

seconds="${1:-600}"
[ $# -gt 0 ] && shift
case "$seconds" in
'' | *[!0-9]*) echo "usage: bash scripts/fuzz.sh [SECONDS] [libFuzzer options...]" >&2; exit 2 ;;
esac
fuzz_dir="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
jobs="${FUZZ_JOBS:-1}"

source scripts/packages.sh
bash scripts/install-deps.sh "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev llvm-14

cmake -S "$root" -B "$fuzz_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DTALLYVIEW_FUZZ=ON -DTALLYVIEW_SANITIZE="address;undefined" -DTALLYVIEW_BUILD_TESTS=OFF \
    -DTALLYVIEW_BUILD_BENCH=OFF -DTALLYVIEW_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$fuzz_dir" -j2 --target fuzz_output_hook

symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
[ -x "$symbolizer" ] || symbolizer="$(command -v llvm-symbolizer || true)"
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:external_symbolizer_path=$symbolizer"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:external_symbolizer_path=$symbolizer"
# Every input is stored in a temporary directory of the target; memory is quicker than disk.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi

mkdir -p "$fuzz_dir/corpus" "$fuzz_dir/artifacts"
parallel=()
[ "$jobs" -gt 1 ] && parallel=(-fork="$jobs")
echo "Fuzzing for $seconds s with $jobs process(es); corpus $fuzz_dir/corpus," \
    "faults go to $fuzz_dir/artifacts/"
# New inputs go to the first corpus directory only, so the committed seeds stay unchanged.
exec "$fuzz_dir/fuzz/fuzz_output_hook" -max_total_time="$seconds" "${parallel[@]}" \
    -artifact_prefix="$fuzz_dir/artifacts/" -print_final_stats=1 "$@" \
    "$fuzz_dir/corpus" "$root/fuzz/corpus"
