'use strict';
// The agent's own log (off until --enable_node_log) and its warnings. Nothing
// here may throw into the application.
const fs = require('fs');
const path = require('path');

let enabled = false;

function logDir() {
  const dir = process.env.NODE_LOG_DIR;
  if (!dir) return '/tmp/';
  return dir.endsWith('/') ? dir : dir + '/';
}

function setEnabled(on) { enabled = on; }

function log(text) {
  if (!enabled) return;
  try {
    // Owner-only: the log names result paths and option texts.
    fs.appendFileSync(path.join(logDir(), `kestrun-agent-${process.pid}.log`),
      `${new Date().toISOString()} ${text}\n`, { mode: 0o600 });
  } catch (_) { /* a log that cannot be written must not hurt the application */ }
}

// Failures after the replies have no way back to the client: stderr and the log.
function warn(text) {
  log(text);
  try { fs.writeSync(2, `kestrun-agent[${process.pid}]: ${text}\n`); } catch (_) { /* stderr closed */ }
}

// Never let a fault of the agent escape into the application.
function guard(fn) {
  try { return fn(); } catch (err) { warn(`internal error: ${err && err.stack}`); return undefined; }
}

// The same for work that goes on asynchronously.
function guardAsync(promise) {
  promise.catch((err) => warn(`internal error: ${err && err.stack}`));
}

module.exports = { log, warn, guard, guardAsync, setEnabled, logDir };
