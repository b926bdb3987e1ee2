#!/usr/bin/env python3
"""quellix's own cost: wall time and peak RSS beyond the identification probe.

Against the stand-in runtime of the tests (it answers at once), runs
interleaved
  - `quellix --force_gc <peer pid>` (probe, socket exchange, kick),
  - the probe alone, exactly as quellix starts it: the peer's executable with
    `-p process.kestrun`, ENABLE_NODE_LOG=NO, no shell, its output read from
    a pipe, and
  - `quellix --version` (start-up and exit only, no probe),
  - `quellix --list` over the machine's processes, with BENCH_LIST_EXTRA
    (default 300) more sleeping processes started for it, so that it looks
    at a few hundred,
and prints the median and quartiles of each, quellix's own cost (the median
of the pairwise differences between a quellix run and the probe run next to
it) and the peak resident set sizes.

Each run is started and timed by bench/run-once.c, compiled here with cc. The
kernel's peak RSS of a quellix run is the larger of quellix's own and its
probe's (a reaped child is folded into its parent's figure), so quellix's own
peak is read separately, from its VmHWM as it exits, in traced runs that are
not timed.

  python3 bench/own-cost-bench.py [build-dir]     (default: build/)
  BENCH_RUNS=300 (default 200)
  BENCH_LIST_EXTRA=300 (default 300)
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
QUELLIX = os.path.join(BUILD, "quellix")
PEER = os.path.join(BUILD, "test", "kestrun_peer")
RUNS = int(os.environ.get("BENCH_RUNS", "200"))
LIST_EXTRA = int(os.environ.get("BENCH_LIST_EXTRA", "300"))
WARMUP = 10
OWN_RSS_RUNS = 20


def build_runner(directory):
    runner = os.path.join(directory, "run-once")
    source = os.path.join(HERE, "run-once.c")
    # Static where libc.a is there: the runner's own pages stay out of the figures.
    for flags in (["-static"], []):
        if subprocess.run(["cc", "-O2", *flags, "-o", runner, source], stderr=subprocess.DEVNULL).returncode == 0:
            return runner
    raise SystemExit("cannot compile %s with cc" % source)


def run_once(runner, argv, env, mode=None):
    """(wall ms, exit status, peak RSS KiB) of one run of argv; mode is
    run-once's --read or --own-rss, or None."""
    out = subprocess.run([runner, *([mode] if mode else []), *argv], env=env,
                         stdout=subprocess.PIPE, check=True).stdout.split()
    return float(out[0]), int(out[1]), int(out[2])


def start_peer(directory):
    pid = os.posix_spawn(PEER, [PEER, "--dir", directory, "--lifetime", "600"], dict(os.environ))
    socket_path = "/tmp/kestrun-uds-path-%d" % pid
    deadline = time.monotonic() + 5
    while not os.path.exists(socket_path):
        if time.monotonic() > deadline:
            raise SystemExit("the stand-in runtime did not listen within 5 s")
        time.sleep(0.005)
    return pid


def summary(name, times, rss, own):
    q1, _, q3 = statistics.quantiles(times, n=4)
    print("%-30s %6.2f ms  %6.2f .. %6.2f ms  %6d KiB  %s"
          % (name, statistics.median(times), q1, q3, max(rss), "%6d KiB" % max(own) if own else "     (same)"))


def main():
    for path in (QUELLIX, PEER):
        if not os.access(path, os.X_OK):
            raise SystemExit("missing %s: build first (cmake --build %s)" % (path, BUILD))
    env = {k: v for k, v in os.environ.items() if k not in ("PEER_PROBE", "PEER_PROBE_RECORD", "NODE_OPTIONS")}
    env["NODE_LOG_DIR"] = tempfile.gettempdir()
    probe_env = dict(env, ENABLE_NODE_LOG="NO")
    with tempfile.TemporaryDirectory(prefix="quellix-bench-") as directory:
        runner = build_runner(directory)
        peer = start_peer(directory)
        sleepers = [subprocess.Popen(["sleep", "3600"]) for _ in range(LIST_EXTRA)]
        processes = sum(1 for name in os.listdir("/proc") if name.isdigit())
        try:
            rows = (("quellix --force_gc <peer>", [QUELLIX, "--force_gc", str(peer)], env, None),
                    ("probe alone", [PEER, "-p", "process.kestrun"], probe_env, "--read"),
                    ("quellix --version (no probe)", [QUELLIX, "--version"], env, None),
                    ("quellix --list (%d processes)" % processes, [QUELLIX, "--list"], env, None))
            results = [([], [], []) for _ in rows]
            for i in range(WARMUP + RUNS):
                for (name, argv, run_env, mode), (times, rss, _) in zip(rows, results):
                    elapsed, code, peak = run_once(runner, argv, run_env, mode)
                    if code != 0 and argv[1] == "--force_gc":
                        raise SystemExit("%s exited with %d" % (name, code))
                    if i >= WARMUP:
                        times.append(elapsed)
                        rss.append(peak)
            for _ in range(OWN_RSS_RUNS):
                for (name, argv, run_env, mode), (_, _, own) in zip(rows, results):
                    if argv[0] == QUELLIX:
                        own.append(run_once(runner, argv, run_env, "--own-rss")[2])
        finally:
            os.kill(peer, 15)
            os.waitpid(peer, 0)
            for sleeper in sleepers:
                sleeper.kill()
                sleeper.wait()
    print("%s against %s, %d interleaved runs each (load %s)"
          % (QUELLIX, PEER, RUNS, open("/proc/loadavg").read().split()[0]))
    print("%-30s %9s  %19s  %10s  %s" % ("", "median", "quartiles", "peak RSS", "own peak RSS"))
    for (name, *_), (times, rss, own) in zip(rows, results):
        summary(name, times, rss, own)
    own = [t - p for t, p in zip(results[0][0], results[1][0])]
    print("quellix's own cost beyond the probe: median %.2f ms" % statistics.median(own))


if __name__ == "__main__":
    main()
