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
//
// or, with HEAP_SHAPE one of FIXED_SHAPES, a heap of fixed counts (HEAP_SCALE
// times them) as services hold them; `framework` is a compiler's: TypeScript,
// installed from npm into BENCH_FRAMEWORK_DIR, type-checking its own
// declarations. With the agent loaded, an { estimate: true } message is
// answered with the agent's estimate of what a heap snapshot needs
// (agent/lib/need.js): the heap's figures, its bounds, and a census.
const path = require('path');
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

const scale = Number(process.env.HEAP_SCALE || 1);
const count = (n) => Math.round(n * scale);

const FIXED_SHAPES = {
  objects: (keep) => { for (let i = 0; i < count(1e6); i++) keep.push({ id: i, v: i * 2, tag: 'x' }); },
  map: (keep) => {
    const m = new Map();
    keep.push(m);
    for (let i = 0; i < count(650000); i++) m.set(i, { id: i, v: i * 2, tag: 't' + (i & 7) });
  },
  named: (keep) => { for (let i = 0; i < count(1.2e6); i++) keep.push({ id: i, name: 'n' + i, tags: [i & 7, i & 3] }); },
  web: (keep) => {
    for (let i = 0; i < count(150000); i++) {
      keep.push({
        id: i, name: 'user' + i, email: 'user' + i + '@example.com', tags: ['a' + (i % 10), 'b' + (i % 7)],
        created: new Date(1700000000000 + i), profile: { age: i % 90, city: 'city' + (i % 100), bio: 'x'.repeat(64) + i },
      });
    }
  },
  strings: (keep) => { for (let i = 0; i < count(20000); i++) keep.push('s'.repeat(4000) + i); },
  closures: (keep) => { for (let i = 0; i < count(1e6); i++) keep.push(() => i); },
  numbers: (keep) => {
    for (let j = 0; j < 100; j++) {
      const a = [];
      keep.push(a);
      for (let i = 0; i < count(100000); i++) a.push(i * 1.5 + j);
    }
  },
  framework: (keep) => {
    const dir = process.env.BENCH_FRAMEWORK_DIR;
    const ts = require(require.resolve('typescript', { paths: [dir] }));
    const libDir = path.dirname(require.resolve('typescript', { paths: [dir] }));
    const program = ts.createProgram([path.join(libDir, 'typescript.d.ts')],
      { target: ts.ScriptTarget.ES2022, lib: ['lib.es2022.full.d.ts'], noEmit: true, types: [] });
    ts.getPreEmitDiagnostics(program);
    keep.push(program, program.getTypeChecker());
    // A stack through the compiler's code, as an error a service logs makes
    // one: V8 then knows the lines of its 9 MB script. Without it, V8 looks
    // for the line of each of its functions from the start of the script,
    // and the snapshot takes many minutes.
    ts.forEachChild(program.getSourceFiles()[0], () => { Error().stack; return true; });
  },
};

const kept = [];
const shape = process.env.HEAP_SHAPE || 'small';
if (FIXED_SHAPES[shape]) {
  FIXED_SHAPES[shape](kept);
} else {
  const make = SHAPES[shape];
  for (let i = 0; process.memoryUsage().heapUsed < targetBytes; i++) kept.push(make(i));
}
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

// The agent's estimate, from its own module in this process, in MB.
process.on('message', (msg) => {
  if (!msg.estimate) return;
  const need = require('../agent/lib/need');
  const MB = 1024 * 1024;
  const figures = need.heapFigures();
  const bounds = need.bounds(figures, null);
  const census = need.census();
  process.send({
    small: figures.small / MB, large: figures.large / MB, low: bounds.low / MB, high: bounds.high / MB,
    objects: census.objects, nodes: census.nodes, names: census.names, censusMs: census.ms,
    estimate: Math.min(bounds.high, need.fromCensus(figures, census)) / MB,
  });
});

function spinForever() {
  let n = 0;
  for (;;) n += Math.sqrt(n) > -1 ? 1 : 0;
}
if (process.env.SPIN === '1') setTimeout(spinForever, 50);
