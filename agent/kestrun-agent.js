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
const { HOOK_KEY } = require('./lib/shared');

const VERSION = `kestrun-agent ${require('./package.json').version}`;

function main() {
  // The agent's one global: a symbol-keyed hook, which also tells a second
  // copy (loaded twice, e.g. from NODE_OPTIONS and the command line) to stay out.
  const key = Symbol.for(HOOK_KEY);
  if (globalThis[key]) return;
  const hook = {};
  Object.defineProperty(globalThis, key, { value: hook, enumerable: false, configurable: true });
  Object.defineProperty(process, 'kestrun', { value: VERSION, enumerable: false, configurable: true });
  if (isMainThread && process.env.ENABLE_NODE_LOG === 'YES') require('./lib/main-thread').start(VERSION, hook);
}

try {
  main();
} catch (err) {
  try { require('fs').writeSync(2, `kestrun-agent[${process.pid}]: internal error: ${err && err.stack}\n`); } catch (_) { /* stderr closed */ }
}
