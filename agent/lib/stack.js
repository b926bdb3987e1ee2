'use strict';
// --stack: the main thread's state and JavaScript stack, written as a
// private result file that quellix reads and removes. Runs in the worker.
//
// The stack comes from the main thread itself (lib/stack-capture.js), through
// one Runtime.evaluate that V8 serves by interrupting the running code: no
// pause, no debugger, a stop of about a millisecond. The answer tells the
// states apart: frames under the call (running JavaScript), none (idle in
// the event loop, with its handles), or no answer in time (blocked in native
// code or in a long GC: whatever stack came later would not be the block's).
//
// One case looks like running JavaScript and is not: a main thread paused by
// another debugger session serves the call from inside that pause. A main
// thread that runs JavaScript is runnable; one that sleeps through the
// samples (a pause, or Atomics.wait) is asked once more, with the Debugger
// domain: a pause that exists already is reported when it is enabled, before
// its answer. That pause is never resumed; one that comes while the domain is
// on (the application's `debugger;` statement, which stops only because a
// debugger listens) is resumed at once, and the domain is disabled again
// (which also ends such a pause) whatever happens.
const fs = require('fs');
const results = require('./results');
const { log } = require('./log');
const { withSession } = require('./session');

// A main thread that serves nothing for this long runs no JavaScript.
const NO_JAVASCRIPT_MS = 2000;
// The main thread's scheduling state is sampled this often, this far apart.
const STATE_SAMPLES = 10;
const STATE_SAMPLE_MS = 2;
// The file is quellix's to read and remove; should quellix be gone, it goes
// after this long.
const KEEP_MS = 30000;

function sleep(ms) { return new Promise((resolve) => setTimeout(resolve, ms)); }

// Resolves with the promise's value, or with `late` after ms.
function within(ms, promise, late) {
  let timer;
  const timeout = new Promise((resolve) => { timer = setTimeout(resolve, ms, late); });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// The main thread's scheduling state ('R' runnable, 'S' sleeping, ...), or
// null where /proc does not tell: the process's own line is its main
// thread's, whatever pid namespace it is seen from.
function mainThreadState() {
  try {
    const stat = fs.readFileSync('/proc/self/stat', 'latin1');
    return stat.charAt(stat.lastIndexOf(')') + 2) || null;
  } catch (_) {
    return null;
  }
}

// True unless the main thread sleeps through most samples.
async function mainThreadRuns() {
  let runnable = 0;
  for (let i = 0; i < STATE_SAMPLES; i++) {
    const state = mainThreadState();
    if (state === null) return true;
    if (state === 'R') runnable++;
    await sleep(STATE_SAMPLE_MS);
  }
  return runnable * 2 >= STATE_SAMPLES;
}

// Enables the Debugger domain to learn whether the main thread is paused by
// another session; resolves with { paused, resumed, ms } (resumed: the
// pauses that came meanwhile, each ended at once; ms: the time of enable
// and disable), or with paused false when the main thread stops answering. The listener stays until the domain is disabled, so that
// a pause that comes meanwhile is always resumed.
function pausedByOther(s) {
  return new Promise((resolve) => {
    const began = process.hrtime.bigint();
    const elapsed = () => Math.ceil(Number(process.hrtime.bigint() - began) / 1e6);
    let enabled = false;
    let paused = false;
    let resumed = 0;
    const onPaused = () => {
      if (!enabled) {
        paused = true; // held before the domain was enabled: not ours to end
        return;
      }
      if (resumed++ === 0) log('--stack: the application paused (a debugger statement) while the Debugger domain was on; resumed');
      s.post('Debugger.resume').catch(() => {});
    };
    const done = () => {
      s.off('Debugger.paused', onPaused);
      resolve({ paused, resumed, ms: elapsed() });
    };
    s.on('Debugger.paused', onPaused);
    const timer = setTimeout(() => resolve({ paused: false, resumed, ms: elapsed() }), NO_JAVASCRIPT_MS);
    // The pauses that come with the answer are told apart by their order.
    s.postInOrder('Debugger.enable', {}, () => {
      enabled = true;
      s.post('Debugger.disable').catch(() => {}).then(() => { clearTimeout(timer); done(); });
    });
  });
}

// What the main thread is doing: { state: 'running', stallMs, frames },
// { state: 'idle', stallMs, handles }, { state: 'blocked', waitedMs } or
// { state: 'paused' }.
async function takeStack(session) {
  return withSession(session, async (s) => {
    const asked = s.call('stack').then((text) => JSON.parse(text), (err) => ({ error: err.message }));
    const got = await within(NO_JAVASCRIPT_MS, asked, null);
    if (got === null) return { state: 'blocked', waitedMs: NO_JAVASCRIPT_MS };
    if (got.error) throw new Error(got.error);
    if (got.frames.length === 0) return { state: 'idle', stallMs: got.ms, handles: got.handles };
    if (await mainThreadRuns()) return { state: 'running', stallMs: got.ms, frames: got.frames };
    const check = await pausedByOther(s);
    if (check.paused) return { state: 'paused' };
    return { state: 'running', stallMs: got.ms + check.ms, frames: got.frames };
  });
}

// Removes the file after ms, if it is still the one written.
function removeLater(out, ms) {
  setTimeout(() => {
    try {
      const st = fs.lstatSync(out.file, { bigint: true });
      if (String(st.dev) === out.dev && String(st.ino) === out.ino) fs.unlinkSync(out.file);
    } catch (_) { /* read and removed by quellix */ }
  }, ms).unref();
}

// Writes the stack of the main thread to file, as one JSON object.
async function writeStack(session, file, keepMs = KEEP_MS) {
  const answer = await takeStack(session);
  const out = await results.ResultFile.create(file);
  out.write(JSON.stringify(answer) + '\n');
  out.finish();
  removeLater(out, keepMs);
  log(`--stack: main thread ${answer.state}`);
}

module.exports = { writeStack, pausedByOther, NO_JAVASCRIPT_MS };
