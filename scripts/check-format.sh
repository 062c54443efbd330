#!/usr/bin/env bash
# Checks that every C++ source file in the repository follows .clang-format; lists the files
# that do not and exits non-zero. Fix them with: clang-format -i <file>...
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh clang-format
mapfile -t files < <(git ls-files '*.cpp' '*.h')
bad=()
for f in "${files[@]}"; do
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
    echo "not formatted by .clang-format:" >&2
    printf '  %s\n' "${bad[@]}" >&2
    exit 1
fi
echo "check-format: ${#files[@]} files follow .clang-format"
