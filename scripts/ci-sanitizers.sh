#!/usr/bin/env bash
# Builds the project under the sanitizers and runs its tests there; any report fails the run.
#
#   1. AddressSanitizer + UndefinedBehaviorSanitizer: the whole test suite but the header checks
#      (they only compile), valgrind's (it cannot run an instrumented program) and packaging's
#      (packages are made of a plain build).
#   2. ThreadSanitizer: the log service's own tests (CTest label "service" but not "robustness":
#      the robustness tests run the same writer and hook in child processes, for files, locks and
#      kills; ASan covers them, and the service's threads are the unit tests' subject).
#   3. libFuzzer: the output-hook fuzz target, a fixed number of runs on the seed corpus.
#
# Everything is built with clang. Installs what is missing first; safe to run again (the build
# trees are reused). Exits non-zero if any step fails; every step runs even when an earlier one
# failed, and a summary at the end names the failed ones.
#
# Environment (all optional):
#   SANITIZER_STEPS  steps to run, any of "asan tsan fuzz" (default: all three)
#   ASAN_BUILD_DIR, TSAN_BUILD_DIR, FUZZ_BUILD_DIR   build trees (default: build-asan,
#                    build-tsan, build-fuzz in the repository)
#   FUZZ_RUNS        number of fuzzer runs in all (default 10000)
#   FUZZ_PROCS       fuzzing processes that share them (default 2)
#   JOBS             parallel build and test jobs (default 2)
#   SERVICE_TEST_JOBS  parallel jobs of the AddressSanitizer run of the service's tests, which runs
#                    beside the run of the other tests (default JOBS)
set -uo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

steps="${SANITIZER_STEPS:-asan tsan fuzz}"
asan_dir="${ASAN_BUILD_DIR:-$root/build-asan}"
tsan_dir="${TSAN_BUILD_DIR:-$root/build-tsan}"
fuzz_dir="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
fuzz_runs="${FUZZ_RUNS:-10000}"
fuzz_procs="${FUZZ_PROCS:-2}"
jobs="${JOBS:-2}"
service_test_jobs="${SERVICE_TEST_JOBS:-$jobs}"

source scripts/packages.sh
# clang with its sanitizer and libFuzzer runtimes, llvm-symbolizer for readable reports, and
# LLVM's linker, which links the instrumented programs several times faster than ld.
SANITIZER_PACKAGES=(clang libclang-rt-14-dev llvm-14 lld-14)
bash scripts/install-deps.sh "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${SANITIZER_PACKAGES[@]}" || exit 1

symbolizer="$(command -v llvm-symbolizer-14 || command -v llvm-symbolizer || true)"
[ -x /usr/lib/llvm-14/bin/llvm-symbolizer ] && symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer

