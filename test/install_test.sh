#!/usr/bin/env bash
# Installs quellix and checks what an operator gets.
#
#   install_test.sh BUILD_DIR SOURCE_DIR
#       cmake --install into a temporary prefix: every file is there and
#       nothing else, the installed binary prints the usage text, the man
#       page renders without warnings, the bash (and, where zsh is, the zsh)
#       completion offers the commands, time= and live runtime pids (one
#       of them in a container, where namespaces can be made).
#   install_test.sh --deb BUILD_DIR SOURCE_DIR
#       cpack -G DEB, dpkg -i, run quellix from the package, dpkg -r: every
#       file of the package is gone again. Needs root and dpkg; refuses to
#       touch a quellix package that is already installed.
#
# Exit 0 when every check passed, 77 when the whole test had to be skipped,
# 1 otherwise.
set -euo pipefail

mode=layout
if [[ ${1-} == --deb ]]; then
    mode=deb
    shift
fi
if [[ $# -ne 2 ]]; then
    echo "usage: $0 [--deb] BUILD_DIR SOURCE_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)

passed=0
failed=0
skipped=0
ok() { passed=$((passed + 1)); echo "ok - $1"; }
not_ok() {
    failed=$((failed + 1))
    echo "not ok - $1"
    if [[ $# -gt 1 ]]; then printf '%s\n' "$2" | sed 's/^/    /'; fi
}
skip() { skipped=$((skipped + 1)); echo "skip - $1"; }
# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() {
    local what=$1
    shift
    if "$@"; then ok "$what"; else not_ok "$what"; fi
}
# same DESCRIPTION EXPECTED ACTUAL
same() {
    if [[ $2 == "$3" ]]; then
        ok "$1"
    else
        not_ok "$1" "$(diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") || true)"
    fi
}
finish() {
    echo "$passed passed, $failed failed, $skipped skipped"
    [[ $failed -eq 0 ]]
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/quellix-install.XXXXXX")
sleeper=""
plain_node=""
contained=""
contained_unshare=""
sockets=()
deb_installed=""
cleanup() {
    # A test stopped half way must not leave its package on the machine.
    if [[ -n $deb_installed ]]; then dpkg -P quellix >/dev/null 2>&1 || true; fi
    if [[ -n $sleeper ]]; then
        kill "$sleeper" 2>/dev/null || true
        wait "$sleeper" 2>/dev/null || true
    fi
    if [[ -n $plain_node ]]; then
        kill "$plain_node" 2>/dev/null || true
        wait "$plain_node" 2>/dev/null || true
        rm -f "/tmp/kestrun-uds-path-$plain_node"
    fi
    if [[ -n $contained_unshare ]]; then
        if [[ -n $contained ]]; then kill -KILL "$contained" 2>/dev/null || true; fi
        # Its child goes with it (--kill-child), also when it was never found.
        kill "$contained_unshare" 2>/dev/null || true
        wait "$contained_unshare" 2>/dev/null || true
    fi
    if [[ ${#sockets[@]} -gt 0 ]]; then rm -f "${sockets[@]}"; fi
    rm -rf "$tmp"
}
trap cleanup EXIT

usage_text='Usage:
quellix <options> node_pid OR
quellix --v8-options  <options> [time=99h99m99s] --pid=<kestrun_pid>
    --heapdump
    --force_gc
    --enable_node_log
    --disable_node_log
    --start_timeline
    --start_heap_profiling
    --start_profiling
    --v8-options
    --print_v8flags
    --diag_report
    time=99h99m99s
** Signal will be sent to the specified node instance only.'
# The command options that the usage text lists, in its order.
usage_options=$(printf '%s\n' "$usage_text" | sed -n 's/^    \(--[a-z0-9_-]*\)$/\1/p')

# check_usage BINARY: run without arguments, prints the usage text, exit 1.
check_usage() {
    local out status=0
    out=$(timeout 10 "$1") || status=$?
    same "$1 without arguments prints the usage text" "$usage_text" "$out"
    same "$1 without arguments exits with status 1" 1 "$status"
}

# Files that an install must put under the prefix, relative to it; the
# package carries the zsh completion where Debian's zsh looks.
# expected_files [zsh-directory]
expected_files() {
    printf '%s\n' bin/quellix share/man/man1/quellix.1 \
        share/bash-completion/completions/quellix \
        "share/zsh/${1:-site-functions}/_quellix"
    if [[ -f $src/agent/kestrun-agent.js ]]; then
        printf 'share/quellix/%s\n' kestrun-agent.js package.json README.md
        (cd "$src/agent" && printf 'share/quellix/%s\n' lib/*.js)
    fi
}

# Runs one completion in a clean bash: COMPREPLY, one entry a line.
# bash_complete CWORD WORD... [-- COMP_LINE]
bash_complete() {
    local script=$1
    shift
    bash --norc --noprofile -c '
        script=$1; cword=$2; shift 2
        words=(); line=""; have_line=""
        while [[ $# -gt 0 ]]; do
            if [[ $1 == -- ]]; then have_line=1; line=$2; break; fi
            words+=("$1"); shift
        done
        source "$script" || exit 3
        COMP_WORDS=("${words[@]}"); COMP_CWORD=$cword
        if [[ -n $have_line ]]; then COMP_LINE=$line; COMP_POINT=${#line}; fi
        COMPREPLY=()
        _quellix quellix "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}" || exit 4
        [[ ${#COMPREPLY[@]} -eq 0 ]] || printf "%s\n" "${COMPREPLY[@]}"
    ' bash "$script" "$@"
}

# has_line TEXT LINE: LINE is one of the lines of TEXT.
has_line() { grep -qxF -- "$2" <<<"$1"; }

# Leaves a socket file at $1 (its maker ends at once, the file stays).
make_socket() {
    rm -f "$1"
    perl -MIO::Socket::UNIX -e \
        'IO::Socket::UNIX->new(Type => SOCK_STREAM(), Local => $ARGV[0], Listen => 1) or die "$ARGV[0]: $!\n"' \
        "$1"
}

# Starts the stand-in runtime of the tests, which ends by itself and serves
# its control socket, so that "quellix --list" shows it and the completions
# offer its pid.
start_fake_runtime() {
    mkdir -p "$tmp/peer"
    "$build/test/kestrun_peer" --dir "$tmp/peer" --lifetime 120 --bind-dir &
    sleeper=$!
    fake_sock=/tmp/kestrun-uds-path-$sleeper
    sockets+=("$fake_sock")
    local i
    for ((i = 0; i < 500; i++)); do
        [[ -S $fake_sock ]] && break
        sleep 0.01
    done
    # A socket left behind by a process that has ended.
    sleep 0 &
    local gone=$!
    wait "$gone" || true
    stale_pid=$gone
    stale_sock=/tmp/kestrun-uds-path-$stale_pid
    sockets+=("$stale_sock")
    make_socket "$stale_sock"
}

# Starts the stand-in runtime in a pid and mount namespace of its own, with
# its control socket in its own /tmp: a runtime in a container as the host
# sees it. Its program is copied in before the container's /tmp goes on
# (the build tree may lie under /tmp). Sets contained to its pid here;
# leaves it empty where namespaces cannot be made.
start_contained_runtime() {
    unshare --pid --mount --fork --mount-proc true 2>/dev/null || return 0
    mkdir -p "$tmp/stage"
    unshare --pid --mount --fork --kill-child --mount-proc bash -c '
        mount -t tmpfs tmpfs "$1" && cp "$2" "$1/kestrun_peer" && mkdir "$1/d" && mount --move "$1" /tmp &&
        exec /tmp/kestrun_peer --dir /tmp/d --lifetime 120 --bind-dir' bash "$tmp/stage" "$build/test/kestrun_peer" 2>/dev/null &
    contained_unshare=$!
    local i child
    for ((i = 0; i < 500; i++)); do
        child=$(cat "/proc/$contained_unshare/task/$contained_unshare/children" 2>/dev/null) || true
        child=${child// /}
        if [[ -n $child && $(readlink "/proc/$child/exe") == */kestrun_peer && -S /proc/$child/root/tmp/kestrun-uds-path-1 ]]; then
            contained=$child
            return 0
        fi
        sleep 0.01
    done
}

# What a shell offers for the first word: every option of the usage text,
# time=, quellix's own options, and the live runtime's pid, but not the pid of
# a socket left behind.
check_first_word() {
    local shell=$1 out=$2 missing="" line
    for line in $usage_options time= --attach --attach=unguarded --wait --json --list --stack; do
        has_line "$out" "$line" || missing+=" $line"
    done
    same "$shell: first word offers every option of the usage text and time=" "" "$missing"
    check "$shell: first word offers the live runtime pid" has_line "$out" "$sleeper"
    if [[ -n $contained ]]; then
        check "$shell: first word offers the pid of a runtime in a container" has_line "$out" "$contained"
    else
        skip "$shell: runtime in a container: unshare is not permitted here"
    fi
    if has_line "$out" "$stale_pid"; then
        not_ok "$shell: a socket of an ended process is not offered" "$out"
    else
        ok "$shell: a socket of an ended process is not offered"
    fi
}

check_bash_completion() {
    local script=$1 out line
    if ! bash --norc --noprofile -c 'source "$1" && complete -p quellix' bash "$script" \
        | grep -q -- '-F _quellix quellix$'; then
        not_ok "bash completion registers _quellix for quellix"
        return
    fi
    ok "bash completion registers _quellix for quellix"

    check_first_word bash "$(bash_complete "$script" 1 quellix "")"

    same "bash: --hea completes to --heapdump" "--heapdump" \
        "$(bash_complete "$script" 1 quellix --hea)"
    same "bash: --start_p completes to --start_profiling" "--start_profiling" \
        "$(bash_complete "$script" 1 quellix --start_p)"
    same "bash: ti completes to time=" "time=" \
        "$(bash_complete "$script" 2 quellix --heapdump ti)"
    same "bash: --att completes to --attach and --attach=unguarded" "$(printf '%s\n' --attach --attach=unguarded)" \
        "$(bash_complete "$script" 1 quellix --att)"
    same "bash: --attach is offered once" "" \
        "$(bash_complete "$script" 2 quellix --attach --att)"
    same "bash: --attach=unguarded is offered once" "" \
        "$(bash_complete "$script" 2 quellix --attach=unguarded --att)"
    out=$(bash_complete "$script" 3 quellix --attach=unguarded --v8-options "")
    check "bash: --attach=unguarded before --v8-options keeps the V8 options form" has_line "$out" "--pid=$sleeper"
    out=$(bash_complete "$script" 3 quellix --attach --v8-options "")
    check "bash: --attach before --v8-options keeps the V8 options form" has_line "$out" "--pid=$sleeper"
    same "bash: --wa completes to --wait and --wait=" "$(printf '%s\n' --wait --wait=)" \
        "$(bash_complete "$script" 1 quellix --wa)"
    out=$(bash_complete "$script" 4 quellix --json --wait=30 --v8-options "")
    check "bash: --json and --wait= before --v8-options keep the V8 options form" has_line "$out" "--pid=$sleeper"
    same "bash: --list only as the first word" "" "$(bash_complete "$script" 2 quellix --heapdump --li)"

    out=$(bash_complete "$script" 2 quellix --heapdump "$sleeper")
    check "bash: the pid after a command" has_line "$out" "$sleeper"
    out=$(bash_complete "$script" 3 quellix --heapdump "$sleeper" "")
    if has_line "$out" "$sleeper"; then
        not_ok "bash: no second pid once one is given" "$out"
    else
        ok "bash: no second pid once one is given"
    fi

    out=$(bash_complete "$script" 2 quellix --v8-options "")
    check "bash: after --v8-options offers --pid=<live pid>" has_line "$out" "--pid=$sleeper"
    check "bash: after --v8-options offers time=" has_line "$out" "time="
    if has_line "$out" "--heapdump"; then
        not_ok "bash: after --v8-options the command table does not apply" "$out"
    else
        ok "bash: after --v8-options the command table does not apply"
    fi
    out=$(bash_complete "$script" 2 quellix --v8-options --pid=)
    check "bash: --pid= completes the live pid" has_line "$out" "--pid=$sleeper"
    if has_line "$out" "--pid=$stale_pid"; then
        not_ok "bash: --pid= leaves out ended processes" "$out"
    else
        ok "bash: --pid= leaves out ended processes"
    fi
    # As bash calls it: '=' breaks words, and only the text after it is replaced.
    out=$(bash_complete "$script" 4 quellix --v8-options --trace_gc --pid = \
        -- "quellix --v8-options --trace_gc --pid=")
    check "bash: --pid= as split by readline completes to the bare pid" has_line "$out" "$sleeper"
    out=$(bash_complete "$script" 2 quellix --heapdump --pid=)
    same "bash: --pid= is no option of the command form" "" "$out"
}

# Drives an interactive zsh in a pseudo terminal and prints what the
# completion system offers for LINE, one match a line.
# zsh_complete FPATH_DIR LINE
zsh_complete() {
    local driver=$tmp/zsh_complete.zsh
    cat >"$driver" <<'ZSH'
zmodload zsh/zpty || exit 2
zpty z zsh -f -i
zpty -w z "PROMPT='ZL''E> '; fpath=($1 \$fpath); autoload -Uz compinit; compinit -u -D"
# Report each match as it is added (and each message), then add it.
zpty -w z 'compadd() { if [[ ${@[1,(i)(-|--)]} == *-(O|A|D)\ * ]]; then builtin compadd "$@"; return; fi; local -a h; builtin compadd -A h "$@"; local x; for x in $h; do print -r -- "<<${IPREFIX}${x}>>"; done; builtin compadd "$@"; }'
zpty -w z '_message() { print -r -- "<<MSG>>"; }'
# The quotes keep the echo of the command line from matching.
zpty -w z 'zstyle ":completion:*" menu no; print -r -- RE""ADY'
# Typed only once the line editor reads again (its prompt is out): what is
# typed before may be taken before completion is ready.
zpty -r -m z junk '*READY*ZLE> *' || exit 3
zpty -n -w z "$2"$'\t'
zpty -w z $'\C-u''print -r -- DO""NE'
zpty -r -m z out '*DONE*' || exit 3
zpty -d z
print -r -- "$out" | grep -ao '<<[^>]*>>' | sed 's/^<<//; s/>>$//' | sort -u
ZSH
    timeout 30 zsh -f "$driver" "$1" "$2"
}

check_zsh_completion() {
    local dir=$1 out
    check_first_word zsh "$(zsh_complete "$dir" "quellix ")"
    out=$(zsh_complete "$dir" "quellix --hea") || true
    same "zsh: --hea completes to --heapdump" "--heapdump" "$out"
    out=$(zsh_complete "$dir" "quellix --att") || true
    same "zsh: --att completes to --attach and --attach=unguarded" "$(printf '%s\n' --attach --attach=unguarded)" "$out"
    out=$(zsh_complete "$dir" "quellix --attach=unguarded --att") || true
    same "zsh: --attach=unguarded is offered once" "" "$out"
    out=$(zsh_complete "$dir" "quellix --v8-options --trace_gc ") || true
    check "zsh: after --v8-options offers --pid=" has_line "$out" "--pid="
    if has_line "$out" "--heapdump"; then
        not_ok "zsh: after --v8-options the command table does not apply" "$out"
    else
        ok "zsh: after --v8-options the command table does not apply"
    fi
    out=$(zsh_complete "$dir" "quellix --v8-options --pid=") || true
    check "zsh: --pid= completes the live pid" has_line "$out" "--pid=$sleeper"
}

check_man_page() {
    local page=$1 mandir=$2 warnings rendered opt
    if ! command -v man >/dev/null; then
        skip "man page checks: man is not installed (apt-get install man-db)"
        return
    fi
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || true
    same "man page renders without warnings" "" "$warnings"
    rendered=$(MANWIDTH=80 man -l "$page" 2>/dev/null | sed 's/.\x08//g' || true)
    local missing=""
    for opt in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES; do
        grep -q "^$opt\$" <<<"$rendered" || missing+=" [$opt]"
    done
    for opt in $usage_options time= --pid= --stop_profiling /tmp/kestrun-uds-path- \
        NODE_LOG_DIR heapdump-pid-stamp.heapsnapshot 5400 --attach --attach=unguarded ATTACH napi_module_register \
        --wait --json --list "WAITING FOR THE RESULT" --stack STACK; do
        grep -qF -- "$opt" <<<"$rendered" || missing+=" $opt"
    done
    same "man page documents the sections, every option, the socket and the log directory" \
        "" "$missing"
    local found
    found=$(MANPATH=$mandir man -w quellix 2>/dev/null || true)
    same "man finds the page under the installed prefix" "$page" "$found"
}

# check_attach BINARY: the installed binary carries the agent's build and
# loads it into a plain node, started without anything (on a free port of
# its own for the inspector, so that concurrent runs never meet on 9229).
# Unguarded: the guard is tested on its own, in namespaces of its tests,
# and no table of this test is to touch the machine's own namespace.
check_attach() {
    local node out port
    node=$(command -v node) || { skip "$1 --attach: node is not installed"; return; }
    port=$("$node" -e "const s = require('net').createServer().listen(0, '127.0.0.1', () => { console.log(s.address().port); s.close(); })")
    NODE_OPTIONS="--inspect-port=$port" "$node" -e 'setTimeout(() => {}, 60000)' 2>/dev/null &
    plain_node=$!
    local i
    for ((i = 0; i < 500; i++)); do
        [[ $(readlink "/proc/$plain_node/exe") == "$(readlink -f "$node")" ]] && grep -q 'SigCgt:.*[2367abef]..$' "/proc/$plain_node/status" 2>/dev/null && break
        sleep 0.01
    done
    out=$(env -u NODE_OPTIONS timeout 20 "$1" --attach=unguarded "$plain_node" 2>&1) || true
    check "$1 --attach loads the agent into a plain node" \
        grep -qE "^Agent loaded into pid $plain_node; its inspector was open for [0-9]+ ms\.$" <<<"$out"
    kill "$plain_node" 2>/dev/null || true
    wait "$plain_node" 2>/dev/null || true
    plain_node=""
}

run_layout() {
    local prefix=$tmp/prefix log
    if ! log=$(cmake --install "$build" --prefix "$prefix" 2>&1); then
        not_ok "cmake --install into a temporary prefix" "$log"
        finish
        return
    fi
    ok "cmake --install into a temporary prefix"

    local actual
    actual=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
    same "installed files are exactly the expected ones" \
        "$(expected_files | LC_ALL=C sort)" "$actual"
    check "bin/quellix is executable" test -x "$prefix/bin/quellix"
    if [[ -f $src/agent/kestrun-agent.js ]]; then
        check "the agent is installed unchanged" \
            cmp -s "$src/agent/kestrun-agent.js" "$prefix/share/quellix/kestrun-agent.js"
    else
        skip "agent: agent/kestrun-agent.js is not in the source tree"
    fi
    check_usage "$prefix/bin/quellix"
    check_attach "$prefix/bin/quellix"
    check_man_page "$prefix/share/man/man1/quellix.1" "$prefix/share/man"

    start_fake_runtime
    start_contained_runtime
    # The completions ask the installed quellix for the pids.
    PATH=$prefix/bin:$PATH
    check_bash_completion "$prefix/share/bash-completion/completions/quellix"
    if command -v zsh >/dev/null; then
        check "zsh completion parses" zsh -n "$prefix/share/zsh/site-functions/_quellix"
        check_zsh_completion "$prefix/share/zsh/site-functions"
    else
        skip "zsh completion: zsh is not installed (apt-get install zsh)"
    fi
    finish
}

run_deb() {
    if [[ $(id -u) -ne 0 ]] || ! command -v dpkg >/dev/null; then
        echo "skip: the package test needs root and dpkg"
        exit 77
    fi
    if [[ $(dpkg-query -W -f '${Status}' quellix 2>/dev/null || true) == *" installed" ]]; then
        echo "skip: a quellix package is installed already; not touching it"
        exit 77
    fi
    local log deb
    # Packaging stays in the temporary directory, out of the build tree.
    if ! log=$(cd "$tmp" && cpack -G DEB -B "$tmp/pkg" --config "$build/CPackConfig.cmake" 2>&1); then
        not_ok "cpack -G DEB builds a package" "$log"
        finish
        return
    fi
    deb=$(find "$tmp/pkg" -maxdepth 1 -name 'quellix_*.deb' | head -n 1)
    if [[ -z $deb ]]; then
        not_ok "cpack -G DEB builds a package" "$log"
        finish
        return
    fi
    ok "cpack -G DEB builds $(basename "$deb")"

    local field
    for field in Package Version Section Maintainer Description Depends; do
        if [[ -n $(dpkg-deb -f "$deb" "$field") ]]; then
            ok "package field $field is set"
        else
            not_ok "package field $field is set" "$(dpkg-deb -I "$deb")"
        fi
    done
    same "package name" quellix "$(dpkg-deb -f "$deb" Package)"
    check "Depends (from dpkg-shlibdeps) names libc6" \
        grep -q 'libc6' <<<"$(dpkg-deb -f "$deb" Depends)"
    same "Recommends nftables, for the guard of --attach" nftables "$(dpkg-deb -f "$deb" Recommends)"

    local files
    files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sed 's|^\./|/|' | LC_ALL=C sort)
    same "package holds exactly the installed files under /usr" \
        "$(expected_files vendor-completions | sed 's|^|/usr/|' | LC_ALL=C sort)" "$files"

    deb_installed=1
    if ! log=$(dpkg -i "$deb" 2>&1); then
        not_ok "dpkg -i installs the package" "$log"
        dpkg -r quellix >/dev/null 2>&1 || true
        finish
        return
    fi
    ok "dpkg -i installs the package"
    check_usage /usr/bin/quellix
    check_attach /usr/bin/quellix
    same "man -w quellix finds the packaged page" /usr/share/man/man1/quellix.1 \
        "$(env -u MANPATH man -w quellix 2>/dev/null || true)"
    local loader=/usr/share/bash-completion/bash_completion
    if [[ -r $loader ]]; then
        same "bash-completion loads the packaged completion on demand" "-F _quellix" \
            "$(bash --norc --noprofile -c 'source "$1" >/dev/null 2>&1; _completion_loader quellix >/dev/null 2>&1; complete -p quellix' bash "$loader" 2>&1 | grep -o -- '-F _quellix' || true)"
    else
        skip "packaged bash completion: bash-completion is not installed (apt-get install bash-completion)"
    fi
    if command -v zsh >/dev/null; then
        check "zsh finds the packaged completion without any setup" \
            zsh -f -c '(( ${fpath[(Ie)/usr/share/zsh/vendor-completions]} ))'
        same "zsh completes --hea to --heapdump from the package" "--heapdump" \
            "$(zsh_complete "" "quellix --hea" || true)"
    else
        skip "packaged zsh completion: zsh is not installed (apt-get install zsh)"
    fi

    if ! log=$(dpkg -r quellix 2>&1); then
        not_ok "dpkg -r removes the package" "$log"
        finish
        return
    fi
    ok "dpkg -r removes the package"
    deb_installed=""
    local left="" f
    while IFS= read -r f; do
        [[ -e $f || -L $f ]] && left+=" $f"
    done <<<"$files"
    same "no file of the package is left after dpkg -r" "" "$left"
    if [[ -d /usr/share/quellix ]]; then
        not_ok "the package's own directory /usr/share/quellix is gone"
    else
        ok "the package's own directory /usr/share/quellix is gone"
    fi
    dpkg -P quellix >/dev/null 2>&1 || true
    finish
}

if [[ $mode == deb ]]; then run_deb; else run_layout; fi
