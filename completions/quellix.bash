# bash completion for quellix                              -*- shell-script -*-
#
# Completes the command options, "--attach", "time=", the pids of running
# kestrun runtimes (in containers too), and in the V8 options form
# ("--v8-options" first) "--pid=<pid>".
# Works with or without the bash-completion package.

# Pids of live processes that serve a control socket.
_quellix_pids()
{
    local sock pid dir line inner
    for sock in /tmp/kestrun-uds-path-*; do
        [[ -S $sock ]] || continue
        pid=${sock#/tmp/kestrun-uds-path-}
        [[ $pid =~ ^[1-9][0-9]{0,9}$ ]] || continue
        # A socket file outlives a runtime that was killed: offer live pids only.
        # kill -0 fails for other users' processes, so look at /proc first.
        if [[ -d /proc/$pid ]] || kill -0 "$pid" 2>/dev/null; then
            printf '%s\n' "$pid"
        fi
    done
    # Runtimes in containers: a process in another mount namespace serves
    # its socket in its own /tmp, named with its pid in its own pid namespace
    # (the last NSpid field). Only processes whose root may be looked at
    # (root, or one's own) cost more than a stat.
    for dir in /proc/[1-9]*; do
        [[ $dir/ns/mnt -ef /proc/self/ns/mnt || ! -d $dir/root/tmp ]] && continue
        inner=${dir#/proc/}
        while read -r line; do
            [[ $line == NSpid:* ]] && { inner=${line##*[[:blank:]]}; break; }
        done <"$dir/status" 2>/dev/null
        [[ -S $dir/root/tmp/kestrun-uds-path-$inner ]] && printf '%s\n' "${dir#/proc/}"
    done
}

_quellix()
{
    local -a args cands
    local cur keep="" pid arg have_pid="" have_time="" have_attach="" v8mode=""
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

    # --attach is quellix's own option in both forms, also before --v8-options.
    [[ ${#args[@]} -gt 2 && ${args[1]} == --v8-options ]] && v8mode=1
    [[ ${#args[@]} -gt 3 && ${args[1]} == --attach && ${args[2]} == --v8-options ]] && v8mode=1
    for arg in "${args[@]:1:${#args[@]}-2}"; do
        case $arg in
            --pid=*) have_pid=1 ;;
            time=*) have_time=1 ;;
            --attach) have_attach=1 ;;
            *) [[ -z $v8mode && $arg =~ ^[0-9]+$ ]] && have_pid=1 ;;
        esac
    done

    if [[ $cur == time=* ]]; then
        cands=()
    elif [[ -n $v8mode ]]; then
        # After --v8-options every other word is a V8 flag, which is free text.
        if [[ $cur == --pid=* || -z $have_pid ]]; then
            for pid in $(_quellix_pids); do cands+=("--pid=$pid"); done
            [[ ${#cands[@]} -eq 0 && $cur != --pid=* ]] && cands+=("--pid=")
        fi
        [[ -z $have_time ]] && cands+=("time=")
        [[ -z $have_attach ]] && cands+=("--attach")
    else
        cands=($opts)
        [[ -z $have_attach ]] && cands+=("--attach")
        [[ ${#args[@]} -gt 2 ]] && cands+=($stops)
        [[ -z $have_time ]] && cands+=("time=")
        [[ -z $have_pid ]] && cands+=($(_quellix_pids))
    fi

    local c
    local -a found=()
    for c in "${cands[@]}"; do
        [[ $c == "$cur"* ]] && found+=("$c")
    done
    # "time=" and "--pid=" are only the start of a word.
    if [[ ${#found[@]} -eq 1 && ${found[0]} == *= ]]; then
        compopt -o nospace 2>/dev/null
    fi
    for c in "${found[@]}"; do
        COMPREPLY+=("${c#"$keep"}")
    done
    return 0
}

complete -F _quellix quellix
