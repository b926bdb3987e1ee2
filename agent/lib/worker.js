'use strict';
// The agent's worker thread: serves the control socket and carries out the
// commands, so that both go on while the main thread is busy in JavaScript.
// Its listening server keeps its own event loop alive, which its inspector
// session needs for its replies; the main thread has unref'd it, so it never
// keeps the process alive.
const { parentPort, workerData } = require('worker_threads');
const fs = require('fs');
const { guard, guardAsync, warn } = require('./log');
const { MainSession } = require('./session');
const { SHARED, socketPath } = require('./shared');
const commands = require('./commands');
const flags = require('./flags');
const serve = require('./serve');

const shared = workerData.shared;
const session = new MainSession(shared);
commands.init({ session, shared, execArgv: workerData.execArgv, version: workerData.version });

// The main thread is ending: finish what runs, disconnect, and say so.
async function drain() {
  serve.setClosing();
  try {
    await commands.finishAll();
  } finally {
    session.disconnect();
    Atomics.add(shared, SHARED.DRAINED, 1);
    Atomics.notify(shared, SHARED.DRAINED);
  }
}

parentPort.on('message', (msg) => guard(() => {
  if (msg.drain) guardAsync(drain());
  else serve.onMainMessage(msg);
}));

guard(() => {
  const commandLine = workerData.execArgv.concat((process.env.NODE_OPTIONS || '').split(/\s+/).filter(Boolean));
  // Read now, so that the first --v8-options is answered at once.
  flags.loadFlagTable(commandLine);
  const file = socketPath(workerData.pid);
  // Shared memory, not a message: a main thread stuck in JavaScript never
  // reads its messages, yet removes the socket when the process ends. A
  // process that ended while the socket was being bound hears nothing of it.
  serve.start(parentPort, file, (err) => guard(() => {
    const ending = Atomics.load(shared, SHARED.SERVED) === 2;
    if (err) {
      if (!ending) warn(`control socket ${file}: ${err.message}`);
    } else if (Atomics.compareExchange(shared, SHARED.SERVED, 0, 1) === 2) {
      try { fs.unlinkSync(file); } catch (_) { /* already gone */ }
    }
  }));
});