# Every report halts the program with a non-zero exit status, so the test that triggered it fails.
asan_common="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1:\
check_initialization_order=1:strict_init_order=1:symbolize=1:external_symbolizer_path=$symbolizer"
# Qt from the distribution has no frame pointers, so ASan's fast unwinder stops at the first Qt
# frame of an allocation stack. The leaks that scripts/lsan.supp matches lie deeper, under
# QGuiApplication's start-up; only the slow unwinder records them. It makes every allocation
# several times dearer, so it is used only for the tests that do not carry the label "service"
# (the window tests and the rest; the service tests start no GUI), with allocation stacks cut at
# 12 frames (the frame that the suppression matches lies at depth 4 to 7).
asan_fast="$asan_common"
asan_full_stacks="$asan_common:fast_unwind_on_malloc=0:malloc_context_size=12"
# Some tests run a child that drops to another user; LeakSanitizer reads its suppressions at that
# child's exit. The clone may sit in a directory that only root can enter (mktemp -d makes one),
# so the suppression files are read from a world-readable copy.
supp_dir="$(mktemp -d "${TMPDIR:-/tmp}/tallyview-supp.XXXXXX")"
trap 'rm -rf "$supp_dir"' EXIT
cp "$root/scripts/lsan.supp" "$root/scripts/tsan.supp" "$supp_dir/"
chmod 755 "$supp_dir" && chmod 644 "$supp_dir"/*.supp
export LSAN_OPTIONS="suppressions=$supp_dir/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1:\
external_symbolizer_path=$symbolizer"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=4:\
suppressions=$supp_dir/tsan.supp:print_suppressions=0:external_symbolizer_path=$symbolizer"
export QT_QPA_PLATFORM=offscreen

# Line tables are all that the reports need for their file:line stacks; full debug information
# makes the three builds a sixth slower.
common_cmake=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG"
    -DTALLYVIEW_BUILD_BENCH=OFF -DTALLYVIEW_BUILD_EXAMPLES=OFF)
lld="$(command -v ld.lld-14 || command -v ld.lld || true)"
if [ -n "$lld" ]; then
    common_cmake+=("-DCMAKE_EXE_LINKER_FLAGS=--ld-path=$lld"
        "-DCMAKE_SHARED_LINKER_FLAGS=--ld-path=$lld" "-DCMAKE_MODULE_LINKER_FLAGS=--ld-path=$lld")
fi

# ThreadSanitizer's runtime of clang 14 maps its shadow memory at fixed addresses and cannot run
# when the kernel randomises mmap addresses over more than 28 bits; run it without address
# randomisation there.
tsan_runner=()
if [ -r /proc/sys/vm/mmap_rnd_bits ] && [ "$(cat /proc/sys/vm/mmap_rnd_bits)" -gt 28 ]; then
    tsan_runner=(setarch "$(uname -m)" -R)
fi

step_asan() {
    cmake -S "$root" -B "$asan_dir" "${common_cmake[@]}" -DTALLYVIEW_BUILD_TESTS=ON \
        -DTALLYVIEW_SANITIZE="address;undefined" -DTALLYVIEW_FUZZ=OFF >/dev/null || return 1
    cmake --build "$asan_dir" -j"$jobs" || return 1
    # The two runs go side by side: the service's tests mostly wait for locks, kills and steady
    # logging, the others for the window's slow unwinder, so together they keep both cores busy.
    # Each writes to a log of its own, printed whole when both have ended.
    local logs rc=0 service_rc other_rc
    logs="$(mktemp -d "${TMPDIR:-/tmp}/tallyview-asan.XXXXXX")"
    ASAN_OPTIONS="$asan_fast" ctest --test-dir "$asan_dir" -L service --output-on-failure \
        -j"$service_test_jobs" --timeout 600 --no-tests=error >"$logs/service.log" 2>&1 &
    local service_pid=$!
    # The header checks only compile: nothing of theirs runs under the sanitizers. valgrind cannot
    # run an instrumented program (the build leaves that test out; the label keeps it out here).
    # The packaging test checks the packages of a plain build (an instrumented one never ships).
    ASAN_OPTIONS="$asan_full_stacks" ctest --test-dir "$asan_dir" -LE 'service|headers|memcheck|packaging' \
        --output-on-failure -j"$jobs" --timeout 600 --no-tests=error >"$logs/other.log" 2>&1
    other_rc=$?
    wait "$service_pid"
    service_rc=$?
    echo "--- AddressSanitizer: tests labelled \"service\" (exit status $service_rc) ---"
    cat "$logs/service.log"
    echo "--- AddressSanitizer: all other tests but the header checks, valgrind's and packaging (exit status $other_rc) ---"
    cat "$logs/other.log"
    rm -rf "$logs"
    [ $service_rc -eq 0 ] && [ $other_rc -eq 0 ] || rc=1
    return $rc
}

# The tests that ThreadSanitizer runs.
tsan_tests=(-L service -LE robustness)

# Builds only what the log service's tests need (their executables), or everything when their
# executables cannot be told from the test list.
build_service_tests() {
    local -a exes=() targets=()
    mapfile -t exes < <(ctest --test-dir "$tsan_dir" -N -V "${tsan_tests[@]}" 2>/dev/null |
        sed -n 's/^[0-9]*: Test command: \([^ ]*\).*/\1/p' | sort -u)
    local exe
    for exe in "${exes[@]}"; do
        case "$exe" in
        "$tsan_dir"/*) targets+=("$(basename "$exe")") ;;
        esac
    done
    if [ ${#targets[@]} -gt 0 ] &&
        cmake --build "$tsan_dir" -j"$jobs" --target "${targets[@]}"; then
        for exe in "${exes[@]}"; do
            [ -x "$exe" ] || { cmake --build "$tsan_dir" -j"$jobs"; return; }
        done
        return 0
    fi
    cmake --build "$tsan_dir" -j"$jobs"
}

step_tsan() {
    cmake -S "$root" -B "$tsan_dir" "${common_cmake[@]}" -DTALLYVIEW_BUILD_TESTS=ON \
        -DTALLYVIEW_SANITIZE=thread -DTALLYVIEW_FUZZ=OFF >/dev/null || return 1
    build_service_tests || return 1
    "${tsan_runner[@]}" ctest --test-dir "$tsan_dir" "${tsan_tests[@]}" --output-on-failure -j"$jobs" \
        --timeout 600 --no-tests=error
}

step_fuzz() {
    cmake -S "$root" -B "$fuzz_dir" "${common_cmake[@]}" -DTALLYVIEW_BUILD_TESTS=OFF \
        -DTALLYVIEW_FUZZ=ON -DTALLYVIEW_SANITIZE="address;undefined" >/dev/null || return 1
    cmake --build "$fuzz_dir" -j"$jobs" --target fuzz_output_hook || return 1
    local work="$fuzz_dir/fuzz-run"
    rm -rf "$work"
    mkdir -p "$work/artifacts"
    local tmp="${TMPDIR:-/tmp}"
    # The target stores every record in a temporary directory; memory is quicker than disk.
    [ -d /dev/shm ] && [ -w /dev/shm ] && tmp=/dev/shm
    # Each input waits for the log writer's next cycle (it sleeps 10 ms between cycles), so one
    # process keeps a core only about a third busy: the runs are shared among fuzz_procs
    # processes, each with its own random seed and its own scratch corpus (libFuzzer adds what it
    # finds to the first corpus directory; the committed seeds stay as they are).
    local per_proc=$(((fuzz_runs + fuzz_procs - 1) / fuzz_procs))
    echo "fuzz_output_hook: $fuzz_runs runs in $fuzz_procs processes of $per_proc runs"
    local -a pids=()
    local i
    for ((i = 1; i <= fuzz_procs; i++)); do
        mkdir -p "$work/corpus-$i"
        # Plain ASan options here: the slow unwinder would cut the rate of inputs by five.
        TMPDIR="$tmp" \
            ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:external_symbolizer_path=$symbolizer" \
            "$fuzz_dir/fuzz/fuzz_output_hook" -runs="$per_proc" -seed="$i" \
            -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
            "$work/corpus-$i" "$root/fuzz/corpus" >"$work/fuzz-$i.log" 2>&1 &
        pids+=($!)
    done
    local rc=0 status
    for ((i = 1; i <= fuzz_procs; i++)); do
        wait "${pids[$((i - 1))]}"
        status=$?
        echo "--- fuzz process $i: exit status $status ---"
        # The progress lines are many; the outcome and any report are at the end.
        grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)|^[[:space:]]*(NEW_FUNC|"|###)' \
            "$work/fuzz-$i.log" | tail -n 40
        [ $status -eq 0 ] || rc=$status
    done
    if [ $rc -ne 0 ]; then
        echo "fuzz_output_hook failed; the input that failed is in $work/artifacts:" >&2
        ls -l "$work/artifacts" >&2
    fi
    return $rc
}

failed=()
summary=()
start_all=$SECONDS
for step in $steps; do
    case "$step" in
    asan | tsan | fuzz) ;;
    *) echo "unknown step: $step (known: asan tsan fuzz)" >&2; exit 2 ;;
    esac
    echo "=== sanitizers: $step ==="
    start=$SECONDS
    "step_$step"
    rc=$?
    took=$((SECONDS - start))
    if [ $rc -eq 0 ]; then
        summary+=("$step: ok (${took} s)")
    else
        summary+=("$step: FAILED (${took} s)")
        failed+=("$step")
    fi
    echo "=== sanitizers: $step finished with status $rc after ${took} s ==="
done

echo "=== sanitizers summary ($((SECONDS - start_all)) s) ==="
printf '  %s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "sanitizer steps failed: ${failed[*]}" >&2
    exit 1
fi
