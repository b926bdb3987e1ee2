'use strict';
// quellix --stack against a main thread that spins in JavaScript, with about
// 100 scripts loaded (node's own) and with about 5,000 (generated modules):
// the stall quellix prints, the main thread's longest stop while it ran
// (its spin loop measures the gaps; the same loop without quellix gives the
// baseline), and the time from invoking quellix to its printed stack. Then,
// as the reference, what the Debugger domain costs on the same main thread
// (enable, a pause and resume, disable, enable again) against what --stack
// does (a session and the stack call), each as the spinning loop sees it,
// from a worker of the application; and the time to the idle and the
// blocked lines.
//
//   node bench/stack-bench.js [build-dir]     (default: build/)
//   BENCH_REPEAT=10
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const b = require('./bench-lib');

const buildDir = path.resolve(process.argv[2] || path.join(b.root, 'build'));
const QUELLIX = b.quellixBin(buildDir);
const REPEAT = Number(process.env.BENCH_REPEAT || 10);
const APP = path.join(__dirname, 'stack-app.js');
const WINDOW_MS = 500;
const { sleep, median, now } = b;
const started = [];

// A directory of n small modules, each a function of its own.
function moduleDir(n) {
  const dir = b.tempDir();
  for (let i = 0; i < n; i++) {
    fs.writeFileSync(path.join(dir, `m${i}.js`), `'use strict';\nmodule.exports = function f${i}(x) { return x + ${i}; };\n`);
  }
  return dir;
}

