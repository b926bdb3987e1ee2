'use strict';
// Side by side on the same heap, in one run: the time from invoking
// `quellix --heapdump` to a complete heap snapshot file, against the time
// from `kill -USR2` to a complete file with node's own
// --heapsnapshot-signal=SIGUSR2 (a separate process), and the process's peak
// RSS during each, on a quiet machine
// and again while another process keeps a core busy; the load average next
// to each figure (other work on the machine disturbs them). Then the same
// quellix call while the main thread spins in JavaScript (node's signal
// snapshot never comes then), the agent's idle cost (RSS and CPU time over
// BENCH_IDLE_S seconds, against the same app without the agent), and
// quellix's own cost against the C++ test peer (wall time minus the probe
// alone) and its peak RSS.
//
//   node bench/heapdump-bench.js [build-dir]     (default: build/)
//   BENCH_REPEAT=5 BENCH_HEAP_MB=100 BENCH_IDLE_S=10 BENCH_SETTLE_S=20
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const b = require('./bench-lib');

const buildDir = path.resolve(process.argv[2] || path.join(b.root, 'build'));
const QUELLIX = b.quellixBin(buildDir);
const PEER = [path.join(buildDir, 'kestrun_peer'), path.join(buildDir, 'test', 'kestrun_peer')].find((p) => fs.existsSync(p));
const REPEAT = Number(process.env.BENCH_REPEAT || 5);
const HEAP_MB = Number(process.env.BENCH_HEAP_MB || 100);
const IDLE_S = Number(process.env.BENCH_IDLE_S || 10);
// Start-up settles first: the worker's heap is shrunk by a few collections
// in its first ~20 s.
const SETTLE_S = Number(process.env.BENCH_SETTLE_S || 20);
const { sleep, median, now } = b;
const pairs = []; // agent/own ms of each pair, in order

// One snapshot, with the peak RSS and the main thread's CPU time it took:
// { ms, peak, cpu, load }. CPU time is what other work on the machine moves least.
async function snapshot(app, take) {
  b.resetPeak(app.child.pid);
  const before = b.cpuMs(app.child.pid);
  const res = await take();
  return { ms: res.ms, peak: b.memory(app.child.pid).peak, cpu: b.cpuMs(app.child.pid).main - before.main, load: b.load() };
}

// REPEAT snapshots each way, taken in turns: rows for time and peak RSS.
async function sideBySide(label, agentApp, sigApp) {
  const a = [], s = [];
  for (let i = 0; i < REPEAT; i++) {
    a.push(await snapshot(agentApp, () => b.heapdumpByQuellix(buildDir, agentApp)));
    s.push(await snapshot(sigApp, () => b.heapdumpBySignal(sigApp)));
  }
  const ms = (xs) => median(xs.map((x) => x.ms)), peak = (xs) => median(xs.map((x) => x.peak));
  const cpu = (xs) => median(xs.map((x) => x.cpu));
  const loads = [...a, ...s].map((x) => x.load).join(' ');
  const goal = label === 'quiet' ? 1.05 : 1.10;
  // Each pair ran back to back: the median of the pairs' ratios is less
  // moved by other work that comes and goes than the ratio of the medians.
  const ratio = median(a.map((x, i) => x.ms / s[i].ms));
  const rss = median(a.map((x, i) => x.peak / s[i].peak)) - 1;
  pairs.push(`${label}: ${a.map((x, i) => `${x.ms.toFixed(0)}/${s[i].ms.toFixed(0)}`).join(' ')}`);
  return [
    [`heapdump, ${label}: time to a complete file (ms, median)`, ms(a).toFixed(0), ms(s).toFixed(0), `${ratio.toFixed(3)}x`, `<= ${goal}x${ratio <= goal ? '' : ': MISSED'}`, loads],
    [`heapdump, ${label}: main thread CPU time (ms, median)`, cpu(a).toFixed(0), cpu(s).toFixed(0), `${median(a.map((x, i) => x.cpu / s[i].cpu)).toFixed(3)}x`, '', loads],
    [`heapdump, ${label}: peak RSS (MB)`, b.mb(peak(a)), b.mb(peak(s)), `${rss >= 0 ? '+' : ''}${(100 * rss).toFixed(1)}%`, `<= +5%${rss <= 0.05 ? '' : ': MISSED'}`, loads],
  ];
}

async function heapRows() {
  const agentApp = await b.startHeapApp({ mb: HEAP_MB, agent: true });
  const sigApp = await b.startHeapApp({ mb: HEAP_MB, agent: false });
  try {
    const label = `${b.mb(agentApp.heapUsed)} MB heap`;
    const rows = await sideBySide('quiet', agentApp, sigApp);
    const hog = b.cpuHog();
    try {
      rows.push(...await sideBySide('one core busy', agentApp, sigApp));
    } finally {
      hog.kill('SIGKILL');
    }
    return { label, rows };
  } finally {
    await b.stopHeapApp(agentApp);
    await b.stopHeapApp(sigApp);
  }
}

// The main thread spins in JavaScript: quellix --heapdump to a complete file.
async function stuckRow() {
  const app = await b.startHeapApp({ mb: HEAP_MB, agent: true, env: { SPIN: '1' } });
  const q = [];
  try {
    for (let i = 0; i < REPEAT; i++) q.push((await b.heapdumpByQuellix(buildDir, app)).ms);
  } finally {
    await b.stopHeapApp(app);
  }
  return [`heapdump, main thread spinning (ms)`, median(q).toFixed(0), 'never comes', '', '', b.load()];
}

