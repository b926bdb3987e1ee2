'use strict';
// An exclusive flock(2) on an open file, which says "a live process is
// writing this" across pid namespaces that share a directory, and ends by
// itself when the process dies. Node has no flock of its own: the system's
// flock(1) takes the lock on the descriptor it inherits, that is on the
// agent's open file description, which keeps the lock after flock(1) has
// ended. No shell, no PATH search, an empty environment.
const fs = require('fs');
const { spawn } = require('child_process');

const FLOCK_PATHS = ['/usr/bin/flock', '/bin/flock'];

let flockPath; // undefined: not looked up yet; null: none here

function findFlock() {
  if (flockPath === undefined) {
    flockPath = FLOCK_PATHS.find((p) => {
      try { fs.accessSync(p, fs.constants.X_OK); return true; } catch (_) { return false; }
    }) || null;
  }
  return flockPath;
}

// Resolves to 'locked', 'busy' (another open file holds the lock) or
// 'unavailable' (no flock(1) here, or it failed to run).
function lockExclusive(fd) {
  const bin = findFlock();
  if (bin === null) return Promise.resolve('unavailable');
  return new Promise((resolve) => {
    let child;
    try {
      child = spawn(bin, ['-x', '-n', '3'], { stdio: ['ignore', 'ignore', 'ignore', fd], env: {} });
    } catch (_) {
      resolve('unavailable');
      return;
    }
    child.on('error', () => resolve('unavailable'));
    child.on('exit', (code) => resolve(code === 0 ? 'locked' : code === 1 ? 'busy' : 'unavailable'));
  });
}

module.exports = { lockExclusive };
