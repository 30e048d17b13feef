# bash completion for zk40: subcommands, their options and job names.
# Installed as /usr/share/bash-completion/completions/zk40; to try it from a
# build, source this file.

# What the word being typed says once the shell has read it: quotes and
# backslashes taken away, an unclosed quote running to the end.
_zk40_dequote() {
    local in=$1 out= c quote= i
    for ((i = 0; i < ${#in}; i++)); do
        c=${in:i:1}
        if [[ $quote == "'" ]]; then
            if [[ $c == "'" ]]; then quote=; else out+=$c; fi
        elif [[ $quote == '"' ]]; then
            if [[ $c == '"' ]]; then
                quote=
            elif [[ $c == '\' && ${in:i+1:1} == [\$\`\"\\] ]]; then
                out+=${in:i+1:1}
                ((i++))
            else
                out+=$c
            fi
        else
            case $c in
                "'" | '"') quote=$c ;;
                '\') out+=${in:i+1:1}; ((i++)) ;;
                *) out+=$c ;;
            esac
        fi
    done
    printf '%s' "$out"
}

# Job names may hold blanks, quotes and anything else the shell treats
# specially. Each is matched against what the word means, and offered so
# that the shell reads it back as that one name: escaped, or (when the word
# opened a quote) written for the inside of that quote, which the shell
# closes itself.
_zk40_jobs() {
    local typed name open=
    typed=$(_zk40_dequote "$cur")
    case $cur in
        \"*) open=\" ;;
        \'*) open=\' ;;
    esac
    while IFS= read -r name; do
        [[ -n $name && $name == "$typed"* ]] || continue
        case $open in
            \") name=${name//\\/\\\\}; name=${name//\"/\\\"}; name=${name//\$/\\\$}
                name=${name//\`/\\\`}; COMPREPLY+=("$name") ;;
            \') COMPREPLY+=("${name//\'/\'\\\'\'}") ;;
            *) COMPREPLY+=("$(printf '%q' "$name")") ;;
        esac
    done < <(zk40 $_zk40_scope __names 2>/dev/null)
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
    local commands="list show next add edit rename enable disable delete action run log types module export import help"
    local schedule="--kind --at --on --interval --window --weekdays --retry --retry-delay"
    # --system comes before the command; the job names are then the system
    # service's.
    local _zk40_scope=
    if ((cword > 1)) && [[ ${words[1]} == --system ]]; then
        _zk40_scope=--system
        words=("${words[0]}" "${words[@]:2}")
        ((cword--))
    fi
    if ((cword == 1)); then
        local first="$commands --help --version"
        [[ -z $_zk40_scope ]] && first+=" --system"
        COMPREPLY=($(compgen -W "$first" -- "$cur"))
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
            module) opts+=" --timeout" ;;
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
        module)
            if ((cword == 2)); then COMPREPLY=($(compgen -W "install" -- "$cur")); else COMPREPLY=($(compgen -f -- "$cur")); fi ;;
        help) COMPREPLY=($(compgen -W "$commands" -- "$cur")) ;;
    esac
}
complete -F _zk40 zk40
