'use strict';
// What summarising a heap snapshot costs quellix: `quellix --wait --heapdump`
// on heaps of growing size, with the time V8 took to write the snapshot
// (from the delivery to the file in place), the time quellix took to
// summarise it (from its "Written:" line to its exit) and quellix's peak
// resident memory (VmHWM, the run's whole). Goals: under 64 MB whatever
// the size, and under half of V8's time.
//
//   node bench/summary-bench.js [build-dir]        (default: build/)
//   BENCH_HEAP_MB=35,135 (heap sizes in MB; 135 MB of small objects make a
//   snapshot of about 230 MB), BENCH_SHAPE=small (see heap-app.js)
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const b = require('./bench-lib');

const buildDir = path.resolve(process.argv[2] || path.join(b.root, 'build'));
const SIZES = (process.env.BENCH_HEAP_MB || '35,135').split(',').map(Number);
const SHAPE = process.env.BENCH_SHAPE || 'small';
const PEAK_GOAL_MB = 64;

// VmHWM of a running process in KiB, or 0 once it is gone.
function peakKiB(pid) {
  try {
    return Number(/^VmHWM:\s+(\d+) kB$/m.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
  } catch (_) {
    return 0;
  }
}

// One snapshot with its summary: the moments its lines arrive, the file's
// appearance, and quellix's peak.
async function snapshotWithSummary(app) {
  const env = Object.assign({}, process.env, { NODE_OPTIONS: `--require ${b.AGENT}` });
  const q = spawn(b.quellixBin(buildDir), ['--wait', '--heapdump', String(app.child.pid)], { env });
  let out = '';
  const at = {};
  let peak = 0;
  q.stdout.on('data', (d) => {
    out += d;
    if (at.status === undefined && /heapdump文件路径:/.test(out)) at.status = b.now();
    if (at.written === undefined && /\nWritten: /.test(out)) at.written = b.now();
  });
  const watch = setInterval(() => { peak = Math.max(peak, peakKiB(q.pid)); }, 5);
  const exited = new Promise((resolve) => q.on('exit', (code) => resolve(code)));
  const file = await b.waitFor(() => (/heapdump文件路径:(.+)$/m.exec(out) || [])[1], 'the result path', 20000);
  await b.waitFor(() => fs.existsSync(file), file, 900000); // put in place only when complete
  at.file = b.now();
  const code = await exited;
  at.exit = b.now();
  clearInterval(watch);
  if (code !== 0) throw new Error(`quellix failed: ${out}`);
  const size = fs.statSync(file).size;
  fs.unlinkSync(file);
  const nodes = (/Heap snapshot: ([\d,]+) nodes/.exec(out) || [])[1] || '?';
  return { v8Ms: at.file - at.status, summaryMs: at.exit - at.written, peakKiB: peak, size, nodes };
}

async function main() {
  const rows = [];
  let ok = true;
  for (const heapMb of SIZES) {
    const app = await b.startHeapApp({ mb: heapMb, shape: SHAPE, agent: true });
    const r = await snapshotWithSummary(app);
    await b.stopHeapApp(app);
    const ratio = r.summaryMs / r.v8Ms;
    const peakMb = r.peakKiB / 1024;
    ok = ok && peakMb < PEAK_GOAL_MB && ratio < 0.5;
    rows.push([
      `${heapMb} MB ${SHAPE}`, b.mb(r.size), r.nodes, (r.v8Ms / 1000).toFixed(2), (r.summaryMs / 1000).toFixed(2),
      ratio.toFixed(2), peakMb.toFixed(1), (r.size / 1e6 / (r.summaryMs / 1000)).toFixed(0), b.load(),
    ]);
  }
  console.log(`summarising heap snapshots with ${path.relative(process.cwd(), b.quellixBin(buildDir))}`);
  b.printTable(rows, ['heap', 'snapshot MB', 'nodes', 'V8 s', 'summary s', 'summary/V8', 'peak MB', 'MB/s', 'load']);
  console.log(`goals: peak under ${PEAK_GOAL_MB} MB, summary under half of V8's time: ${ok ? 'met' : 'MISSED'}`);
  if (!ok) process.exitCode = 1;
}

b.run(main);
