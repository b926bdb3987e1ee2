'use strict';
// Workload of bench/stack-bench.js: loads STACK_MODULES generated modules
// from STACK_MODULE_DIR (so that V8 holds that many more scripts), then
// spins in spinHere and writes, every STACK_WINDOW_MS, the longest time the
// loop went without turning ("gap <ms>"): a stop of the main thread shows
// there. With STACK_REFERENCE=1 a worker of its own first measures, on this
// main thread, the stop of what --stack does (a new inspector session and
// the agent's stack call) against the Debugger domain's (enable, a pause
// and resume, disable, enable again), as the loop sees them and as round
// trips (one JSON line). Ends by itself after STACK_LIFETIME_MS.
const fs = require('fs');
const path = require('path');
const { Worker } = require('worker_threads');

const modules = Number(process.env.STACK_MODULES || 0);
const windowMs = Number(process.env.STACK_WINDOW_MS || 500);
const lifetime = Number(process.env.STACK_LIFETIME_MS || 600000);
for (let i = 0; i < modules; i++) require(path.join(process.env.STACK_MODULE_DIR, `m${i}.js`));

// 0: the loop runs; 1: the worker asks the loop to start a new longest
// stop; 2: that stop, in microseconds.
const shared = new Int32Array(new SharedArrayBuffer(12));
if (process.env.STACK_REFERENCE === '1') {
  new Worker(`
    const { workerData } = require('worker_threads');
    const fs = require('fs');
    const inspector = require('inspector');
    const shared = new Int32Array(workerData);
    const keep = setInterval(() => {}, 1000);
    const now = () => Number(process.hrtime.bigint()) / 1e6;
    const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
    const post = (s, method, params) => new Promise((resolve, reject) =>
      s.post(method, params || {}, (err, res) => (err ? reject(err) : resolve(res))));
    const median = (xs) => xs.sort((a, b) => a - b)[Math.floor(xs.length / 2)];
    // The main thread's longest stop (ms) while fn runs, and fn's round trip.
    async function stopOf(fn) {
      Atomics.store(shared, 1, 1);
      while (Atomics.load(shared, 1) === 1) await sleep(1);
      const t = now();
      await fn();
      const ms = now() - t;
      await sleep(20);
      return { stop: Atomics.load(shared, 2) / 1000, ms };
    }
    const hook = 'globalThis[Symbol.for("kestrun.agent.hook")].stack()';
    (async () => {
      while (Atomics.load(shared, 0) === 0) await sleep(10);
      const out = { quiet: [], stack: [], enable: [], pauseResume: [], disable: [], enableAgain: [] };
      let scripts = 0;
      for (let i = 0; i < 5; i++) {
        out.quiet.push(await stopOf(() => sleep(1)));
        // As --stack does it: a session connected for it, the stack call, the session closed.
        out.stack.push(await stopOf(async () => {
          const s = new inspector.Session();
          s.connectToMainThread();
          await post(s, 'Runtime.evaluate', { expression: hook, returnByValue: true });
          s.disconnect();
        }));
        const s = new inspector.Session();
        s.connectToMainThread();
        scripts = 0;
        s.on('Debugger.scriptParsed', () => { scripts++; });
        let paused = null;
        s.on('Debugger.paused', () => { if (paused) paused(); });
        out.enable.push(await stopOf(() => post(s, 'Debugger.enable')));
        const reported = scripts;
        out.pauseResume.push(await stopOf(async () => {
          const landed = new Promise((r) => { paused = r; });
          await post(s, 'Debugger.pause');
          await landed;
          await post(s, 'Debugger.resume');
        }));
        out.disable.push(await stopOf(() => post(s, 'Debugger.disable')));
        out.enableAgain.push(await stopOf(() => post(s, 'Debugger.enable')));
        await post(s, 'Debugger.disable');
        s.disconnect();
        scripts = reported;
      }
      const summary = { scripts };
      for (const key of Object.keys(out)) {
        summary[key] = { stop: median(out[key].map((x) => x.stop)), ms: median(out[key].map((x) => x.ms)) };
      }
      fs.writeSync(1, 'reference ' + JSON.stringify(summary) + '\\n');
      clearInterval(keep);
    })();`, { eval: true, workerData: shared.buffer });
}

function spinHere(end) {
  let last = performance.now(), gap = 0, windowEnd = last + windowMs, longest = 0;
  for (;;) {
    const t = performance.now();
    const step = t - last;
    last = t;
    if (step > gap) gap = step;
    if (Atomics.load(shared, 1) === 1) {
      longest = 0;
      Atomics.store(shared, 2, 0);
      Atomics.store(shared, 1, 0);
    } else if (step > longest) {
      longest = step;
      Atomics.store(shared, 2, Math.round(step * 1000));
    }
    if (t >= windowEnd) {
      fs.writeSync(1, `gap ${gap.toFixed(2)}\n`);
      gap = 0;
      windowEnd = t + windowMs;
    }
    if (t >= end) return;
  }
}

fs.writeSync(1, 'ready\n');
Atomics.store(shared, 0, 1);
spinHere(performance.now() + lifetime);
