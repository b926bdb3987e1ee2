'use strict';
// Holds about HEAP_MB megabytes of live objects of the shape HEAP_SHAPE, says
// "ready" (with its heap's used size) on its IPC channel, then idles until
// killed or until BENCH_LIFETIME_MS has passed; with SPIN=1 it spins in
// spinForever instead of idling, the main thread never coming back to its
// event loop. Asked { freeze: true } on its IPC channel, it answers with the
// longest time its main thread was away from its event loop since it was
// last asked (a tick every 5 ms measures it).
//
//   small    many small objects { id, name, tags } (the default)
//   large    large strings and arrays of numbers
//   service  a web service's heap: maps of users with nested profiles,
//            sessions, cached HTML and JSON, and a closure each
//   tiny     the worst case for a snapshot: tiny objects and boxed numbers
const targetBytes = Number(process.env.HEAP_MB || 0) * 1024 * 1024;
setTimeout(() => process.exit(0), Number(process.env.BENCH_LIFETIME_MS || 600000));

const SHAPES = {
  small: (i) => {
    const batch = [];
    for (let j = 0; j < 10000; j++) batch.push({ id: i * 10000 + j, name: `item-${i}-${j}`, tags: [i, j] });
    return batch;
  },
  large: (i) => (i % 2 ? 'L'.repeat(65536 + (i % 1000)) + i : Array.from({ length: 65536 }, (_, k) => k * 1.5 + i)),
  service: (i) => {
    const users = new Map();
    for (let j = 0; j < 1000; j++) {
      const id = `u${i}-${j}`;
      users.set(id, {
        id,
        email: `${id}@example.com`,
        profile: { name: `User ${j}`, created: new Date(), roles: ['reader', j % 7 ? 'writer' : 'admin'] },
        session: { token: Math.random().toString(36).repeat(4), hits: j, last: Date.now() },
        cache: { html: `<div class="user">${id}</div>`.repeat(8), json: JSON.stringify({ id, j }) },
        handler: () => id + j,
      });
    }
    return users;
  },
  tiny: (i) => {
    const batch = [];
    for (let j = 0; j < 10000; j++) batch.push(j % 2 ? { v: j } : i * 10000 + j + 0.5);
    return batch;
  },
};

const make = SHAPES[process.env.HEAP_SHAPE || 'small'];
const kept = [];
for (let i = 0; process.memoryUsage().heapUsed < targetBytes; i++) kept.push(make(i));
globalThis.kept = kept;
let lastTick = Date.now();
let longestGap = 0;
setInterval(() => {
  const now = Date.now();
  longestGap = Math.max(longestGap, now - lastTick);
  lastTick = now;
}, 5);
process.on('message', (msg) => {
  if (!msg.freeze) return;
  process.send({ freeze: longestGap });
  longestGap = 0;
});
process.send({ ready: true, heapUsed: process.memoryUsage().heapUsed });

function spinForever() {
  let n = 0;
  for (;;) n += Math.sqrt(n) > -1 ? 1 : 0;
}
if (process.env.SPIN === '1') setTimeout(spinForever, 50);
