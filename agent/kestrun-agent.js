'use strict';
// kestrun-agent: the runtime side of quellix's control channel, as a preload
// module for stock Node.js (node --require /path/to/kestrun-agent.js app.js).
//
// Loaded, it defines process.kestrun, so that `node -p process.kestrun` tells
// quellix that this node is a kestrun runtime. With ENABLE_NODE_LOG=YES in the
// environment, in the main thread, it starts a worker thread that serves the
// control socket /tmp/kestrun-uds-path-<pid> and carries out the commands
// (lib/serve.js, lib/commands.js), also while the main thread is busy.
const { isMainThread } = require('worker_threads');

const VERSION = `kestrun-agent ${require('./package.json').version}`;
const LOADED = Symbol.for('kestrun.agent.loaded');

function main() {
  if (globalThis[LOADED]) return; // loaded twice (a second copy on NODE_OPTIONS)
  Object.defineProperty(globalThis, LOADED, { value: true, enumerable: false, configurable: true });
  Object.defineProperty(process, 'kestrun', { value: VERSION, enumerable: false, configurable: true });
  if (isMainThread && process.env.ENABLE_NODE_LOG === 'YES') require('./lib/main-thread').start(VERSION);
}

try {
  main();
} catch (err) {
  try { require('fs').writeSync(2, `kestrun-agent[${process.pid}]: internal error: ${err && err.stack}\n`); } catch (_) { /* stderr closed */ }
}
