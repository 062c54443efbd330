# bash completion of tallylog: its commands, each command's options, the categories (numbers,
# English and Chinese names) after --type, the formats, the time words and the files and
# directories where an option takes one. "--since=VALUE" completes as "--since VALUE" does.
# Sourced without the bash-completion package (its _init_completion and _filedir), it reads the
# words itself and completes file names with compgen.

_tallylog()
{
    local cur prev words cword split=false
    if declare -F _init_completion >/dev/null; then
        _init_completion -s || return
    else
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
        cur="${words[cword]}"
        prev="${words[cword - 1]}"
        # bash breaks "--since=y" into "--since" "=" "y" (COMP_WORDBREAKS), a caller may not.
        if [[ "$cur" == --*=* ]]; then
            prev="${cur%%=*}"
            cur="${cur#*=}"
            split=true
        elif [[ "$cur" == = && "$prev" == --* ]]; then
            cur=""
            split=true
        elif [[ "$prev" == = && "${words[cword - 2]}" == --* ]]; then
            prev="${words[cword - 2]}"
            split=true
        fi
    fi
    local files=_filedir
    declare -F _filedir >/dev/null || files=_tallylog_files

    local commands="list follow stats export prune forward"
    local common="--db --no-pager --help"
    local select="--type --grep -g --regex --case-sensitive"
    local range="--day --from --to -S --since -U --until"
    local style="-o --output --format --bom --color --escape --raw"

    # The command: the first word that is not an option or the value of --db.
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case "${words[i]}" in
        --db) ((i++)) ;;
        -*) ;;
        *)
            command="${words[i]}"
            break
            ;;
        esac
    done

    # forward's --to is the receiver's address, not a time.
    [[ "$command" == forward && "$prev" == --to ]] && return

    case "$prev" in
    --db | --cursor-file | --keep-undelivered | --trust | --key | --cert)
        $files
        return
        ;;
    --dir)
        $files -d
        return
        ;;
    --type)
        # A list: complete the part after the last comma.
        local done="" part="$cur"
        if [[ "$cur" == *,* ]]; then
            done="${cur%,*},"
            part="${cur##*,}"
        fi
        local IFS=$'\n'
        COMPREPLY=($(compgen -P "$done" -W $'0\n1\n2\n3\n4\nparam\nuser\nstatus\nalarm\nother\n参数修改记录\n用户使用记录\n系统状态记录\n报警记录\n其他信息' -- "$part"))
        compopt -o nospace
        return
        ;;
    -o | --output | --format)
        case "$command" in
        stats) COMPREPLY=($(compgen -W "text csv json" -- "$cur")) ;;
        export) COMPREPLY=($(compgen -W "window csv json" -- "$cur")) ;;
        *) COMPREPLY=($(compgen -W "text window csv json" -- "$cur")) ;;
        esac
        return
        ;;
    --color)
        COMPREPLY=($(compgen -W "auto always never" -- "$cur"))
        return
        ;;
    --by)
        COMPREPLY=($(compgen -W "hour day" -- "$cur"))
        return
        ;;
    --day)
        COMPREPLY=($(compgen -W "today yesterday -1d -2d -1w $(date +%F 2>/dev/null)" -- "$cur"))
        return
        ;;
    --from | --to | -S | --since | -U | --until | --before)
        COMPREPLY=($(compgen -W "today yesterday now -1h -30min -1d -2d -1w -30d" -- "$cur"))
        return
        ;;
    --grep | -g | --regex | --after-id | --limit | -n | --lines | --identifier | --hostname | --timeout)
        return
        ;;
    esac
    # An option that takes no value, written with one.
    $split && return

    local options
    case "$command" in
    list) options="$common $range --after-id $select --limit -n --lines -r --reverse -f --follow --pending $style" ;;
    follow) options="$common $select -n --lines --cursor-file $style" ;;
    stats) options="$common $range --by -o --output --format --bom" ;;
    export) options="$common --day --type --dir -o --output --format --bom --force" ;;
    prune) options="$common --before --keep-undelivered --yes" ;;
    forward) options="$common --to --cursor-file $select --from --identifier --hostname --trust --key --cert --once --timeout" ;;
    "")
        if [[ "$cur" == -* ]]; then
            COMPREPLY=($(compgen -W "--db --no-pager --help --version" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
        ;;
    *) return ;;
    esac
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
} &&
    complete -F _tallylog tallylog

# File names (-d: directories) for bash without the bash-completion package.
_tallylog_files()
{
    local IFS=$'\n'
    if [[ "$1" == -d ]]; then
        COMPREPLY=($(compgen -d -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
    compopt -o filenames 2>/dev/null
}
