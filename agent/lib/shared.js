'use strict';
// What the main thread and the agent's worker share.

// Key of the one global hook: the main-thread functions the worker calls
// through its inspector session (Symbol.for, so that it needs no export).
const HOOK_KEY = 'kestrun.agent.hook';

// Slots of the Int32Array over the SharedArrayBuffer the two threads share.
const SHARED = {
  SESSION: 0,    // number of the worker's connected inspector sessions
  ACTIVE: 1,     // number of running activities and commands in progress
  DRAINED: 2,    // bumped by the worker each time it has finished a drain
  SERVED: 3,     // 0 while binding, 1 once the socket is at its public path, 2 when the process ends
  SOCKET_INO: 4, // the served socket's inode, low and high 32 bits (slots 4 and 5)
  SIZE: 6,
};

function socketPath(pid) { return `/tmp/kestrun-uds-path-${pid}`; }

// The private directory the socket is bound in before it is moved to its
// public path: mkdtemp's prefix, and the one directory it goes into.
function bindDirPrefix(pid) { return `/tmp/kestrun-bind-${pid}-`; }

// An inode number as the two 32-bit halves kept in the shared slots.
function storeIno(shared, ino) {
  const big = BigInt(ino);
  Atomics.store(shared, SHARED.SOCKET_INO, Number(big & 0xffffffffn) | 0);
  Atomics.store(shared, SHARED.SOCKET_INO + 1, Number(big >> 32n) | 0);
}

function loadIno(shared) {
  const lo = BigInt(Atomics.load(shared, SHARED.SOCKET_INO) >>> 0);
  const hi = BigInt(Atomics.load(shared, SHARED.SOCKET_INO + 1) >>> 0);
  return (hi << 32n) | lo;
}

module.exports = { HOOK_KEY, SHARED, socketPath, bindDirPrefix, storeIno, loadIno };
