'use strict';
// "A live agent is writing here": each agent keeps, in the directories it
// writes result files to, a mark .kestrun-agent.<id>.sock, a socket that its
// worker listens on for its whole life, and names its temporary files after
// the mark's id. The kernel takes a connection to a live agent's mark and
// refuses one to the mark of an agent that died (nobody listens there any
// more), in every pid, mount or network namespace that shares the directory,
// and the question costs no child process. A pid proves nothing: a sidecar in
// another pid namespace may share the directory.
//
// A socket file answers only on its own host: in a directory shared over the
// network, another host's live agent would look dead. A mark's id therefore
// begins with 8 hex digits of this boot's id, and only the marks of this
// boot of this host are judged; any other proves nothing.
const crypto = require('crypto');
const fs = require('fs');
const net = require('net');
const path = require('path');

const MARK_NAME = /^\.kestrun-agent\.([0-9a-f]{16})\.sock$/;
// A socket's path has at most this many bytes, its NUL not counted.
const SOCKET_PATH_MAX = 107;

let agentId = null;
let bootHex = null;
const marks = new Map(); // directory -> { server, dev, ino }

// 8 hex digits of this boot's id; random where the system does not tell it,
// so that no other agent takes such a mark for one of its own boot.
function bootPrefix() {
  if (bootHex === null) {
    try {
      const m = /^([0-9a-f]{8})-/.exec(fs.readFileSync('/proc/sys/kernel/random/boot_id', 'utf8'));
      bootHex = m ? m[1] : null;
    } catch (_) { /* no /proc */ }
    if (bootHex === null) bootHex = crypto.randomBytes(4).toString('hex');
  }
  return bootHex;
}

// A new agent's id: this boot's prefix and 8 random hex digits.
function newId() { return bootPrefix() + crypto.randomBytes(4).toString('hex'); }

function init(id) { agentId = id; }
function id() { return agentId; }

function markPath(dir, markId = agentId) { return path.join(dir, `.kestrun-agent.${markId}.sock`); }

// This agent's mark in dir is in place: the name still names its socket.
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

// A server that takes every connection and closes it at once, listening at
// file; resolves to it, or to null when it cannot listen there. It keeps
// nothing alive: the agent's worker lives as long as its process anyway.
function listenAt(file) {
  return new Promise((resolve) => {
    const server = net.createServer((sock) => { sock.on('error', () => {}); sock.destroy(); });
    server.once('error', () => resolve(null));
    server.listen(file, () => {
      server.on('error', () => {});
      server.unref();
      resolve(server);
    });
  });
}

// Makes this agent's mark in dir, unless it holds one. Resolves to true when
// the mark is in place; false when it cannot be (a directory that is not
// writable, a path too long for a socket, a file system without sockets).
// The socket listens under a private name first and is then renamed to its
// public name, over a mark of ours that something replaced: the public name
// never names a socket that refuses while this agent lives.
async function ensure(dir) {
  if (holds(dir)) return true;
  const old = marks.get(dir);
  if (old) old.server.close();
  marks.delete(dir);
  const privateName = path.join(dir, `.kestrun-agent.${agentId}.${crypto.randomBytes(4).toString('hex')}.new`);
  if (Buffer.byteLength(privateName) > SOCKET_PATH_MAX) return false;
  const server = await listenAt(privateName);
  if (server === null) return false;
  try {
    fs.chmodSync(privateName, 0o600);
    const st = fs.lstatSync(privateName, { bigint: true });
    if (holds(dir)) throw new Error('made meanwhile'); // by a concurrent call
    fs.renameSync(privateName, markPath(dir));
    marks.set(dir, { server, dev: st.dev, ino: st.ino });
    return true;
  } catch (_) {
    server.close();
    return holds(dir);
  } finally {
    fs.rmSync(privateName, { force: true });
  }
}

// Resolves to 'listening' when a connection to the socket at file is taken
// (or the backlog is full: someone listens), 'refused' when nobody listens,
// and 'unknown' for anything else.
function socketState(file) {
  return new Promise((resolve) => {
    const sock = net.connect(file);
    sock.once('connect', () => { sock.destroy(); resolve('listening'); });
    sock.once('error', (err) => resolve(err.code === 'ECONNREFUSED' ? 'refused' : err.code === 'EAGAIN' ? 'listening' : 'unknown'));
  });
}

// Removes file only if it is still the file st describes: it is moved aside
// first and looked at there, so that a live socket renamed to that name
// meanwhile is put back, never removed. True when removed.
function removeIfUnchanged(file, st) {
  const aside = path.join(path.dirname(file), `.kestrun-aside.${crypto.randomBytes(8).toString('hex')}`);
  try {
    fs.renameSync(file, aside);
  } catch (_) {
    return false;
  }
  let same = false;
  try {
    const now = fs.lstatSync(aside, { bigint: true });
    same = now.ino === st.ino && now.dev === st.dev;
  } catch (_) { /* gone meanwhile */ }
  if (same) {
    fs.rmSync(aside, { force: true });
    return true;
  }
  // Not what was judged: back to its name, unless the name is taken again
  // (then it stays aside rather than being lost).
  try {
    fs.linkSync(aside, file);
    fs.rmSync(aside, { force: true });
  } catch (_) { /* left aside */ }
  return false;
}

// Whether the agent with markId, which has temporary files in dir, is alive:
// 'alive', 'dead', 'gone' (no mark: removed by hand or by a cleaner of old
// files in /tmp, maybe while its agent still writes) or 'unknown' (a mark of
// another boot or host, or one that is not this user's own socket: anyone
// may make a file of that name). A dead agent's mark is removed.
async function writerState(dir, markId) {
  if (!markId.startsWith(bootPrefix())) return 'unknown';
  const file = markPath(dir, markId);
  let st;
  try {
    st = fs.lstatSync(file, { bigint: true });
  } catch (err) {
    return err.code === 'ENOENT' ? 'gone' : 'unknown';
  }
  if (!st.isSocket() || st.uid !== BigInt(process.geteuid())) return 'unknown';
  const state = await socketState(file);
  if (state === 'listening') return 'alive';
  if (state !== 'refused') return 'unknown';
  removeIfUnchanged(file, st);
  return 'dead';
}

module.exports = { newId, init, id, ensure, holds, writerState, markPath, socketState, removeIfUnchanged, MARK_NAME };
