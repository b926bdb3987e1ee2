'use strict';
// What killed processes of this user left behind, removed by the next agent
// that starts (once it serves its own socket), so that nothing piles up and
// no agent later takes a dead socket for a live one:
//
//   /tmp/kestrun-uds-path-*  control sockets that nobody serves: sockets of
//                            this user, last changed more than STALE_MS ago,
//                            that refuse a connection;
//   /tmp/kestrun-bind-*      the private directories sockets are bound in:
//                            empty real directories of this user, last
//                            changed more than STALE_MS ago;
//   .<name>.<id>.<hex>.tmp   temporary result files in the log directory and
//                            /tmp whose writer's mark refuses (lib/marks.js):
//                            this user's regular files, and the dead marks.
//
// Nothing of another user, nothing through a link: lstat, rmdir and rename
// never follow one, and a name is removed only while it still names what
// was judged.
const fs = require('fs');
const path = require('path');
const { log } = require('./log');
const marks = require('./marks');
const { markedDirs, MARKED_TEMP } = require('./results');

// What a live process keeps is younger than this, or answers.
const STALE_MS = 60 * 1000;
// At most this many directory entries are looked at in each directory, and
// this many sockets (control sockets and marks) asked, so that a crowded
// /tmp costs little.
const SCAN_MAX = 10000;
const ASK_MAX = 256;

const CONTROL_SOCKET = /^kestrun-uds-path-\d+$/;
const BIND_DIR = /^kestrun-bind-\d+-/;

// The entries of dir, at most SCAN_MAX; none when it cannot be read.
async function entries(dir) {
  const list = [];
  let handle;
  try { handle = await fs.promises.opendir(dir); } catch (_) { return list; }
  try {
    for await (const entry of handle) {
      if (list.length >= SCAN_MAX) break;
      list.push(entry);
    }
  } catch (_) { /* the directory went away */ }
  return list;
}

// lstat of this user's file, older than STALE_MS, that test accepts; or null.
function ownStale(file, test) {
  try {
    const st = fs.lstatSync(file, { bigint: true });
    const old = Number(st.mtimeMs) < Date.now() - STALE_MS;
    return st.uid === BigInt(process.geteuid()) && old && test(st) ? st : null;
  } catch (_) {
    return null;
  }
}

// Control sockets of this user that nobody serves any more.
async function staleSockets(dir, list, budget) {
  let removed = 0;
  for (const entry of list) {
    if (!CONTROL_SOCKET.test(entry.name) || budget.asked >= ASK_MAX) continue;
    const file = path.join(dir, entry.name);
    const st = ownStale(file, (s) => s.isSocket());
    if (!st) continue;
    budget.asked++;
    if (await marks.socketState(file) !== 'refused' || !marks.removeIfUnchanged(file, st)) continue;
    removed++;
    log(`removed ${file}, a control socket that nobody serves`);
  }
  return removed;
}

// Empty bind directories of this user; rmdir leaves one that is not empty.
function oldBindDirectories(dir, list) {
  let removed = 0;
  for (const entry of list) {
    if (!BIND_DIR.test(entry.name)) continue;
    const file = path.join(dir, entry.name);
    if (!ownStale(file, (s) => s.isDirectory())) continue;
    try {
      fs.rmdirSync(file);
      removed++;
      log(`removed ${file}, an empty bind directory`);
    } catch (_) { /* not empty, or gone */ }
  }
  return removed;
}

// Temporary files whose writer is dead, with its mark: only this user's, and
// only those whose writer's mark is there and refuses. A mark that is gone (a
// cleaner of old files in /tmp may remove a long-running agent's) proves
// nothing, and nor does a file of the same shape that another program of
// this user made.
async function deadWritersFiles(dir, list, budget) {
  let removed = 0;
  const byId = new Map(); // mark id -> this user's temporary files of that writer
  for (const entry of list) {
    const m = MARKED_TEMP.exec(entry.name) || marks.MARK_NAME.exec(entry.name);
    if (!m || m[1] === marks.id()) continue;
    if (!byId.has(m[1])) byId.set(m[1], []);
    const file = path.join(dir, entry.name);
    if (MARKED_TEMP.test(entry.name) && ownFile(file)) byId.get(m[1]).push(file);
  }
  for (const [markId, temps] of byId) {
    if (budget.asked++ >= ASK_MAX) break;
    if (await marks.writerState(dir, markId) !== 'dead') continue;
    for (const file of temps) {
      try {
        fs.unlinkSync(file);
        removed++;
        log(`removed ${file}, left by a writer that ended before it was done`);
      } catch (_) { /* gone already */ }
    }
  }
  return removed;
}

function ownFile(file) {
  try {
    const st = fs.lstatSync(file);
    return st.isFile() && st.uid === process.geteuid();
  } catch (_) {
    return false;
  }
}

// Makes this agent's marks, then sweeps; resolves to the number of files
// and directories removed.
async function sweep() {
  let removed = 0;
  const budget = { asked: 0 };
  for (const dir of markedDirs()) {
    await marks.ensure(dir);
    const list = await entries(dir);
    if (dir === '/tmp') {
      removed += await staleSockets(dir, list, budget);
      removed += oldBindDirectories(dir, list);
    }
    removed += await deadWritersFiles(dir, list, budget);
  }
  return removed;
}

module.exports = { sweep, STALE_MS };
