'use strict';
// Side by side on the same application: the time from invoking
// `quellix --heapdump` to a complete heap snapshot file, against the time from
// `kill -USR2` to a complete file with node's --heapsnapshot-signal=SIGUSR2
// (a separate process: the agent keeps SIGUSR2 for its kick), for a ~100 MB
// heap, and their ratio; the same quellix call while the main thread spins
// in JavaScript (node's signal snapshot never comes then); the agent's idle
// cost (RSS and CPU time over BENCH_IDLE_S seconds, against the same app
// without the agent). Then quellix's own cost against the C++ test peer
// (wall time minus the probe alone) and its peak RSS. Prints a table.
//
//   node bench/heapdump-bench.js [build-dir]     (default: build/)
//   BENCH_REPEAT=3 BENCH_HEAPS_MB=100 BENCH_IDLE_S=10 BENCH_SETTLE_S=20
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn, spawnSync, execFileSync } = require('child_process');

const root = path.resolve(__dirname, '..');
const buildDir = path.resolve(process.argv[2] || path.join(root, 'build'));
const QUELLIX = path.join(buildDir, 'quellix');
const PEER = [path.join(buildDir, 'kestrun_peer'), path.join(buildDir, 'test', 'kestrun_peer')].find((p) => fs.existsSync(p));
const AGENT = path.join(root, 'agent', 'kestrun-agent.js');
const HEAP_APP = path.join(__dirname, 'heap-app.js');
const REPEAT = Number(process.env.BENCH_REPEAT || 3);
const HEAPS_MB = (process.env.BENCH_HEAPS_MB || '100').split(',').map(Number);
const IDLE_S = Number(process.env.BENCH_IDLE_S || 10);
// Start-up settles first: the worker's heap is shrunk by a few collections
// in its first ~20 s.
const SETTLE_S = Number(process.env.BENCH_SETTLE_S || 20);

const started = [];
const tempDirs = [];

function sleep(ms) { return new Promise((resolve) => setTimeout(resolve, ms)); }
function median(xs) { const s = [...xs].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; }
function now() { return Number(process.hrtime.bigint()) / 1e6; }

async function waitFor(cond, what, timeoutMs) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = cond();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(5);
  }
}

function tempDir() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quellix-bench-'));
  tempDirs.push(dir);
  return dir;
}

