# bash completion for quellix                              -*- shell-script -*-
#
# Completes the command options, quellix's own options (--attach,
# --attach=unguarded, --wait, --json, --list), "time=", the pids that "quellix --list" shows (the
# Node.js processes, in containers too), and in the V8 options form
# ("--v8-options" first) "--pid=<pid>".
# Works with or without the bash-completion package.

# The pids that "quellix --list" shows, asked of the quellix being completed
# (it reads /proc and runs nothing of the targets).
_quellix_pids()
{
    local tool=${1:-quellix} pid rest
    command -v -- "$tool" >/dev/null 2>&1 || return 0
    "$tool" --list 2>/dev/null | while read -r pid rest; do
        [[ $pid =~ ^[1-9][0-9]{0,9}$ ]] && printf '%s\n' "$pid"
    done
}

_quellix()
{
    local -a args cands
    local cur keep="" pid arg have_pid="" have_time="" have_attach="" have_wait="" have_json="" v8mode="" own
    local opts="--heapdump --force_gc --enable_node_log --disable_node_log
        --start_timeline --start_heap_profiling --start_profiling --v8-options
        --print_v8flags --diag_report"
    # Accepted too, to stop by hand what was started without a time limit.
    local stops="--stop_timeline --stop_heap_profiling --stop_profiling
        --stop-v8-options"

    # Take the words from the line itself: bash splits "--pid=12" at '=' in
    # COMP_WORDS, and the tool's arguments never contain blanks.
    if [[ -n ${COMP_LINE-} && -n ${COMP_POINT-} ]]; then
        read -r -a args <<<"${COMP_LINE:0:COMP_POINT}"
        [[ ${COMP_LINE:0:COMP_POINT} == *[[:blank:]] || ${#args[@]} -eq 0 ]] && args+=("")
    else
        args=("${COMP_WORDS[@]:0:COMP_CWORD+1}")
    fi
    cur=${args[${#args[@]}-1]}
    COMPREPLY=()

    # Readline replaces only the text after the last word break; when '='
    # breaks words, the candidates must be cut the same way.
    if [[ -n ${COMP_LINE-} && ${COMP_WORDBREAKS-} == *=* && $cur == *=* ]]; then
        keep=${cur%=*}=
    fi

    # quellix's own options stand anywhere in both forms, also before
    # --v8-options, which makes the V8 options form as the first other word.
    for arg in "${args[@]:1:${#args[@]}-2}"; do
        case $arg in
            --attach | --attach=unguarded | --wait | --wait=* | --json | --list) ;;
            --v8-options) v8mode=1; break ;;
            *) break ;;
        esac
    done
    for arg in "${args[@]:1:${#args[@]}-2}"; do
        case $arg in
            --pid=*) have_pid=1 ;;
            time=*) have_time=1 ;;
            --attach | --attach=unguarded) have_attach=1 ;;
            --wait | --wait=*) have_wait=1 ;;
            --json) have_json=1 ;;
            *) [[ -z $v8mode && $arg =~ ^[0-9]+$ ]] && have_pid=1 ;;
        esac
    done
    own=()
    [[ -z $have_attach ]] && own+=("--attach" "--attach=unguarded")
    [[ -z $have_wait ]] && own+=("--wait" "--wait=")
    [[ -z $have_json ]] && own+=("--json")

    if [[ $cur == time=* ]]; then
        cands=()
    elif [[ -n $v8mode ]]; then
        # After --v8-options every other word is a V8 flag, which is free text.
        if [[ $cur == --pid=* || -z $have_pid ]]; then
            for pid in $(_quellix_pids "${args[0]}"); do cands+=("--pid=$pid"); done
            [[ ${#cands[@]} -eq 0 && $cur != --pid=* ]] && cands+=("--pid=")
        fi
        [[ -z $have_time ]] && cands+=("time=")
        cands+=("${own[@]}")
    else
        cands=($opts "${own[@]}")
        # --list stands alone, or with --json.
        [[ ${#args[@]} -eq 2 ]] && cands+=("--list")
        [[ ${#args[@]} -gt 2 ]] && cands+=($stops)
        [[ -z $have_time ]] && cands+=("time=")
        [[ -z $have_pid ]] && cands+=($(_quellix_pids "${args[0]}"))
    fi

    local c
    local -a found=()
    for c in "${cands[@]}"; do
        [[ $c == "$cur"* ]] && found+=("$c")
    done
    # "time=", "--pid=" and "--wait=" are only the start of a word.
    if [[ ${#found[@]} -eq 1 && ${found[0]} == *= ]]; then
        compopt -o nospace 2>/dev/null
    fi
    for c in "${found[@]}"; do
        COMPREPLY+=("${c#"$keep"}")
    done
    return 0
}

complete -F _quellix quellix
