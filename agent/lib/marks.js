'use strict';
// "A live agent is writing here": each agent keeps, in the directories it
// writes result files to, a mark file .kestrun-agent.<id>.lock that it holds
// flock'ed for its whole life, and names its temporary files after the
// mark's id. A temporary file whose mark can be locked, or is gone, belongs
// to a writer that died. A pid proves nothing: a sidecar in another pid
// namespace may share the directory.
//
// Taking a flock costs a fork (lib/flock.js), and a fork of a large process
// makes every page it writes afterwards fault once (copy-on-write): right
// before a heap snapshot that slowed the snapshot by half. So the marks of
// the log directory and /tmp are made when the agent starts, while the
// process is small, and a result file costs no fork.
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { lockExclusive } = require('./flock');

const MARK_NAME = /^\.kestrun-agent\.([0-9a-f]{16})\.lock$/;

let agentId = null;
const marks = new Map(); // directory -> { fd, dev, ino }

function init(id) { agentId = id; }
function id() { return agentId; }

function markPath(dir, markId = agentId) { return path.join(dir, `.kestrun-agent.${markId}.lock`); }

// This agent's mark in dir is in place: the name still names the locked file.
function holds(dir) {
  const mark = marks.get(dir);
  if (!mark) return false;
  try {
    const st = fs.lstatSync(markPath(dir), { bigint: true });
    return st.ino === mark.ino && st.dev === mark.dev;
  } catch (_) {
    return false;
  }
}

// Makes and locks this agent's mark in dir, unless it holds one. Resolves to
// true when the mark is in place; false when it cannot be (no flock(1), a
// directory that is not writable).
async function ensure(dir) {
  if (holds(dir)) return true;
  const old = marks.get(dir);
  if (old) fs.closeSync(old.fd);
  marks.delete(dir);
  // Made and locked under a private name first, then renamed to its public
  // name, over a mark of ours that something replaced: a sweep never finds
  // this live agent's mark unlocked.
  const privateName = path.join(dir, `.kestrun-agent.${agentId}.${crypto.randomBytes(4).toString('hex')}.new`);
  let fd;
  try {
    fd = fs.openSync(privateName, 'wx', 0o600);
  } catch (_) {
    return false;
  }
  try {
    const st = fs.fstatSync(fd, { bigint: true });
    if (await lockExclusive(fd) !== 'locked') throw new Error('not locked');
    if (holds(dir)) throw new Error('made meanwhile'); // by a concurrent call
    fs.renameSync(privateName, markPath(dir));
    marks.set(dir, { fd, dev: st.dev, ino: st.ino });
    fd = null;
    return true;
  } catch (_) {
    return holds(dir);
  } finally {
    fs.rmSync(privateName, { force: true });
    if (fd !== null) fs.closeSync(fd);
  }
}

// Whether the agent with markId, which has a temporary file in dir, is alive:
// 'alive', 'dead', 'gone' (no mark: removed by hand or by a cleaner of old
// files in /tmp, maybe while its agent still writes) or 'unknown' (no
// flock(1) here, or a mark that is not this user's own single-link file:
// anyone may make a file of that name). A dead agent's mark is removed.
async function writerState(dir, markId) {
  const file = markPath(dir, markId);
  let fd;
  try {
    fd = fs.openSync(file, fs.constants.O_RDONLY | fs.constants.O_NOFOLLOW | fs.constants.O_NONBLOCK);
  } catch (err) {
    return err.code === 'ENOENT' ? 'gone' : 'unknown';
  }
  try {
    const st = fs.fstatSync(fd, { bigint: true });
    if (!st.isFile() || st.uid !== BigInt(process.geteuid()) || st.nlink !== 1n) return 'unknown';
    const lock = await lockExclusive(fd);
    if (lock === 'busy') return 'alive';
    if (lock !== 'locked') return 'unknown';
    // Removed while locked, and only if the name still names it.
    const now = fs.lstatSync(file, { bigint: true });
    if (now.ino === st.ino && now.dev === st.dev) fs.unlinkSync(file);
    return 'dead';
  } catch (_) {
    return 'unknown';
  } finally {
    fs.closeSync(fd);
  }
}

module.exports = { init, id, ensure, holds, writerState, markPath, MARK_NAME };