// RSS (kB) and CPU time (ms) of a process, from /proc.
function usage(pid) {
  const rss = Number(/^VmRSS:\s+(\d+) kB$/m.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  const ticks = Number(stat[11]) + Number(stat[12]); // utime, stime
  return { rss, cpuMs: ticks * 1000 / 100 }; // USER_HZ is 100 on Linux
}

// The same idle app with and without the agent, side by side.
async function idleRows() {
  const withAgent = await b.startHeapApp({ mb: 0, agent: true });
  const plain = await b.startHeapApp({ mb: 0, agent: false });
  try {
    const start = [usage(withAgent.child.pid), usage(plain.child.pid)];
    await sleep(SETTLE_S * 1000); // both past their start-up
    const before = [usage(withAgent.child.pid), usage(plain.child.pid)];
    await sleep(IDLE_S * 1000);
    const [a, p] = [usage(withAgent.child.pid), usage(plain.child.pid)];
    const cpuA = a.cpuMs - before[0].cpuMs, cpuP = p.cpuMs - before[1].cpuMs;
    return [
      [`idle ${IDLE_S} s: RSS with agent / without (MiB)`, NaN, `${(a.rss / 1024).toFixed(1)} / ${(p.rss / 1024).toFixed(1)}: +${((a.rss - p.rss) / 1024).toFixed(1)} MiB (goal <= +20)`],
      [`idle ${IDLE_S} s: CPU with agent / without (ms)`, NaN, `${cpuA.toFixed(0)} / ${cpuP.toFixed(0)}: +${(cpuA - cpuP).toFixed(0)} ms (goal <= +50)`],
      [`  the ${SETTLE_S} s before: CPU with agent / without (ms)`, NaN, `${(before[0].cpuMs - start[0].cpuMs).toFixed(0)} / ${(before[1].cpuMs - start[1].cpuMs).toFixed(0)}`],
    ];
  } finally {
    await b.stopHeapApp(withAgent);
    await b.stopHeapApp(plain);
  }
}

// Wall time of a command, median over REPEAT runs.
function wall(cmd, args, env) {
  const times = [];
  for (let i = 0; i < Math.max(REPEAT, 5); i++) {
    const t0 = now();
    const res = spawnSync(cmd, args, { env, encoding: 'utf8' });
    times.push(now() - t0);
    if (res.status !== 0) throw new Error(`${cmd} ${args.join(' ')}: ${res.stdout}${res.stderr}`);
  }
  return median(times);
}

// Peak RSS in kB of one run, from GNU time (quellix, its shell and its probe).
function peakRss(cmd, args, env) {
  if (!fs.existsSync('/usr/bin/time')) return null;
  const res = spawnSync('/usr/bin/time', ['-f', '%M', cmd, ...args], { env, encoding: 'utf8' });
  return Number(res.stderr.trim().split('\n').pop());
}

async function overheadRows() {
  if (!PEER) return [['quellix against the test peer', NaN, `no kestrun_peer in ${buildDir}`]];
  const dir = b.tempDir();
  const peer = spawn(PEER, ['--dir', dir, '--lifetime', '120'], { stdio: 'ignore' });
  try {
    await b.waitFor(() => fs.existsSync(`/tmp/kestrun-uds-path-${peer.pid}`), 'the peer socket', 10000);
    const env = Object.assign({}, process.env);
    delete env.NODE_OPTIONS;
    const total = wall(QUELLIX, ['--force_gc', String(peer.pid)], env);
    // The probe as quellix starts it: the executable itself, no shell.
    const probe = wall(PEER, ['-p', 'process.kestrun'], Object.assign({}, env, { ENABLE_NODE_LOG: 'NO' }));
    const rss = peakRss(QUELLIX, ['--force_gc', String(peer.pid)], env);
    return [
      ['quellix --force_gc against the test peer: wall time', total, ''],
      ['  of which the probe alone (peer -p)', probe, ''],
      ['  quellix own overhead (wall - probe)', total - probe, 'socket, two replies and the kick (the stand-in needs one)'],
      ['quellix peak RSS (with its probe)', NaN, rss === null ? 'no /usr/bin/time' : `${rss} kB`],
    ];
  } finally {
    // SIGTERM: the peer removes its socket on the way out.
    const exited = new Promise((resolve) => peer.once('exit', resolve));
    peer.kill('SIGTERM');
    await exited;
  }
}

function printTable(rows) {
  const width = Math.max(...rows.map((r) => r[0].length));
  console.log(`${'measurement'.padEnd(width)}  ${'median ms'.padStart(10)}  note`);
  console.log('-'.repeat(width + 30));
  for (const [name, ms, note] of rows) {
    console.log(`${name.padEnd(width)}  ${(Number.isNaN(ms) ? '' : ms.toFixed(1)).padStart(10)}  ${note}`);
  }
}

async function main() {
  if (!fs.existsSync(QUELLIX)) throw new Error(`${QUELLIX} not built (cmake --build ${buildDir})`);
  console.log(`node ${process.version}, ${os.cpus().length} cores, ${REPEAT} runs each, build ${buildDir}`);
  const { label, rows } = await heapRows();
  rows.push(await stuckRow());
  console.log(`\nquellix + agent against node's --heapsnapshot-signal, ${label} of small objects; agent/own: the median of the ${REPEAT} back-to-back pairs' ratios (load: 1-minute load average after each run)`);
  b.printTable(rows, ['measurement', 'agent', 'node\'s own', 'agent/own', 'goal', 'load']);
  console.log(`pairs, agent/own ms: ${pairs.join('; ')}`);
  console.log('');
  const other = await idleRows();
  other.push(...await overheadRows());
  printTable(other);
}

b.run(main);
