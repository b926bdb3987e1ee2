'use strict';
// What the heap snapshot benchmarks share: the heap app with the agent or
// with node's own snapshot signal, snapshots taken both ways and timed,
// resident and peak memory from /proc, the load average, and cleanup.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn } = require('child_process');
const { agentMarks, exchange } = require('../agent/harness/control-client');

const root = path.resolve(__dirname, '..');
// BENCH_AGENT: another copy of the agent to measure (an older one, say).
const AGENT = path.resolve(process.env.BENCH_AGENT || path.join(root, 'agent', 'kestrun-agent.js'));
const HEAP_APP = path.join(__dirname, 'heap-app.js');
const MB = 1024 * 1024;

const started = [];
const tempDirs = [];

function sleep(ms) { return new Promise((resolve) => setTimeout(resolve, ms)); }
function median(xs) { const s = [...xs].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; }
function now() { return Number(process.hrtime.bigint()) / 1e6; }
function mb(bytes) { return (bytes / MB).toFixed(0); }

// The 1-minute load average: other work on the machine disturbs the timings.
function load() { return fs.readFileSync('/proc/loadavg', 'utf8').split(' ')[0]; }

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

function quellixBin(buildDir) { return path.join(buildDir, 'quellix'); }

// Starts the heap app, with the agent or with node's snapshot signal (each
// in a process of its own, so that neither disturbs the other), and waits
// until it holds its heap. { child, dir, heapUsed }.
async function startHeapApp({ mb: heapMb, shape = 'small', agent, env = {} }) {
  const dir = tempDir();
  const appEnv = Object.assign({}, process.env, { HEAP_MB: String(heapMb), HEAP_SHAPE: shape, NODE_LOG_DIR: dir }, env);
  delete appEnv.NODE_OPTIONS;
  const args = agent ? ['--require', AGENT, HEAP_APP] : ['--heapsnapshot-signal=SIGUSR2', HEAP_APP];
  if (agent) appEnv.ENABLE_NODE_LOG = 'YES';
  const child = spawn(process.execPath, args, { cwd: dir, env: appEnv, stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
  started.push(child);
  const ready = await new Promise((resolve, reject) => {
    child.once('message', resolve);
    child.once('exit', (code) => reject(new Error(`heap app ended with ${code}`)));
  });
  if (agent) await waitFor(() => fs.existsSync(`/tmp/kestrun-uds-path-${child.pid}`), 'the control socket', 10000);
  return { child, dir, heapUsed: ready.heapUsed };
}

// Kills the app, and removes what the agent of a killed process leaves: its
// socket and its mark in /tmp (the one in its log directory goes with it).
async function stopHeapApp(app) {
  if (app.child.exitCode === null && !app.child.signalCode) {
    const marks = agentMarks(app.child.pid);
    const exited = new Promise((resolve) => app.child.once('exit', resolve));
    app.child.kill('SIGKILL');
    await exited;
    for (const file of marks) fs.rmSync(file, { force: true });
  }
  try { fs.unlinkSync(`/tmp/kestrun-uds-path-${app.child.pid}`); } catch (_) { /* removed by the agent */ }
}

// Resident and peak resident size of a process, in bytes.
function memory(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const kb = (name) => Number(new RegExp(`^${name}:\\s+(\\d+) kB$`, 'm').exec(status)[1]) * 1024;
  return { rss: kb('VmRSS'), peak: kb('VmHWM') };
}

// CPU time of a process's main thread, and of the whole process, in ms.
function cpuMs(pid) {
  const ticks = (file) => {
    const f = fs.readFileSync(file, 'utf8').split(') ')[1].split(' ');
    return (Number(f[11]) + Number(f[12])) * 10; // utime + stime; USER_HZ is 100 on Linux
  };
  return { main: ticks(`/proc/${pid}/task/${pid}/stat`), all: ticks(`/proc/${pid}/stat`) };
}

// The peak starts again from the current resident size.
function resetPeak(pid) { fs.writeFileSync(`/proc/${pid}/clear_refs`, '5'); }

// True while a process still has the file open (node writes its signal
// snapshot in place, so existence alone does not mean complete).
function isOpenBy(pid, file) {
  for (const fd of fs.readdirSync(`/proc/${pid}/fd`)) {
    try { if (fs.readlinkSync(`/proc/${pid}/fd/${fd}`) === file) return true; } catch (_) { /* closed meanwhile */ }
  }
  return false;
}

// Runs quellix with the agent in its NODE_OPTIONS (its probe loads it too)
// and resolves once the result file named on the status line is complete:
// { ms, toolMs, file, size }. The file is removed.
async function quellixResult(buildDir, args, prefix) {
  const t0 = now();
  const env = Object.assign({}, process.env, { NODE_OPTIONS: `--require ${AGENT}` });
  const q = spawn(quellixBin(buildDir), args, { env });
  started.push(q);
  let out = '';
  q.stdout.on('data', (d) => { out += d; });
  const exited = new Promise((resolve) => q.on('exit', (code) => resolve({ code, at: now() })));
  const file = await waitFor(() => (new RegExp(`^${prefix}文件路径:(.+)$`, 'm').exec(out) || [])[1], 'the result path', 10000);
  const exit = await exited;
  if (exit.code !== 0) throw new Error(`quellix ${args.join(' ')} failed: ${out}`);
  await waitFor(() => fs.existsSync(file), file, 900000); // put in place only when complete
  const ms = now() - t0;
  const size = fs.statSync(file).size;
  fs.unlinkSync(file);
  return { ms, toolMs: exit.at - t0, file, size };
}

function heapdumpByQuellix(buildDir, app) {
  return quellixResult(buildDir, ['--heapdump', String(app.child.pid)], 'heapdump');
}

// A heap timeline of `seconds`, stopped by quellix's deferred stop.
function timelineByQuellix(buildDir, app, seconds) {
  return quellixResult(buildDir, ['--start_timeline', `time=${seconds}s`, String(app.child.pid)], 'heaptimeline');
}

// kill -USR2 to a complete file with node's --heapsnapshot-signal: { ms, size }.
async function heapdumpBySignal(app) {
  const t0 = now();
  process.kill(app.child.pid, 'SIGUSR2');
  const file = await waitFor(() => {
    const name = fs.readdirSync(app.dir).find((f) => f.endsWith('.heapsnapshot'));
    return name && path.join(app.dir, name);
  }, 'the signal snapshot', 60000);
  await waitFor(() => !isOpenBy(app.child.pid, file), `${file} to be closed`, 900000);
  const ms = now() - t0;
  const size = fs.statSync(file).size;
  fs.unlinkSync(file);
  return { ms, size };
}

// A heap snapshot asked for through the agent's control socket as quellix
// asks (no quellix needed), to a complete file: { ms, size }. The file is removed.
async function heapdumpBySocket(app) {
  const file = path.join(app.dir, `bench-${Date.now()}.heapsnapshot`);
  const t0 = now();
  const { first } = await exchange(app.child.pid, { mask: 0x1, text: `--specified_log_path=${file} ` });
  if (!first || first.verdict !== 'Y') throw new Error(`--heapdump refused: ${first ? first.text : 'no reply'}`);
  await waitFor(() => fs.existsSync(file), file, 1800000); // put in place only when complete
  const ms = now() - t0;
  const size = fs.statSync(file).size;
  fs.unlinkSync(file);
  return { ms, size };
}

// A process that keeps one core busy, as other work on the machine would.
function cpuHog() {
  const hog = spawn(process.execPath, ['-e', 'for (;;) {}'], { stdio: 'ignore' });
  started.push(hog);
  return hog;
}

function printTable(rows, head = ['measurement', 'value', 'note']) {
  const widths = head.map((h, i) => Math.max(h.length, ...rows.map((r) => String(r[i]).length)));
  const line = (r) => r.map((c, i) => String(c).padEnd(widths[i])).join('  ').trimEnd();
  console.log(line(head));
  console.log('-'.repeat(widths.reduce((a, b) => a + b + 2, 0)));
  for (const r of rows) console.log(line(r));
}

function cleanup() {
  for (const child of started) if (child.exitCode === null && !child.signalCode) child.kill('SIGKILL');
  for (const child of started) try { fs.unlinkSync(`/tmp/kestrun-uds-path-${child.pid}`); } catch (_) { /* none */ }
  for (const dir of tempDirs) fs.rmSync(dir, { recursive: true, force: true });
}

// Runs main, prints its failure, and always cleans up.
function run(main) {
  main().catch((err) => { console.error(err.stack || err.message); process.exitCode = 1; }).finally(cleanup);
}

module.exports = {
  root, AGENT, MB, sleep, median, now, mb, load, waitFor, tempDir, quellixBin, startHeapApp, stopHeapApp, memory, cpuMs,
  resetPeak, heapdumpByQuellix, timelineByQuellix, heapdumpBySignal, heapdumpBySocket, cpuHog, printTable, run,
};
