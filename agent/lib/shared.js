'use strict';
// What the main thread and the agent's worker share.

// Key of the one global hook: the main-thread functions the worker calls
// through its inspector session (Symbol.for, so that it needs no export).
const HOOK_KEY = 'kestrun.agent.hook';

// Slots of the Int32Array over the SharedArrayBuffer the two threads share.
const SHARED = {
  SESSION: 0,  // 1 while the worker's inspector session is connected
  ACTIVE: 1,   // number of running activities and commands in progress
  DRAINED: 2,  // bumped by the worker each time it has finished a drain
  SIZE: 4,
};

function socketPath(pid) { return `/tmp/kestrun-uds-path-${pid}`; }

module.exports = { HOOK_KEY, SHARED, socketPath };
