#!/usr/bin/env bash
# Builds quellix and shows it at work on demo/app.js, a small Node.js
# application started with the kestrun agent: a heap snapshot, a 3-second CPU
# profile and a diagnostic report, listed with their sizes.
# QUELLIX_DEMO_KEEP=1 keeps the result directory for a look in DevTools.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLIX_BUILD_DIR:-$root/build}
agent=$root/agent/kestrun-agent.js
results=$(mktemp -d /tmp/quellix-demo.XXXXXX)
app_pid=

cleanup() {
  if [ -n "$app_pid" ]; then
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  if [ "${QUELLIX_DEMO_KEEP:-0}" = 1 ]; then
    echo "results kept in $results"
  else
    rm -rf "$results"
  fi
}
trap cleanup EXIT

# Waits up to $2 seconds for the file $1 to exist.
wait_for_file() {
  local deadline=$((SECONDS + $2))
  until [ -e "$1" ]; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "demo: $1 did not appear within $2 s" >&2
      return 1
    fi
    sleep 0.1
  done
}

# Runs quellix with the agent in its own environment, so that its probe of the
# target's node executable identifies a kestrun runtime; prints its output and
# sets result_path from its line "<prefix>文件路径:<path>".
run_quellix() {
  local prefix=$1 out
  shift
  echo "\$ quellix $*"
  out=$(NODE_OPTIONS="--require $agent" "$build/quellix" "$@")
  printf '%s\n\n' "$out"
  result_path=$(printf '%s\n' "$out" | sed -n "s/^${prefix}文件路径://p")
}

command -v node >/dev/null || { echo "demo: node (version 20) is needed" >&2; exit 1; }
echo "== building quellix in $build"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target quellix -j2 >/dev/null

echo "== starting demo/app.js with the agent, results in $results"
ENABLE_NODE_LOG=YES NODE_LOG_DIR=$results node --require "$agent" "$root/demo/app.js" &
app_pid=$!
deadline=$((SECONDS + 10))
until [ -S "/tmp/kestrun-uds-path-$app_pid" ]; do
  if [ "$SECONDS" -ge "$deadline" ] || ! kill -0 "$app_pid" 2>/dev/null; then
    echo "demo: the app (pid $app_pid) did not open its control socket" >&2
    exit 1
  fi
  sleep 0.1
done
echo "app pid $app_pid"
echo

run_quellix heapdump --heapdump "$app_pid"
heapdump=$result_path
run_quellix Profiling --start_profiling time=3s "$app_pid"
profile=$result_path
run_quellix diagnostic-report --diag_report "$app_pid"
report=$result_path

echo "== waiting for the result files"
wait_for_file "$heapdump" 60
wait_for_file "$report" 30
wait_for_file "$profile" 30
for file in "$heapdump" "$profile" "$report"; do
  printf '%12s bytes  %s\n' "$(wc -c < "$file")" "$file"
done
