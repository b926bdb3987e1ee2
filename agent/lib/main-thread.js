'use strict';
// The agent's side in the application's main thread: the worker that serves
// the control socket, the functions it calls here through its inspector
// session, and the process's end.
//
// No signal listener at all, SIGUSR2 included (the worker needs no kick): a
// listener changes what a signal does to the process (a library that steps
// aside when others listen, node's own --heapsnapshot-signal and
// --report-on-signal, a main thread stuck in JavaScript that never runs it).
// A process killed by a signal leaves its socket and any temporary result
// file behind; the next agent to start removes them.
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const v8 = require('v8');
const { Worker } = require('worker_threads');
const { SHARED, socketPath, bindDirPrefix, loadIno } = require('./shared');
const { warn, stderr, guard, logDir } = require('./log');
const marks = require('./marks');
const { permissionDenial } = require('./permission');
const stackCapture = require('./stack-capture');
// Loaded now: it keeps built-ins as they are before the application runs.
const need = require('./need');

// The process's end waits at most this long for the worker to write the
// running profiles and close its sessions (only when something runs).
const DRAIN_WAIT_MS = 1000;
// Set by the application: it accepts that a heap snapshot may take the
// memory it has left. Read once, here.
const IGNORE_MEMORY_ENV = 'KESTRUN_SNAPSHOT_IGNORE_MEMORY';

let worker = null;
let shared = null;
// This agent's marks in the log directory and /tmp (lib/marks.js), as
// named when it starts.
const markId = marks.newId();
// The worker binds the socket in private directories named after this id.
const bindId = crypto.randomBytes(8).toString('hex');
let markFiles = [];
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
  writeSnapshot: (args) => require('./heap-writer').writeSnapshot(args),
  // Called directly, so that its own frames are the only ones it leaves out.
  stack: stackCapture.capture,
  // What a heap snapshot would need (lib/need.js); `tally` is called by the
  // census itself, with the list of the heap's objects.
  heapNeed: (count) => need.mainAnswer(count),
  tally: (objects) => need.tally(objects),
};

// Has the worker write the running profiles and close its sessions, while
// this thread waits (V8 serves the sessions' messages during Atomics.wait).
function drain() {
  if (!worker || (Atomics.load(shared, SHARED.SESSION) === 0 && Atomics.load(shared, SHARED.ACTIVE) === 0)) return;
  const seen = Atomics.load(shared, SHARED.DRAINED);
  worker.postMessage({ drain: true });
  Atomics.wait(shared, SHARED.DRAINED, seen, DRAIN_WAIT_MS);
}

// Removes the socket, if the path still names it; or, when the process ends
// before the worker has put it in place, the private directory it was being
// bound in.
function removeSocket() {
  if (!shared) return;
  const state = Atomics.exchange(shared, SHARED.SERVED, 2);
  if (state === 2) return; // removed already
  if (state === 1) {
    const file = socketPath(process.pid);
    try {
      if (fs.lstatSync(file, { bigint: true }).ino === loadIno(shared)) fs.unlinkSync(file);
    } catch (_) { /* already gone */ }
    return;
  }
  // Only this agent's own directories: a name of that shape that anyone
  // could have made (a link to a directory elsewhere, say) is left alone.
  const prefix = `${bindDirPrefix(process.pid)}${bindId}-`;
  try {
    for (const name of fs.readdirSync(path.dirname(prefix))) {
      const dir = path.join(path.dirname(prefix), name);
      if (!dir.startsWith(prefix) || !isOwnDirectory(dir)) continue;
      try {
        if (fs.lstatSync(path.join(dir, 'socket')).isSocket()) fs.unlinkSync(path.join(dir, 'socket'));
      } catch (_) { /* not bound yet */ }
      try { fs.rmdirSync(dir); } catch (_) { /* not empty: not ours to remove */ }
    }
  } catch (_) { /* no /tmp to look in */ }
}

function isOwnDirectory(dir) {
  try {
    const st = fs.lstatSync(dir);
    return st.isDirectory() && st.uid === process.geteuid();
  } catch (_) {
    return false;
  }
}

// This agent's marks go with it; one that a killed process leaves behind
// is removed by the next agent to start.
function removeMarks() {
  for (const file of markFiles) {
    try { fs.unlinkSync(file); } catch (_) { /* never made */ }
  }
}

// Returns false, after one line on stderr, when node's permission model
// denies what the agent needs.
function start(version, hook) {
  const dirs = [...new Set([logDir(), '/tmp/'].map((d) => path.resolve(d) + '/'))];
  const denial = permissionDenial(process.permission, dirs);
  if (denial) {
    stderr(`not started: ${denial}`);
    return false;
  }
  Object.assign(hook, mainThreadFunctions);
  markFiles = dirs.map((d) => marks.markPath(d, markId));
  shared = new Int32Array(new SharedArrayBuffer(SHARED.SIZE * 4));
  worker = new Worker(path.join(__dirname, 'worker.js'), {
    workerData: { shared, execArgv: process.execArgv, pid: process.pid, version, markId, bindId, ignoreMemory: process.env[IGNORE_MEMORY_ENV] === '1' },
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
  process.on('exit', () => guard(() => { drain(); removeSocket(); removeMarks(); }));
  return true;
}

module.exports = { start };
