#!/usr/bin/env python3
"""What `quellix --attach` costs, against real node processes.

  - the agent's memory: the target's resident size before the attach, its
    peak (VmHWM, reset first) and its size a second after the agent serves
    its control socket, over BENCH_RUNS runs; the peak growth is the figure
    that --attach wants twice of before it sends any signal;
  - the 2 s wait: quellix against an application that handles SIGUSR1
    itself (no inspector ever opens), its CPU time with its children (nft);
  - the watcher left for a blocked main thread: its CPU share while the
    target is blocked, and how soon it closes the inspector that opens
    when the main thread is free.

Each target runs in a network namespace of its own when quellix runs as
root (so that port 9229 is its own); then quellix uses its guard (needs
nft), else --attach=unguarded.

  python3 bench/attach-cost-bench.py [build-dir]     (default: build/)
  BENCH_RUNS=10 (default 10)
  BENCH_BLOCK_S=12 (default 12): how long the blocked target blocks
"""
import ctypes
import os
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
QUELLIX = os.path.join(BUILD, "quellix")
NODE = subprocess.run(["sh", "-c", "command -v node"], stdout=subprocess.PIPE, text=True).stdout.strip()
RUNS = int(os.environ.get("BENCH_RUNS", "10"))
BLOCK_S = int(os.environ.get("BENCH_BLOCK_S", "12"))
ROOT = os.geteuid() == 0
ATTACH = "--attach" if ROOT else "--attach=unguarded"
TICK = os.sysconf("SC_CLK_TCK")

# An idle service: an HTTP server that answers, and a timer.
SERVICE = ("require('http').createServer((q, r) => r.end('ok')).listen(8080, '127.0.0.1');"
           "setInterval(() => {}, 1000); setTimeout(() => process.exit(0), 120000);")
OWN_USR1 = "process.on('SIGUSR1', () => {}); " + SERVICE
BLOCKED = ("setTimeout(() => require('child_process').execSync('sleep %d'), 100);"
           "setTimeout(() => process.exit(0), 120000);" % BLOCK_S)


def wait_for(condition, what, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise SystemExit("timed out waiting for " + what)
        time.sleep(0.005)


def start(script):
    """A node process running script (in a network namespace of its own as
    root), once it runs node."""
    argv = [NODE, "-e", script]
    if ROOT:
        argv = ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$0" "$@"'] + argv
    child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: os.path.realpath("/proc/%d/exe" % child.pid) == os.path.realpath(NODE), "node to start")
    time.sleep(0.5)  # its start-up done
    return child


def stop(child):
    child.kill()
    child.wait()
    for path in ("/tmp/kestrun-uds-path-%d" % child.pid,):
        if os.path.exists(path):
            os.unlink(path)


def status_kb(pid, name):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    return 0


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def attach(pid):
    return subprocess.run([QUELLIX, ATTACH, str(pid)], stdout=subprocess.PIPE, text=True)


def agent_memory():
    peaks, settled = [], []
    for _ in range(RUNS):
        child = start(SERVICE)
        pid = child.pid
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")
        before = status_kb(pid, "VmRSS")
        result = attach(pid)
        if result.returncode != 0:
            stop(child)
            raise SystemExit("attach failed: " + result.stdout)
        wait_for(lambda: os.path.exists("/tmp/kestrun-uds-path-%d" % pid), "the control socket")
        time.sleep(1)
        peaks.append((status_kb(pid, "VmHWM") - before) / 1024)
        settled.append((status_kb(pid, "VmRSS") - before) / 1024)
        stop(child)
    print("agent's memory over %d attaches: peak growth median %.1f MB, max %.1f MB; a second later median %.1f MB"
          % (RUNS, statistics.median(peaks), max(peaks), statistics.median(settled)))


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def two_second_wait():
    times, cpus = [], []
    for _ in range(max(3, RUNS // 2)):
        child = start(OWN_USR1)
        cpu = children_cpu()
        begin = time.monotonic()
        result = attach(child.pid)
        times.append(time.monotonic() - begin)
        cpus.append(children_cpu() - cpu)
        stop(child)
        if "handle SIGUSR1 itself" not in result.stdout:
            raise SystemExit("unexpected: " + result.stdout)
    print("2 s wait (own SIGUSR1 handler): wall median %.2f s; CPU with nft median %.3f s, max %.3f s"
          % (statistics.median(times), statistics.median(cpus), max(cpus)))


def closer():
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_CHILD_SUBREAPER = 36
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    child = start(BLOCKED)
    result = attach(child.pid)
    if "main thread is busy" not in result.stdout:
        stop(child)
        raise SystemExit("unexpected: " + result.stdout)
    # The watcher is this process's child now.
    watcher = wait_for(lambda: [int(p) for p in os.listdir("/proc") if p.isdigit() and p != str(child.pid)
                                and open("/proc/%s/stat" % p).read().rsplit(")", 1)[1].split()[1] == str(os.getpid())
                                and os.path.realpath("/proc/%s/exe" % p) == os.path.realpath(QUELLIX)], "the watcher")[0]
    returned = time.monotonic()
    measured = max(1, BLOCK_S - 4)
    ticks = cpu_ticks(watcher)
    time.sleep(measured)
    share = (cpu_ticks(watcher) - ticks) / TICK / (time.monotonic() - returned)
    # The inspector opens once the main thread is free; the watcher closes it and ends.
    os.waitpid(watcher, 0)
    ended = time.monotonic() - returned
    stop(child)
    print("watcher for a main thread blocked %d s: %.2f%% of a core; it ended %.1f s after quellix returned"
          % (BLOCK_S, share * 100, ended))


if __name__ == "__main__":
    if not os.access(QUELLIX, os.X_OK) or not NODE:
        raise SystemExit("needs %s and node" % QUELLIX)
    print("quellix %s (%s)" % (ATTACH, "guarded, targets in namespaces of their own" if ROOT else "not root"))
    agent_memory()
    two_second_wait()
    closer()
