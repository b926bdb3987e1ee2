'use strict';
// The agent's own log (off until --enable_node_log) and its warnings. Nothing
// here may throw into the application.
const fs = require('fs');
const path = require('path');

const { O_WRONLY, O_APPEND, O_CREAT, O_EXCL, O_NOFOLLOW, O_NONBLOCK } = fs.constants;

let enabled = false;
let refusedSaid = false;

function logDir() {
  const dir = process.env.NODE_LOG_DIR;
  if (!dir) return '/tmp/';
  return dir.endsWith('/') ? dir : dir + '/';
}

function setEnabled(on) { enabled = on; }

function logPath() { return path.join(logDir(), `kestrun-agent-${process.pid}.log`); }

// The log names result paths and option texts: it is written only into the
// agent user's own regular file, owner-only, with no other name (a file that
// another user made first, a link to another file, or a FIFO is not used).
// Returns a descriptor, or null.
function openLog(file) {
  // O_NONBLOCK: a FIFO at the path must not block the agent on its open.
  const flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK;
  let fd;
  try {
    fd = fs.openSync(file, flags);
  } catch (err) {
    if (err.code !== 'ENOENT') return refuseLog(file, null, err.code);
    fd = fs.openSync(file, flags | O_CREAT | O_EXCL, 0o600);
    fs.fchmodSync(fd, 0o600); // whatever the umask
  }
  const st = fs.fstatSync(fd);
  if (st.isFile() && st.uid === process.geteuid() && (st.mode & 0o7777) === 0o600 && st.nlink === 1) return fd;
  return refuseLog(file, fd, `owner uid ${st.uid}, mode ${(st.mode & 0o7777).toString(8)}, ${st.nlink} link(s)${st.isFile() ? '' : ', not a regular file'}`);
}

function refuseLog(file, fd, why) {
  if (fd !== null) fs.closeSync(fd);
  if (!refusedSaid) {
    refusedSaid = true;
    stderr(`agent log ${file} is not used (${why}): it must be this user's own regular file, mode 600, with one link`);
  }
  return null;
}

function log(text) {
  if (!enabled) return;
  try {
    const fd = openLog(logPath());
    if (fd === null) return;
    try { fs.writeSync(fd, `${new Date().toISOString()} ${text}\n`); } finally { fs.closeSync(fd); }
  } catch (_) { /* a log that cannot be written must not hurt the application */ }
}

function stderr(text) {
  try { fs.writeSync(2, `kestrun-agent[${process.pid}]: ${text}\n`); } catch (_) { /* stderr closed */ }
}

// Failures after the replies have no way back to the client: stderr and the log.
function warn(text) {
  log(text);
  stderr(text);
}

// Never let a fault of the agent escape into the application.
function guard(fn) {
  try { return fn(); } catch (err) { warn(`internal error: ${err && err.stack}`); return undefined; }
}

// The same for work that goes on asynchronously.
function guardAsync(promise) {
  promise.catch((err) => warn(`internal error: ${err && err.stack}`));
}

module.exports = { log, warn, stderr, guard, guardAsync, setEnabled, logDir };
