'use strict';
// The agent's worker thread: serves the control socket and carries out the
// commands, so that both go on while the main thread is busy in JavaScript.
// Its listening server keeps its own event loop alive, which its inspector
// sessions need for their replies; the main thread has unref'd it, so it
// never keeps the process alive.
const { parentPort, workerData } = require('worker_threads');
const fs = require('fs');
const { guard, guardAsync, warn, log } = require('./log');
const { MainSession } = require('./session');
const { SHARED, socketPath, storeIno } = require('./shared');
const commands = require('./commands');
const flags = require('./flags');
const marks = require('./marks');
const { sweep } = require('./sweep');
const serve = require('./serve');

const shared = workerData.shared;
marks.init(workerData.markId);
const session = new MainSession(shared);
const engine = new MainSession(shared);
commands.init({
  session, engine, shared, execArgv: workerData.execArgv, version: workerData.version,
  mainAnswers: serve.mainIsFree, ignoreMemory: workerData.ignoreMemory,
});

// The main thread is ending and waits for this: write what can be written
// at once, close the sessions, and say so.
async function drain() {
  serve.setClosing();
  const disconnect = () => { session.disconnect(); engine.disconnect(); };
  try {
    await commands.finishAll(disconnect);
  } finally {
    disconnect();
    Atomics.add(shared, SHARED.DRAINED, 1);
    Atomics.notify(shared, SHARED.DRAINED);
  }
}

parentPort.on('message', (msg) => guard(() => {
  if (msg.drain) guardAsync(drain());
  else serve.onMainMessage(msg);
}));

guard(() => {
  // The flag table itself is read on the first command that needs it.
  flags.init(workerData.execArgv.concat((process.env.NODE_OPTIONS || '').split(/\s+/).filter(Boolean)));
  const file = socketPath(workerData.pid);
  // Shared memory, not a message: a main thread stuck in JavaScript never
  // reads its messages, yet removes the socket when the process ends. A
  // process that ended while the socket was being bound hears nothing of it.
  serve.start(parentPort, file, workerData.bindId, (err, ino) => guard(() => {
    const ending = Atomics.load(shared, SHARED.SERVED) === 2;
    if (err) {
      if (!ending) warn(`control socket ${file}: ${err.message}`);
      return;
    }
    storeIno(shared, ino);
    if (Atomics.compareExchange(shared, SHARED.SERVED, 0, 1) === 2) {
      try { fs.unlinkSync(file); } catch (_) { /* already gone */ }
      return;
    }
    // This agent's marks, and what killed processes of this user left
    // behind, once this process is reachable.
    guardAsync(sweep().then((n) => { if (n > 0) log(`${n} leftover file(s) removed`); }));
  }));
});
