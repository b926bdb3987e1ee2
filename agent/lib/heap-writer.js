'use strict';
// Runs on the main thread, called by the worker through its inspector
// session: writes a heap snapshot (a timeline's, while allocation tracking
// runs) into the temporary file the worker created, opened and locked.
//
//   native  v8.writeHeapSnapshot() into /proc/self/fd/<fd>: node's own code,
//           at node's own speed; it cannot be stopped midway, so it relies
//           on the room check right before it (with a census of the heap's
//           objects when the heap's figures leave it open; not while a
//           timeline runs, whose allocation tracking a census would end).
//   stream  the inspector's chunks, written here as they come; every
//           CHECK_BYTES the disk's free space is looked at, and the writing
//           stops before the file system is left below its floor.
//
// /proc/self/fd/<fd> reopens the open file itself, not a path: a name
// swapped meanwhile is not followed, and node's O_TRUNC meets only the
// worker's new, empty file. A process that is ending gets nothing written:
// its end is never held up by a snapshot.
const fs = require('fs');
const v8 = require('v8');
const inspector = require('inspector');
const room = require('./room');
const need = require('./need');

const CHECK_BYTES = 8 * 1024 * 1024;

// { ok } or { refused | aborted | abandoned | error: text }.
function writeSnapshot({ fd, dev, ino, mode, what, dir, ignoreMemory }) {
  // process.exit(), the loop's end and an uncaught exception set it before 'exit'.
  if (process._exiting) return { abandoned: 'the process is ending' };
  const file = `/proc/self/fd/${fd}`;
  let st;
  try {
    st = fs.statSync(file, { bigint: true });
  } catch (err) {
    return { error: `${file}: ${err.message}` };
  }
  if (String(st.dev) !== dev || String(st.ino) !== ino) return { error: `${file} is not the agent's temporary file` };
  const refusal = checkRoom(what, dir, ignoreMemory);
  if (refusal) return { refused: refusal };
  const before = need.beforeSnapshot();
  const res = mode === 'native' ? writeNative(fd, file, st) : writeStream(fd, dir);
  // What this snapshot took, for the estimate of the next one.
  if (res.ok) res.growth = (need.afterSnapshot(before) || {}).growth;
  return res;
}

// The last room check, with the heap's figures of the moment.
function checkRoom(what, dir, ignoreMemory) {
  const timeline = what === 'heap timeline';
  let verdict = room.check(what, dir, need.mainAnswer(false, timeline), ignoreMemory, timeline);
  if (verdict && verdict.open) verdict = room.check(what, dir, need.mainAnswer(true), ignoreMemory, true);
  return verdict && verdict.refusal;
}

function writeNative(fd, file, st) {
  try {
    v8.writeHeapSnapshot(file);
    return { ok: true };
  } catch (err) {
    closeCopies(fd, st);
    return { error: err.message };
  }
}

// node keeps its own descriptor of the file open when a write fails: it
// would hold the removed file's space until the process ends. The worker's
// descriptor stays: the worker closes it.
function closeCopies(fd, st) {
  let fds = [];
  try { fds = fs.readdirSync('/proc/self/fd'); } catch (_) { return; }
  for (const name of fds) {
    try {
      const other = fs.fstatSync(Number(name), { bigint: true });
      if (Number(name) !== fd && other.dev === st.dev && other.ino === st.ino) fs.closeSync(Number(name));
    } catch (_) { /* closed meanwhile */ }
  }
}

function writeStream(fd, dir) {
  const state = { unchecked: 0, stop: null };
  const session = new inspector.Session();
  session.connect();
  session.on('HeapProfiler.addHeapSnapshotChunk', (m) => {
    if (state.stop === null) writeChunk(fd, dir, m.params.chunk, state);
  });
  let failure = null;
  try {
    // A local session answers synchronously: the chunks are all written when post returns.
    session.post('HeapProfiler.takeHeapSnapshot', { reportProgress: false }, (err) => { failure = err; });
  } finally {
    session.disconnect();
  }
  if (failure) return { error: failure.message };
  return state.stop || { ok: true };
}

function writeChunk(fd, dir, chunk, state) {
  try {
    // A string is written without a Buffer of its own, unless a write falls short.
    const bytes = Buffer.byteLength(chunk);
    const done = fs.writeSync(fd, chunk);
    if (done < bytes) {
      const rest = Buffer.from(chunk, 'utf8');
      for (let off = done; off < rest.length;) off += fs.writeSync(fd, rest, off, rest.length - off);
    }
    state.unchecked += bytes;
    if (state.unchecked < CHECK_BYTES) return;
    state.unchecked = 0;
    const d = room.disk(dir);
    if (d && d.free < d.floor + CHECK_BYTES) {
      state.stop = { aborted: `stopped: ${dir} would be left with less than ${room.mb(d.floor)} MB free (${room.mb(d.free)} MB now)` };
    }
  } catch (err) {
    state.stop = { error: err.message };
  }
  // V8 goes on building the rest of the snapshot, which is not written: the
  // space the partial file takes is given back now, not at its end.
  if (state.stop !== null) {
    try { fs.ftruncateSync(fd, 0); } catch (_) { /* the file is removed afterwards anyway */ }
  }
}

module.exports = { writeSnapshot };
