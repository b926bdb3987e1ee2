'use strict';
// What flushing a heap snapshot to disk costs: the agent's worker flushes the
// file (fdatasync) before it links it to its name and the directory (fsync)
// after, once the main thread has written the snapshot natively. Per
// snapshot of a HEAP_MB heap: the main thread's freeze (the longest time it
// was away from its event loop), the time from invoking `quellix --wait
// --heapdump` to its exit (the file published and flushed), and the two
// flushes' own time in the worker, as strace -T sees them. With BENCH_AGENT
// naming another copy of the agent (one from before the flushes, say) the
// same is measured for it, side by side.
//
//   node bench/flush-bench.js [build-dir]     (default: build/)
//   BENCH_REPEAT=5 BENCH_HEAP_MB=100 BENCH_AGENT=/path/to/older/kestrun-agent.js
//
// The log directory is a temporary directory under the system's, which must
// lie on a disk (on tmpfs a flush costs nothing).
const fs = require('fs');
const path = require('path');
const { spawn, spawnSync } = require('child_process');

const buildDir = path.resolve(process.argv[2] || path.join(__dirname, '..', 'build'));
const REPEAT = Number(process.env.BENCH_REPEAT || 5);
const HEAP_MB = Number(process.env.BENCH_HEAP_MB || 100);
const OWN_AGENT = path.join(__dirname, '..', 'agent', 'kestrun-agent.js');

// One run of this file per agent: bench-lib reads BENCH_AGENT once.
if (process.env.FLUSH_BENCH_CHILD !== '1') {
  const agents = [OWN_AGENT, ...(process.env.BENCH_AGENT ? [path.resolve(process.env.BENCH_AGENT)] : [])];
  for (const agent of agents) {
    const res = spawnSync(process.execPath, [__filename, buildDir], {
      env: Object.assign({}, process.env, { BENCH_AGENT: agent, FLUSH_BENCH_CHILD: '1' }), stdio: 'inherit',
    });
    if (res.status !== 0) process.exitCode = 1;
  }
  return;
}

const b = require('./bench-lib');

// The durations of the file's and the directory's flushes, from strace -T
// output; ms each.
function flushTimes(trace) {
  const file = [], dir = [];
  for (const line of fs.readFileSync(trace, 'utf8').split('\n')) {
    const m = /\b(fdatasync|fsync)\(\d+<([^>]*)>\) = 0 <([\d.]+)>$/.exec(line);
    if (!m) continue;
    (m[2].endsWith('.tmp') ? file : dir).push(Number(m[3]) * 1000);
  }
  return { file, dir };
}

// Follows every thread of pid (the worker's among them) for the flushes.
async function traceFlushes(pid, trace) {
  const tids = fs.readdirSync(`/proc/${pid}/task`);
  const strace = spawn('strace', ['-f', '-y', '-T', '-qq', '-o', trace, '-e', 'trace=fsync,fdatasync',
    ...tids.flatMap((tid) => ['-p', tid])], { stdio: 'ignore' });
  const traced = (tid) => /^TracerPid:\s+[1-9]/m.test(fs.readFileSync(`/proc/${pid}/task/${tid}/status`, 'utf8'));
  await b.waitFor(() => tids.every(traced), 'strace to attach', 10000);
  return strace;
}

// ms that fdatasync takes right after size bytes were written in one go.
function flushAtOnce(file, size) {
  const chunk = Buffer.alloc(1 << 20, 0x61);
  const fd = fs.openSync(file, 'w', 0o600);
  try {
    for (let left = size; left > 0; left -= chunk.length) fs.writeSync(fd, chunk, 0, Math.min(left, chunk.length));
    const t0 = b.now();
    fs.fdatasyncSync(fd);
    return b.now() - t0;
  } finally {
    fs.closeSync(fd);
    fs.unlinkSync(file);
  }
}

function askFreeze(app) {
  return new Promise((resolve) => {
    const on = (msg) => { if (msg.freeze !== undefined) { app.child.off('message', on); resolve(msg.freeze); } };
    app.child.on('message', on);
    app.child.send({ freeze: true });
  });
}

async function main() {
  const app = await b.startHeapApp({ mb: HEAP_MB, agent: true });
  const trace = path.join(b.tempDir(), 'trace');
  const rows = [];
  let strace = null;
  try {
    strace = await traceFlushes(app.child.pid, trace);
    const freezes = [], totals = [];
    let size = 0;
    for (let i = 0; i < REPEAT; i++) {
      await askFreeze(app);
      const t0 = b.now();
      const env = Object.assign({}, process.env, { NODE_OPTIONS: `--require ${b.AGENT}` });
      const run = spawnSync(b.quellixBin(buildDir), ['--wait', '--heapdump', String(app.child.pid)], { env, encoding: 'utf8' });
      totals.push(b.now() - t0);
      const written = /^Written: (\S+) \((\d+) bytes/m.exec(run.stdout);
      if (run.status !== 0 || !written) throw new Error(`quellix --wait --heapdump: ${run.stdout}${run.stderr}`);
      size = Number(written[2]);
      fs.unlinkSync(written[1]);
      freezes.push(await askFreeze(app));
    }
    strace.kill('SIGINT');
    await new Promise((resolve) => strace.on('exit', resolve));
    strace = null;
    const flushes = flushTimes(trace);
    if (process.env.BENCH_SHOW_TRACE === '1') console.log(fs.readFileSync(trace, 'utf8'));
    // The kernel writes a snapshot's pages back while V8 is still writing
    // the rest: for comparison, the same bytes written at once and flushed.
    const atOnce = flushAtOnce(path.join(app.dir, 'at-once'), size);
    const ms = (x) => (x === undefined ? '-' : x.toFixed(0));
    rows.push(['main thread freeze (median ms)', ms(b.median(freezes)), freezes.map(ms).join(' ')]);
    rows.push(['quellix --wait --heapdump (median ms)', ms(b.median(totals)), totals.map(ms).join(' ')]);
    rows.push(['fdatasync of the file in the worker (median ms)', flushes.file.length ? ms(b.median(flushes.file)) : 'none', flushes.file.map(ms).join(' ')]);
    rows.push(['fsync of the directory in the worker (median ms)', flushes.dir.length ? ms(b.median(flushes.dir)) : 'none', flushes.dir.map(ms).join(' ')]);
    rows.push(['fdatasync of as many bytes written at once (ms)', ms(atOnce), 'for comparison: nothing written back yet']);
    console.log(`\nagent ${b.AGENT}: ${REPEAT} snapshots of ${b.mb(size)} MB, heap ${b.mb(app.heapUsed)} MB, load ${b.load()}`);
    b.printTable(rows, ['measurement', 'value', 'each']);
  } finally {
    if (strace) strace.kill('SIGKILL');
    await b.stopHeapApp(app);
  }
}

b.run(main);