// Starts the heap app (with the agent, or with node's snapshot signal) and
// waits until it holds its heap.
async function startHeapApp(mb, withAgent, dir, extraEnv = {}) {
  const env = Object.assign({}, process.env, { HEAP_MB: String(mb), NODE_LOG_DIR: dir }, extraEnv);
  delete env.NODE_OPTIONS;
  const args = withAgent ? ['--require', AGENT, HEAP_APP] : ['--heapsnapshot-signal=SIGUSR2', HEAP_APP];
  if (withAgent) env.ENABLE_NODE_LOG = 'YES';
  const child = spawn(process.execPath, args, { cwd: dir, env, stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
  started.push(child);
  const ready = await new Promise((resolve, reject) => {
    child.once('message', resolve);
    child.once('exit', (code) => reject(new Error(`heap app ended with ${code}`)));
  });
  if (withAgent) await waitFor(() => fs.existsSync(`/tmp/kestrun-uds-path-${child.pid}`), 'the control socket', 10000);
  return { child, heapMb: ready.heapUsed / 1048576 };
}

// True while a process still has the file open (node writes its signal
// snapshot in place, so existence alone does not mean complete).
function isOpenBy(pid, file) {
  for (const fd of fs.readdirSync(`/proc/${pid}/fd`)) {
    try { if (fs.readlinkSync(`/proc/${pid}/fd/${fd}`) === file) return true; } catch (_) { /* closed meanwhile */ }
  }
  return false;
}

async function timeQuellix(app) {
  const t0 = now();
  const env = Object.assign({}, process.env, { NODE_OPTIONS: `--require ${AGENT}` });
  const q = spawn(QUELLIX, ['--heapdump', String(app.child.pid)], { env });
  let out = '';
  q.stdout.on('data', (d) => { out += d; });
  const exited = new Promise((resolve) => q.on('exit', (code) => resolve({ code, at: now() })));
  const file = await waitFor(() => (/^heapdump文件路径:(.+)$/m.exec(out) || [])[1], 'the result path', 10000);
  await waitFor(() => fs.existsSync(file), file, 600000); // renamed into place only when complete
  const done = now();
  const exit = await exited;
  if (exit.code !== 0) throw new Error(`quellix failed: ${out}`);
  fs.unlinkSync(file);
  return { total: done - t0, tool: exit.at - t0 };
}

async function timeSignal(app, dir) {
  const t0 = now();
  process.kill(app.child.pid, 'SIGUSR2');
  const file = await waitFor(() => {
    const name = fs.readdirSync(dir).find((f) => f.endsWith('.heapsnapshot'));
    return name && path.join(dir, name);
  }, 'the signal snapshot', 60000);
  await waitFor(() => !isOpenBy(app.child.pid, file), `${file} to be closed`, 600000);
  const done = now();
  fs.unlinkSync(file);
  return { total: done - t0 };
}

// SIGTERM: the agent removes its socket on the way out.
async function stopApp(app) {
  if (app.child.exitCode === null && !app.child.signalCode) {
    const exited = new Promise((resolve) => app.child.once('exit', resolve));
    app.child.kill('SIGTERM');
    await exited;
  }
  try { fs.unlinkSync(`/tmp/kestrun-uds-path-${app.child.pid}`); } catch (_) { /* removed by the agent */ }
}

async function heapRows(mb) {
  const dirA = tempDir(), dirB = tempDir();
  const agentApp = await startHeapApp(mb, true, dirA);
  const sigApp = await startHeapApp(mb, false, dirB);
  const q = [], s = [], tool = [];
  try {
    for (let i = 0; i < REPEAT; i++) {
      const r = await timeQuellix(agentApp);
      q.push(r.total);
      tool.push(r.tool);
      s.push((await timeSignal(sigApp, dirB)).total);
    }
  } finally {
    await stopApp(agentApp);
    await stopApp(sigApp);
  }
  const label = `${agentApp.heapMb.toFixed(0)} MB heap`;
  return [
    [`heapdump, ${label}: quellix --heapdump -> complete file`, median(q), `quellix itself returned after ${median(tool).toFixed(1)} ms`],
    [`heapdump, ${label}: kill -USR2 (--heapsnapshot-signal) -> complete file`, median(s), ''],
    [`  ratio quellix + agent / --heapsnapshot-signal (goal <= 1.10)`, NaN, (median(q) / median(s)).toFixed(3)],
  ];
}

// The main thread spins in JavaScript: quellix --heapdump to a complete file.
async function stuckRows(mb) {
  const app = await startHeapApp(mb, true, tempDir(), { SPIN: '1' });
  const q = [];
  try {
    for (let i = 0; i < REPEAT; i++) q.push((await timeQuellix(app)).total);
  } finally {
    // A terminating signal waits for the spinning main thread: kill it, and
    // remove the socket it cannot remove itself.
    const exited = new Promise((resolve) => app.child.once('exit', resolve));
    app.child.kill('SIGKILL');
    await exited;
    try { fs.unlinkSync(`/tmp/kestrun-uds-path-${app.child.pid}`); } catch (_) { /* already gone */ }
  }
  return [[`heapdump, ${app.heapMb.toFixed(0)} MB heap, main thread spinning: quellix --heapdump -> complete file`, median(q), '']];
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
  const withAgent = await startHeapApp(0, true, tempDir());
  const plain = await startHeapApp(0, false, tempDir());
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
    await stopApp(withAgent);
    await stopApp(plain);
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
  const dir = tempDir();
  const peer = spawn(PEER, ['--dir', dir, '--lifetime', '120'], { stdio: 'ignore' });
  started.push(peer);
  try {
    await waitFor(() => fs.existsSync(`/tmp/kestrun-uds-path-${peer.pid}`), 'the peer socket', 10000);
    const env = Object.assign({}, process.env);
    delete env.NODE_OPTIONS;
    const total = wall(QUELLIX, ['--force_gc', String(peer.pid)], env);
    // The probe exactly as quellix starts it: through the shell.
    const probe = wall('/bin/sh', ['-c', `ENABLE_NODE_LOG=NO ${PEER} -p 'process.kestrun'`], env);
    const rss = peakRss(QUELLIX, ['--force_gc', String(peer.pid)], env);
    return [
      ['quellix --force_gc against the test peer: wall time', total, ''],
      ['  of which the probe alone (sh + peer -p)', probe, ''],
      ['  quellix own overhead (wall - probe)', total - probe, 'socket, two replies and the kick'],
      ['quellix peak RSS (with its shell and probe)', NaN, rss === null ? 'no /usr/bin/time' : `${rss} kB`],
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
  for (const bin of [QUELLIX]) if (!fs.existsSync(bin)) throw new Error(`${bin} not built (cmake --build ${buildDir})`);
  console.log(`node ${process.version}, ${os.cpus().length} cores, ${REPEAT} runs each, build ${buildDir}`);
  const rows = [];
  for (const mb of HEAPS_MB) rows.push(...await heapRows(mb));
  rows.push(...await stuckRows(HEAPS_MB[0]));
  rows.push(...await idleRows());
  rows.push(...await overheadRows());
  printTable(rows);
}

main().catch((err) => { console.error(err.message); process.exitCode = 1; }).finally(() => {
  for (const child of started) if (child.exitCode === null && !child.signalCode) child.kill('SIGKILL');
  for (const dir of tempDirs) fs.rmSync(dir, { recursive: true, force: true });
});
