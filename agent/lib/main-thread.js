'use strict';
// The agent's side in the application's main thread: the worker that serves
// the control socket, the SIGUSR2 kick passed on to it, the functions it calls
// here through its inspector session, and the process's end.
const fs = require('fs');
const path = require('path');
const v8 = require('v8');
const { Worker } = require('worker_threads');
const { SHARED, socketPath, bindDirPrefix } = require('./shared');
const { warn, guard } = require('./log');

// At most this long the process's end waits for the worker to write out
// running activities (only when something runs).
const DRAIN_WAIT_MS = 30000;
const TERMINATING_SIGNALS = { SIGHUP: 1, SIGINT: 2, SIGTERM: 15 };

let worker = null;
let shared = null;
let gcProfiler = null;

// Called by the worker through Runtime.evaluate; they run on this thread,
// also when it is busy (V8 interrupts it), so the report's JavaScript stack
// is the application's.
const mainThreadFunctions = {
  // getReport() rather than writeReport(), which announces itself on stderr.
  report: () => JSON.stringify(process.report.getReport(), null, 2),
  gcStart: () => {
    gcProfiler = new v8.GCProfiler();
    gcProfiler.start();
  },
  gcStop: () => {
    const data = gcProfiler ? gcProfiler.stop() : { statistics: [] };
    gcProfiler = null;
    return JSON.stringify(data.statistics);
  },
};

// Signals ignored when the agent is loaded stay ignored.
function ignoredSignals() {
  try {
    const mask = BigInt('0x' + /^SigIgn:\s*([0-9a-f]+)$/m.exec(fs.readFileSync('/proc/self/status', 'utf8'))[1]);
    return (signo) => ((mask >> BigInt(signo - 1)) & 1n) === 1n;
  } catch (_) {
    return () => false;
  }
}

// Has the worker finish what runs and disconnect its session, while this
// thread waits (V8 serves the session's messages during Atomics.wait).
function drain() {
  if (!worker || (Atomics.load(shared, SHARED.SESSION) === 0 && Atomics.load(shared, SHARED.ACTIVE) === 0)) return;
  const seen = Atomics.load(shared, SHARED.DRAINED);
  worker.postMessage({ drain: true });
  Atomics.wait(shared, SHARED.DRAINED, seen, DRAIN_WAIT_MS);
}

// Removes the socket; or, when the process ends before the worker has put
// it in place, the private directory it was being bound in.
function removeSocket() {
  if (!shared) return;
  const state = Atomics.exchange(shared, SHARED.SERVED, 2);
  if (state === 2) return; // removed already
  if (state === 1) {
    try { fs.unlinkSync(socketPath(process.pid)); } catch (_) { /* already gone */ }
    return;
  }
  const prefix = bindDirPrefix(process.pid);
  try {
    for (const name of fs.readdirSync(path.dirname(prefix))) {
      const dir = path.join(path.dirname(prefix), name);
      if (!dir.startsWith(prefix)) continue;
      try { fs.unlinkSync(path.join(dir, 'socket')); } catch (_) { /* not bound yet */ }
      try { fs.rmdirSync(dir); } catch (_) { /* not empty: not ours to remove */ }
    }
  } catch (_) { /* no /tmp to look in */ }
}

// SIGINT, SIGTERM, SIGHUP: when the application has no handler of its own,
// write what runs, remove the socket and end the way node ends without the
// agent: killed by the signal. A PID 1 ignores these signals by default, so
// there the agent does nothing and stays reachable.
function onTerminatingSignal(signal) {
  if (process.listenerCount(signal) > 1) return; // the application decides
  if (process.pid === 1) return;
  drain();
  removeSocket();
  process.removeListener(signal, terminatingHandlers[signal]);
  process.kill(process.pid, signal);
}
const terminatingHandlers = {};

function start(version, hook) {
  Object.assign(hook, mainThreadFunctions);
  shared = new Int32Array(new SharedArrayBuffer(SHARED.SIZE * 4));
  worker = new Worker(path.join(__dirname, 'worker.js'), {
    workerData: { shared, execArgv: process.execArgv, pid: process.pid, version },
    execArgv: [],
    // Small young generation: the worker's idle cost is its memory.
    resourceLimits: { maxYoungGenerationSizeMb: 4, maxOldGenerationSizeMb: 512 },
  });
  worker.on('error', (err) => guard(() => warn(`agent worker failed: ${err && err.stack}`)));
  worker.on('exit', () => { worker = null; });
  worker.on('message', (msg) => guard(() => {
    if (msg.ping) worker.postMessage({ pong: msg.ping });
  }));
  // After the listeners, which would take a reference again.
  worker.unref();
  // The kick listener stays installed for the whole life of the process:
  // quellix checks that SIGUSR2 is caught before it sends the kick.
  process.on('SIGUSR2', () => guard(() => { if (worker) worker.postMessage({ kick: true }); }));
  const ignored = ignoredSignals();
  for (const [signal, signo] of Object.entries(TERMINATING_SIGNALS)) {
    if (ignored(signo)) continue;
    terminatingHandlers[signal] = () => guard(() => onTerminatingSignal(signal));
    process.on(signal, terminatingHandlers[signal]);
  }
  process.on('exit', () => guard(() => { drain(); removeSocket(); }));
}

module.exports = { start };