// Starts node with the agent and a script; resolves once it is ready and
// serves its socket. { child, out() }.
async function startApp(args, env) {
  const dir = b.tempDir();
  const child = spawn(process.execPath, ['--require', b.AGENT, ...args], {
    env: Object.assign({}, process.env, { ENABLE_NODE_LOG: 'YES', NODE_LOG_DIR: dir, NODE_OPTIONS: '' }, env),
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  started.push(child);
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  const app = { child, out: () => out };
  await b.waitFor(() => out.includes('ready\n') && fs.existsSync(`/tmp/kestrun-uds-path-${child.pid}`), `app ${child.pid} (its output so far: ${JSON.stringify(out.slice(0, 200))})`, 120000);
  return app;
}

function stop(app) {
  app.child.kill('SIGKILL');
  try { fs.unlinkSync(`/tmp/kestrun-uds-path-${app.child.pid}`); } catch (_) { /* removed */ }
}

// Runs a program with the agent in its NODE_OPTIONS: { ms, out, code }.
function runWithAgent(program, args, env = {}) {
  return new Promise((resolve) => {
    const t0 = now();
    const q = spawn(program, args, { env: Object.assign({}, process.env, { NODE_OPTIONS: `--require ${b.AGENT}` }, env) });
    let out = '';
    q.stdout.on('data', (d) => { out += d; });
    q.on('close', (code) => resolve({ ms: now() - t0, out, code }));
  });
}

function stack(pid) { return runWithAgent(QUELLIX, ['--stack', String(pid)]); }

// What quellix's identification probe costs the machine, without a --stack.
function probeAlone() { return runWithAgent(process.execPath, ['-p', 'process.kestrun'], { ENABLE_NODE_LOG: 'NO' }); }

// The gaps the app reported from index `from` on.
function gaps(app, from) {
  return [...app.out().matchAll(/^gap ([\d.]+)$/gm)].slice(from).map((m) => Number(m[1]));
}

// The longest stop that the app's loop saw in the two windows around run().
async function stopDuring(app, run) {
  const from = gaps(app, 0).length;
  const r = await run();
  await b.waitFor(() => gaps(app, from).length >= 2, 'the gap after the run', 10000);
  return { r, stop: Math.max(...gaps(app, from).slice(0, 2)) };
}

// REPEAT runs against a spinning app: the stall printed, the longest stop
// seen by the app's loop around each run, the time to the printed stack;
// and as the baseline the longest stop around the probe alone (starting
// node takes a core of the machine's two for a while, which the spinning
// thread may lose).
async function spinning(label, modules) {
  const env = modules > 0 ? { STACK_MODULES: String(modules), STACK_MODULE_DIR: moduleDir(modules) } : {};
  const app = await startApp([APP], Object.assign({ STACK_WINDOW_MS: String(WINDOW_MS) }, env));
  await sleep(2 * WINDOW_MS);
  const stalls = [], stops = [], times = [], baseline = [];
  for (let i = 0; i < REPEAT; i++) {
    baseline.push((await stopDuring(app, probeAlone)).stop);
    const { r, stop: longest } = await stopDuring(app, () => stack(app.child.pid));
    const m = /stopped for (\d+) ms/.exec(r.out);
    if (r.code !== 0 || !m) throw new Error(`quellix --stack: ${r.code} ${r.out}`);
    stalls.push(Number(m[1]));
    stops.push(longest);
    times.push(r.ms);
  }
  stop(app);
  const ref = await reference(env);
  const row = (what, key, note) => [`${label}: ${what}`, `${ref[key].stop.toFixed(1)} ms`, `round trip ${ref[key].ms.toFixed(1)} ms${note ? `; ${note}` : ''}`];
  return [
    [`${label}: stall printed`, `${median(stalls)} ms`, `median of ${REPEAT}; max ${Math.max(...stalls)}`],
    [`${label}: main thread's longest stop`, `${median(stops).toFixed(1)} ms`, `median; max ${Math.max(...stops).toFixed(1)}; around the probe alone ${median(baseline).toFixed(1)} (max ${Math.max(...baseline).toFixed(1)})`],
    [`${label}: command to printed stack`, `${median(times).toFixed(0)} ms`, `median; max ${Math.max(...times).toFixed(0)}`],
    row('stop, nothing asked', 'quiet', 'the loop\'s own noise'),
    row('stop for --stack\'s session and call', 'stack', ''),
    row('stop for Debugger.enable', 'enable', `${ref.scripts} scripts reported`),
    row('stop for Debugger.pause + resume', 'pauseResume', 'the domain enabled'),
    row('stop for Debugger.disable', 'disable', ''),
    row('stop for Debugger.enable again', 'enableAgain', 'same session, right after'),
  ];
}

// The main thread's stops, measured from the app's own worker while its
// main thread spins and without other processes: medians of 5.
async function reference(env) {
  const app = await startApp([APP], Object.assign({ STACK_REFERENCE: '1' }, env));
  const line = await b.waitFor(() => (/^reference (.+)$/m.exec(app.out()) || [])[1], 'the reference', 120000);
  stop(app);
  return JSON.parse(line);
}

// The time to the idle line, and to the blocked line (its 2 s included).
async function otherStates() {
  const idle = await startApp(['-e', "require('net').createServer().listen(0, '127.0.0.1', () => console.log('ready'))"], {});
  const idleTimes = [];
  for (let i = 0; i < REPEAT; i++) idleTimes.push((await stack(idle.child.pid)).ms);
  stop(idle);
  const blocked = await startApp(['-e', "console.log('ready'); require('child_process').execSync('sleep 600')"], {});
  const r = await stack(blocked.child.pid);
  stop(blocked);
  return [
    ['idle server: command to idle line', `${median(idleTimes).toFixed(0)} ms`, `median of ${REPEAT}`],
    ['blocked in native code: command to blocked line', `${r.ms.toFixed(0)} ms`, `exit ${r.code}`],
  ];
}

b.run(async () => {
  if (!fs.existsSync(QUELLIX)) throw new Error(`${QUELLIX} does not exist: build first`);
  const rows = [];
  const t = now();
  rows.push(...await spinning('~100 scripts', 0));
  rows.push(...await spinning('~5,000 scripts', 4900));
  rows.push(...await otherStates());
  console.log(`quellix --stack, node ${process.version}, load ${b.load()}, ${((now() - t) / 1000).toFixed(0)} s\n`);
  b.printTable(rows);
  for (const child of started) if (child.exitCode === null) child.kill('SIGKILL');
});
