# bash completion for quellix                              -*- shell-script -*-
#
# Completes the command options, quellix's own options (--attach,
# --attach=unguarded, --wait, --json, --quiet, -o/--output with a file name,
# --force, --list, --stack), "time=", the pids that "quellix --list" shows
# (the Node.js processes, in containers too), and in the V8 options form
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
    local cur keep="" pid arg have_pid="" have_time="" have_attach="" have_wait="" have_json="" have_stack="" have_command="" v8mode="" own
    local have_output="" have_force="" have_quiet="" path_next=""
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
    # --v8-options, which makes the V8 options form as the first other word;
    # -o and --output take the next word as their path.
    for arg in "${args[@]:1:${#args[@]}-2}"; do
        if [[ -n $path_next ]]; then path_next=""; continue; fi
        case $arg in
            --attach | --attach=unguarded | --wait | --wait=* | --json | --list | --stack | --quiet | --force | --output=*) ;;
            -o | --output) path_next=1 ;;
            --v8-options) v8mode=1; break ;;
            *) break ;;
        esac
    done
    path_next=""
    for arg in "${args[@]:1:${#args[@]}-2}"; do
        if [[ -n $path_next ]]; then path_next=""; continue; fi
        case $arg in
            --pid=*) have_pid=1 ;;
            time=*) have_time=1; have_command=1 ;;
            --attach | --attach=unguarded) have_attach=1 ;;
            --wait | --wait=*) have_wait=1 ;;
            --json) have_json=1 ;;
            --stack) have_stack=1 ;;
            --quiet) have_quiet=1 ;;
            --force) have_force=1 ;;
            --output=*) have_output=1 ;;
            -o | --output) have_output=1; path_next=1 ;;
            --*) have_command=1 ;;
            *) [[ -z $v8mode && $arg =~ ^[0-9]+$ ]] && have_pid=1 ;;
        esac
    done
    # The word after -o or --output is a file name.
    if [[ -n $path_next ]]; then
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
        return 0
    fi
    own=()
    [[ -z $have_attach ]] && own+=("--attach" "--attach=unguarded")
    [[ -z $have_wait ]] && own+=("--wait" "--wait=")
    [[ -z $have_json ]] && own+=("--json")
    [[ -z $have_quiet ]] && own+=("--quiet")
    [[ -z $have_output ]] && own+=("-o" "--output" "--output=")
    [[ -z $have_force ]] && own+=("--force")

    if [[ $cur == time=* ]]; then
        cands=()
    elif [[ $cur == --output=* ]]; then
        compopt -o filenames 2>/dev/null
        cands=()
        for pid in $(compgen -f -- "${cur#--output=}"); do cands+=("--output=$pid"); done
    elif [[ -n $v8mode ]]; then
        # After --v8-options every other word is a V8 flag, which is free text.
        if [[ $cur == --pid=* || -z $have_pid ]]; then
            for pid in $(_quellix_pids "${args[0]}"); do cands+=("--pid=$pid"); done
            [[ ${#cands[@]} -eq 0 && $cur != --pid=* ]] && cands+=("--pid=")
        fi
        [[ -z $have_time ]] && cands+=("time=")
        cands+=("${own[@]}")
    elif [[ -n $have_stack ]]; then
        # --stack takes the pid alone.
        cands=("${own[@]}")
        [[ -z $have_pid ]] && cands+=($(_quellix_pids "${args[0]}"))
    else
        cands=($opts "${own[@]}")
        # --stack takes the pid alone: offered only before any command.
        [[ -z $have_command ]] && cands+=("--stack")
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
    # "time=", "--pid=", "--wait=" and "--output=" are only the start of a word.
    if [[ ${#found[@]} -eq 1 && ${found[0]} == *= ]]; then
        compopt -o nospace 2>/dev/null
    fi
    for c in "${found[@]}"; do
        COMPREPLY+=("${c#"$keep"}")
    done
    return 0
}

complete -F _quellix quellix
