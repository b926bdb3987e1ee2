'use strict';
// What a process keeps after heap snapshots, the agent's against node's own
// --heapsnapshot-signal, on the same heap: RSS BENCH_AFTER_S seconds after
// one snapshot; then RSS after each of BENCH_ROUNDS snapshots, alternating
// with heap timelines for the agent, and only snapshots for node's own (it
// has no timeline). The two curves should be equally flat.
//
//   node bench/snapshot-memory-bench.js [build-dir]     (default: build/)
//   BENCH_HEAP_MB=100 BENCH_AFTER_S=30 BENCH_ROUNDS=10
const path = require('path');
const b = require('./bench-lib');

const buildDir = path.resolve(process.argv[2] || path.join(b.root, 'build'));
const HEAP_MB = Number(process.env.BENCH_HEAP_MB || 100);
const AFTER_S = Number(process.env.BENCH_AFTER_S || 30);
const ROUNDS = Number(process.env.BENCH_ROUNDS || 10);

const rssMb = (app) => b.mb(b.memory(app.child.pid).rss);

async function afterOne(agentApp, sigApp) {
  const rows = [];
  for (const [who, app, take] of [['agent', agentApp, () => b.heapdumpByQuellix(buildDir, agentApp)], ['node\'s own', sigApp, () => b.heapdumpBySignal(sigApp)]]) {
    const before = rssMb(app);
    b.resetPeak(app.child.pid);
    await take();
    const peak = b.mb(b.memory(app.child.pid).peak);
    await b.sleep(AFTER_S * 1000);
    rows.push([who, before, peak, rssMb(app), b.load()]);
  }
  const ratio = Number(rows[0][3]) / Number(rows[1][3]) - 1;
  console.log(`\none snapshot of a ${HEAP_MB} MB heap: RSS (MB) before, at the peak, and ${AFTER_S} s after`);
  b.printTable(rows, ['process', 'before', 'peak', `+${AFTER_S} s`, 'load']);
  console.log(`agent against node's own, ${AFTER_S} s after: ${ratio >= 0 ? '+' : ''}${(100 * ratio).toFixed(1)}% (goal <= +5%${ratio <= 0.05 ? '' : ': MISSED'})`);
}

async function curves(agentApp, sigApp) {
  const rows = [];
  for (let i = 1; i <= ROUNDS; i++) {
    const timeline = i % 2 === 0;
    await (timeline ? b.timelineByQuellix(buildDir, agentApp, 1) : b.heapdumpByQuellix(buildDir, agentApp));
    await b.heapdumpBySignal(sigApp);
    rows.push([i, timeline ? 'timeline' : 'snapshot', rssMb(agentApp), rssMb(sigApp), b.load()]);
  }
  console.log(`\nRSS (MB) after each of ${ROUNDS} rounds`);
  b.printTable(rows, ['round', 'agent made', 'agent RSS', 'node\'s own RSS (snapshot)', 'load']);
  const growth = (col) => Number(rows[rows.length - 1][col]) - Number(rows[0][col]);
  console.log(`growth from round 1 to ${ROUNDS}: agent ${growth(2)} MB, node's own ${growth(3)} MB`);
}

async function main() {
  console.log(`node ${process.version}, build ${buildDir}`);
  const agentApp = await b.startHeapApp({ mb: HEAP_MB, agent: true });
  const sigApp = await b.startHeapApp({ mb: HEAP_MB, agent: false });
  try {
    console.log(`heap used: agent's app ${b.mb(agentApp.heapUsed)} MB, node's own ${b.mb(sigApp.heapUsed)} MB`);
    await afterOne(agentApp, sigApp);
    await curves(agentApp, sigApp);
  } finally {
    await b.stopHeapApp(agentApp);
    await b.stopHeapApp(sigApp);
  }
}

b.run(main);
