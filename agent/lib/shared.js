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
  SERVED: 3,   // 0 while binding, 1 once the socket is at its public path, 2 when the process ends
  SIZE: 4,
};

function socketPath(pid) { return `/tmp/kestrun-uds-path-${pid}`; }

// The private directory the socket is bound in before it is moved to its
// public path: mkdtemp's prefix, and the one directory it goes into.
function bindDirPrefix(pid) { return `/tmp/kestrun-bind-${pid}-`; }

module.exports = { HOOK_KEY, SHARED, socketPath, bindDirPrefix };
