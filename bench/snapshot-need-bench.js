'use strict';
// What a heap snapshot needs in memory, per heap shape, against the agent's
// estimate of it (agent/lib/need.js). For each shape of heap-app.js's fixed
// shapes, a fresh process per figure:
//   - the agent's estimate: the heap's figures, its cheap bounds (low, high),
//     and the estimate from a census of its objects (and how long the census
//     paused the main thread);
//   - the need: the growth of the process's peak RSS (VmHWM during the
//     snapshot minus RSS before it) while the agent writes a heap snapshot,
//     on each of its paths: natively while the main thread is free, through
//     the inspector stream while it spins in JavaScript.
// Then estimate / need, which must never be below 1, and for the web-style
// and named heaps at most 2.5. It prints figures; nothing is timed against a goal.
//
//   node bench/snapshot-need-bench.js
//   BENCH_SHAPES=objects,map,named,web,strings,closures,numbers,framework
//   BENCH_FRAMEWORK_DIR=/tmp/quellix-framework   (npm install --prefix <dir> typescript@5)
//   HEAP_SCALE=1                                  (the shapes' counts, times this)
//
// The snapshots are taken with KESTRUN_SNAPSHOT_IGNORE_MEMORY=1: the machine
// needs about 3 GB free for the largest (named).
const b = require('./bench-lib');

const FRAMEWORK_DIR = process.env.BENCH_FRAMEWORK_DIR || '/tmp/quellix-framework';
const SHAPES = (process.env.BENCH_SHAPES || 'objects,map,named,web,strings,closures,numbers,framework').split(',');
const PATHS = [
  { name: 'native', env: {} },
  { name: 'stream', env: { SPIN: '1' } },
];

function frameworkInstalled() {
  try {
    require.resolve('typescript', { paths: [FRAMEWORK_DIR] });
    return true;
  } catch (_) {
    return false;
  }
}

function startShape(shape, env = {}) {
  return b.startHeapApp({ mb: 0, shape, agent: true, env: Object.assign({ BENCH_FRAMEWORK_DIR: FRAMEWORK_DIR, KESTRUN_SNAPSHOT_IGNORE_MEMORY: '1' }, env) });
}

// The agent's estimate, asked of the heap app itself.
async function estimate(shape) {
  const app = await startShape(shape);
  try {
    const answer = new Promise((resolve) => app.child.once('message', resolve));
    app.child.send({ estimate: true });
    return await answer;
  } finally {
    await b.stopHeapApp(app);
  }
}

// One snapshot of a fresh process: { heapUsed, growth, size, ms }.
async function measure(shape, how) {
  const app = await startShape(shape, how.env);
  try {
    await b.sleep(500);
    b.resetPeak(app.child.pid);
    const before = b.memory(app.child.pid);
    const res = await b.heapdumpBySocket(app);
    return { heapUsed: app.heapUsed, growth: b.memory(app.child.pid).peak - before.rss, size: res.size, ms: res.ms };
  } finally {
    await b.stopHeapApp(app);
  }
}

async function main() {
  console.log(`node ${process.version}, shapes ${SHAPES.join(' ')}, load ${b.load()}`);
  const shapes = SHAPES.filter((s) => s !== 'framework' || frameworkInstalled());
  if (shapes.length < SHAPES.length) console.log(`no TypeScript in ${FRAMEWORK_DIR}: the framework shape is left out (npm install --prefix ${FRAMEWORK_DIR} typescript@5)`);
  const needRows = [], estimateRows = [];
  for (const shape of shapes) {
    const est = await estimate(shape);
    let need = 0;
    for (const how of PATHS) {
      const m = await measure(shape, how);
      need = Math.max(need, m.growth);
      needRows.push([shape, how.name, b.mb(m.heapUsed), b.mb(m.growth), (m.growth / m.heapUsed).toFixed(1), (est.objects / 1e6).toFixed(2) + 'M',
        Math.round(m.growth / est.objects), b.mb(m.size), (m.ms / 1000).toFixed(1), b.load()]);
    }
    const needMb = need / b.MB;
    estimateRows.push([shape, needMb.toFixed(0), `${est.small.toFixed(0)} + ${est.large.toFixed(0)}`, est.low.toFixed(0), est.high.toFixed(0),
      (est.high / needMb).toFixed(2), est.censusMs, est.estimate.toFixed(0), (est.estimate / needMb).toFixed(2)]);
  }
  console.log('\npeak growth while the agent writes a heap snapshot (one fresh process each)');
  b.printTable(needRows, ['shape', 'path', 'heap used MB', 'peak growth MB', 'growth/heap', 'JS objects', 'growth/object B', 'file MB', 's', 'load']);
  console.log('\nthe agent\'s estimate against the need (the larger of the two paths)');
  b.printTable(estimateRows, ['shape', 'need MB', 'heap MB (small + large)', 'low MB', 'high MB', 'high/need', 'census ms', 'estimate MB', 'estimate/need']);
  const ratios = estimateRows.map((r) => Number(r[8]));
  console.log(`\nestimate/need ${Math.min(...ratios)} to ${Math.max(...ratios)}${Math.min(...ratios) < 1 ? ': BELOW THE NEED' : ''}`);
}

b.run(main);
