# bash completion for zk40: subcommands, their options and job names.
# Installed as /usr/share/bash-completion/completions/zk40; to try it from a
# build, source this file.

_zk40_jobs() {
    local IFS=$'\n'
    COMPREPLY+=($(compgen -W "$(zk40 __names 2>/dev/null | sed 's/[][ \\\$`"'"'"'()&;|<>*?!#~{}]/\\&/g')" -- "$cur"))
}

_zk40() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion -n : || return
    else
        cur="${COMP_WORDS[COMP_CWORD]}"
        prev="${COMP_WORDS[COMP_CWORD-1]}"
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi
    local commands="list show next add edit rename enable disable delete action run log types export import help"
    local schedule="--kind --at --on --interval --window --weekdays --retry --retry-delay"
    if ((cword == 1)); then
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
        return
    fi
    local cmd="${words[1]}"
    # After "--" come the program and its arguments.
    local i
    for ((i = 2; i < cword; i++)); do
        if [[ ${words[i]} == -- ]]; then
            COMPREPLY=($(compgen -c -- "$cur"))
            [[ $i -lt $((cword - 1)) ]] && COMPREPLY=($(compgen -f -- "$cur"))
            return
        fi
    done
    case "$prev" in
        --kind)
            COMPREPLY=($(compgen -W "manually startup once hourly daily weekly monthly yearly every" -- "$cur"))
            return ;;
        --weekdays)
            COMPREPLY=($(compgen -W "mon-fri sat,sun all mon tue wed thu fri sat sun" -- "$cur"))
            return ;;
        --at|--on|--interval|--window|--retry|--retry-delay|--count|--from|--runs|--timeout|--name|--action-name|--type)
            return ;;
    esac
    if [[ $cur == -* ]]; then
        local opts="--help"
        case "$cmd" in
            list) opts+=" --json" ;;
            next) opts+=" $schedule --count --from" ;;
            add) opts+=" $schedule --disabled --action-name --" ;;
            edit) opts+=" $schedule --no-window --name" ;;
            run) opts+=" --wait --timeout" ;;
            log) opts+=" --runs" ;;
            export) opts+=" --force" ;;
            action) opts+=" --name --type --" ;;
        esac
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        return
    fi
    case "$cmd" in
        show|next|edit|rename|enable|disable|delete|run|log)
            # Only the first word names a job (rename's second is new).
            local n=0
            for ((i = 2; i < cword; i++)); do
                [[ ${words[i]} == -* ]] || ((n++))
                [[ ${words[i-1]} == --@(at|on|interval|window|weekdays|retry|retry-delay|count|from|runs|timeout|name|kind) ]] && ((n--))
            done
            case "$cmd" in enable|disable) n=0 ;; esac
            ((n == 0)) && _zk40_jobs ;;
        action)
            if ((cword == 2)); then COMPREPLY=($(compgen -W "add" -- "$cur")); else _zk40_jobs; fi ;;
        export) _zk40_jobs; COMPREPLY+=($(compgen -f -- "$cur")) ;;
        import) COMPREPLY=($(compgen -f -- "$cur")) ;;
        types)
            if ((cword == 2)); then COMPREPLY=($(compgen -W "load unload" -- "$cur")); fi ;;
        help) COMPREPLY=($(compgen -W "$commands" -- "$cur")) ;;
    esac
}
complete -F _zk40 zk40
