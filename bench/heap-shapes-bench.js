'use strict';
// The snapshot file's size against the heap's used size, the figure behind
// the agent's disk check (agent/lib/room.js), for each heap shape of
// heap-app.js, and the growth of the process's peak RSS meanwhile; with the
// agent's own paths: a heap snapshot written natively by a free main thread,
// a heap timeline, and a heap snapshot streamed while the main thread spins
// in JavaScript. What a snapshot needs in memory, against the agent's
// estimate of it, is bench/snapshot-need-bench.js's.
//
//   node bench/heap-shapes-bench.js [build-dir]     (default: build/)
//   BENCH_HEAP_MB=100 BENCH_SHAPES=small,large,service,tiny
const path = require('path');
const b = require('./bench-lib');

const buildDir = path.resolve(process.argv[2] || path.join(b.root, 'build'));
const HEAP_MB = Number(process.env.BENCH_HEAP_MB || 100);
const SHAPES = (process.env.BENCH_SHAPES || 'small,large,service,tiny').split(',');

const PATHS = [
  { name: 'heapdump, main thread free (native)', env: {}, take: (app) => b.heapdumpByQuellix(buildDir, app) },
  { name: 'timeline 2 s (native)', env: {}, take: (app) => b.timelineByQuellix(buildDir, app, 2) },
  { name: 'heapdump, main thread spinning (stream)', env: { SPIN: '1' }, take: (app) => b.heapdumpByQuellix(buildDir, app) },
];

async function measure(shape, how) {
  const app = await b.startHeapApp({ mb: HEAP_MB, shape, agent: true, env: how.env });
  try {
    await b.sleep(500);
    b.resetPeak(app.child.pid);
    const before = b.memory(app.child.pid);
    const res = await how.take(app);
    const peak = b.memory(app.child.pid).peak - before.rss;
    return [shape, how.name, b.mb(app.heapUsed), b.mb(res.size), (res.size / app.heapUsed).toFixed(2),
      b.mb(peak), (peak / app.heapUsed).toFixed(2), (res.ms / 1000).toFixed(1), b.load()];
  } finally {
    await b.stopHeapApp(app);
  }
}

async function main() {
  console.log(`node ${process.version}, heaps of about ${HEAP_MB} MB, build ${buildDir}`);
  const rows = [];
  for (const shape of SHAPES) {
    for (const how of PATHS) rows.push(await measure(shape, how));
  }
  b.printTable(rows, ['shape', 'path', 'heap used MB', 'file MB', 'file/heap', 'peak RSS +MB', 'peak/heap', 's', 'load']);
  const ratios = rows.map((r) => Number(r[4])), factors = rows.map((r) => Number(r[6]));
  console.log(`\nfile/heap ${Math.min(...ratios)} to ${Math.max(...ratios)}; peak RSS growth/heap ${Math.min(...factors)} to ${Math.max(...factors)}`);
}

b.run(main);
