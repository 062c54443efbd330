#!/usr/bin/env bash
# The manual pages render as man renders them (preconv, utf8 device) without a warning, and
# tallylog.1 and the bash completion name every command and option of tallylog's help.
#   check-man-pages.sh SOURCE_DIR TALLYLOG
set -euo pipefail
source_dir="$1"
tallylog="$2"
command -v groff >/dev/null || { echo "groff is not installed (Debian: groff-base)"; exit 77; }
status=0
fail() { echo "FAIL: $*"; status=1; }

for page in "$source_dir"/docs/man/*.[1-8]; do
    said="$(groff -k -ww -z -man -Tutf8 "$page" 2>&1)"
    [ -z "$said" ] || fail "$(basename "$page") renders with warnings:"$'\n'"$said"
done

completion="$source_dir/cli/completion/tallylog.bash"
bash -n "$completion" || fail "the bash completion is not valid bash"
page="$source_dir/docs/man/tallylog.1"
commands="$("$tallylog" --help | sed -n '/^Commands:/,/^$/p' | awk 'NF && !/^Commands:/ {print $1}')"
[ -n "$commands" ] || fail "tallylog --help lists no commands"
for command in $commands; do
    grep -q "^\.B $command\$" "$page" || fail "tallylog.1 does not describe the command $command"
    grep -qw -- "$command" "$completion" || fail "the completion lacks the command $command"
    # Each option of the command's help, by each of its names ("-o, --output, --format <f>").
    options="$("$tallylog" "$command" --help | sed -n '/^Options:/,$p' |
        grep -oE '^  (-[-a-zA-Z?]+(, )?)+' | tr ',' '\n' | tr -d ' ' | grep -v -- '-help-all')"
    for option in $options; do
        grep -qF -- "$(printf '%s' "$option" | sed 's/-/\\-/g')" "$page" ||
            fail "tallylog.1 does not name $command's option $option"
        case "$option" in -h | --help | -v | --version) continue ;; esac
        grep -qE -- "(^|[ \"])$option([ \"]|\$)" "$completion" ||
            fail "the completion does not offer $command's option $option"
    done
done
[ "$status" = 0 ] && echo "manual pages and completion: $(echo $commands | wc -w) commands, every option named"
exit "$status"
