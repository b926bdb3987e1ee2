'use strict';
// The agent's side of --stack against the real main thread of a child
// process, through a worker's inspector session as the agent has it: the
// pauses that come while the Debugger domain is on are ended at once (the
// main thread runs on), and the stack file goes by itself when nobody takes
// it. The states themselves are tested end to end (test/stack_test.cc).
const { it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');

const LIB = path.resolve(__dirname, '..', 'lib');
const { HOOK_KEY } = require('../lib/shared');

// Runs the worker's code (an async function body with s, a session to the
// main thread, and `ran`, how often the main thread's loop went round) while
// the main thread, with the agent's hook, loops through `debugger;` until
// the worker is done; returns what the worker resolved with.
function inChild(body) {
  const worker = `
    const { workerData } = require('worker_threads');
    const fs = require('fs');
    const { MainSession } = require(${JSON.stringify(path.join(LIB, 'session'))});
    const stack = require(${JSON.stringify(path.join(LIB, 'stack'))});
    const shared = new Int32Array(workerData.shared);
    const s = new MainSession(new Int32Array(new SharedArrayBuffer(64)));
    const ran = () => Atomics.load(shared, 0);
    const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
    (async () => { ${body} })().then(
      (value) => fs.writeSync(1, JSON.stringify(value)),
      (err) => fs.writeSync(1, JSON.stringify({ error: err.stack })))
      .finally(() => { s.disconnect(); Atomics.store(shared, 1, 1); });`;
  const main = `
    globalThis[Symbol.for(${JSON.stringify(HOOK_KEY)})] = { stack: require(${JSON.stringify(path.join(LIB, 'stack-capture'))}).capture };
    const shared = new Int32Array(new SharedArrayBuffer(8));
    new (require('worker_threads').Worker)(${JSON.stringify(worker)}, { eval: true, workerData: { shared: shared.buffer } });
    const end = Date.now() + 20000;
    while (Atomics.load(shared, 1) === 0 && Date.now() < end) { Atomics.add(shared, 0, 1); debugger; }`;
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrun-stack-test-'));
  try {
    const res = spawnSync(process.execPath, ['-e', main], {
      encoding: 'utf8', timeout: 30000, env: Object.assign({}, process.env, { NODE_LOG_DIR: dir, NODE_OPTIONS: '' }),
    });
    assert.equal(res.status, 0, res.stderr);
    assert.equal(res.stderr, '');
    return JSON.parse(res.stdout);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

it('a debugger statement that pauses while the Debugger domain is on is resumed, never taken for another session\'s pause', () => {
  const got = inChild(`
    s.acquire();
    const checks = [];
    let ranOn = true;
    for (let i = 0; i < 5 && ranOn; i++) {
      checks.push(await stack.pausedByOther(s));
      // Each check begins on a main thread that is out of the pause before.
      const before = ran();
      for (let j = 0; j < 100 && ran() === before; j++) await sleep(20);
      ranOn = ran() > before;
    }
    return { checks, ranOn };`);
  assert.equal(got.error, undefined, got.error);
  for (const check of got.checks) assert.equal(check.paused, false, JSON.stringify(got.checks));
  assert.ok(got.checks.some((check) => check.resumed > 0), JSON.stringify(got.checks));
  assert.ok(got.ranOn, 'the main thread was left paused');
});

it('the stack file goes by itself when nobody takes it', () => {
  const got = inChild(`
    const file = require('path').join(${JSON.stringify(os.tmpdir())}, 'kestrun-stack-test-' + process.pid + '.json');
    await stack.writeStack(s, file, 200);
    const written = JSON.parse(fs.readFileSync(file, 'utf8'));
    const mode = fs.statSync(file).mode & 0o777;
    for (let i = 0; i < 100 && fs.existsSync(file); i++) await sleep(20);
    return { written, mode, gone: !fs.existsSync(file) };`);
  assert.equal(got.error, undefined, got.error);
  assert.equal(got.written.state, 'running');
  assert.ok(got.written.frames.some((frame) => frame.url === '[eval]'), JSON.stringify(got.written));
  assert.equal(got.mode, 0o600);
  assert.ok(got.gone);
});
