'use strict';
// Holds about HEAP_MB megabytes of live objects, says "ready" on its IPC
// channel, then idles until killed or until BENCH_LIFETIME_MS has passed;
// with SPIN=1 it spins in spinForever instead of idling, the main thread
// never coming back to its event loop.
const targetBytes = Number(process.env.HEAP_MB || 0) * 1024 * 1024;
setTimeout(() => process.exit(0), Number(process.env.BENCH_LIFETIME_MS || 600000));

const kept = [];
for (let i = 0; process.memoryUsage().heapUsed < targetBytes; i++) {
  const batch = [];
  for (let j = 0; j < 10000; j++) batch.push({ id: i * 10000 + j, name: `item-${i}-${j}`, tags: [i, j] });
  kept.push(batch);
}
globalThis.kept = kept;
setInterval(() => {}, 1000);
process.send({ ready: true, heapUsed: process.memoryUsage().heapUsed });

function spinForever() {
  let n = 0;
  for (;;) n += Math.sqrt(n) > -1 ? 1 : 0;
}
if (process.env.SPIN === '1') setTimeout(spinForever, 50);
