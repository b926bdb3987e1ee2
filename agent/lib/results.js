'use strict';
// Result files are evidence: each is written under an exclusive, unpredictable
// temporary name in its own directory, owner-only, and put in place with a
// hard link, which fails rather than replace a file that exists meanwhile. A
// failed write closes and removes the temporary file at once and publishes
// nothing. While it is written, the temporary file is flock'ed: a process
// killed meanwhile leaves it unlocked, and the next agent to start removes it.
const fs = require('fs');
const path = require('path');
const crypto = require('crypto');
const { log, logDir } = require('./log');
const { lockExclusive } = require('./flock');
const status = require('./status');

// .<result name>.<16 hex digits>.tmp
const TEMP_NAME = /^\..+\.[0-9a-f]{16}\.tmp$/;
// The sweep at start looks at this many directory entries and locks this
// many candidates at most, so that a crowded /tmp costs little.
const SWEEP_SCAN_MAX = 10000;
const SWEEP_LOCK_MAX = 32;

const inFlight = new Set(); // result paths reserved by an accepted message

// Why a result path cannot be taken now, or null.
function checkResultPath(file) {
  if (!path.isAbsolute(file)) return `result path "${file}" is not absolute`;
  if (inFlight.has(file)) return `result file ${file} is being written; try again in a second`;
  if (exists(file)) return `result file ${file} already exists; try again in a second`;
  const dir = path.dirname(file);
  if (!directoryMayExist(dir)) return `cannot write result file: directory ${dir} does not exist`;
  try {
    fs.accessSync(dir, fs.constants.W_OK);
  } catch (_) {
    return `cannot write result file: directory ${dir} is not writable`;
  }
  return null;
}

// False when dir is surely missing (or not a directory); a directory that
// cannot be looked at is left to the writability check.
function directoryMayExist(dir) {
  try {
    return fs.statSync(dir).isDirectory();
  } catch (err) {
    return err.code !== 'ENOENT' && err.code !== 'ENOTDIR';
  }
}

function exists(file) {
  try { fs.lstatSync(file); return true; } catch (_) { return false; }
}

function reserve(file) { inFlight.add(file); }
function release(file) { inFlight.delete(file); }

// A result file being written: write() keeps the first failure, removes the
// temporary file at once and ignores what follows; finish() publishes the
// file or throws that failure, and closes the descriptor in every case.
class ResultFile {
  constructor(file) {
    this.file = file;
    this.tmp = path.join(path.dirname(file), `.${path.basename(file)}.${crypto.randomBytes(8).toString('hex')}.tmp`);
    this.error = null;
    this.fd = fs.openSync(this.tmp, 'wx', 0o600);
    try {
      fs.fchmodSync(this.fd, 0o600);
      const st = fs.fstatSync(this.fd, { bigint: true });
      this.dev = String(st.dev);
      this.ino = String(st.ino);
    } catch (err) {
      this.abandon();
      throw err;
    }
  }

  // A result file whose temporary file is locked for the time of the
  // writing. A sweep that locked it first (it takes the file for a dead
  // writer's) removes it: then the next name is taken.
  static async create(file) {
    for (let attempt = 0; ; attempt++) {
      const out = new ResultFile(file);
      const lock = await lockExclusive(out.fd);
      if (lock === 'unavailable') log(`no flock(1) here: ${out.tmp} is written without a lock`);
      if (lock !== 'busy' && out.isLinked()) return out;
      out.abandon();
      if (attempt > 0) throw new Error(`cannot lock a temporary file for ${file}`);
    }
  }

  // The temporary name still names this file.
  isLinked() {
    try {
      const st = fs.lstatSync(this.tmp, { bigint: true });
      return String(st.ino) === this.ino && String(st.dev) === this.dev;
    } catch (_) {
      return false;
    }
  }

  write(data) {
    if (this.error || this.fd === null) return;
    const buf = typeof data === 'string' ? Buffer.from(data, 'utf8') : data;
    try {
      for (let off = 0; off < buf.length;) off += fs.writeSync(this.fd, buf, off, buf.length - off);
    } catch (err) {
      this.fail(err);
    }
  }

  // The first failure is kept; the partial file goes at once.
  fail(err) {
    if (this.error) return;
    this.error = err;
    this.abandon();
  }

  // Publishes while the descriptor, and so the lock, is still held: a sweep
  // never sees the temporary file unlocked before it has its final name.
  finish() {
    if (this.error) {
      this.abandon();
      throw this.error;
    }
    let bytes;
    try {
      bytes = fs.fstatSync(this.fd).size;
      this.publish();
    } catch (err) {
      this.abandon();
      throw err;
    }
    const closeError = this.close();
    this.unlinkTemp();
    if (closeError) {
      try { fs.unlinkSync(this.file); } catch (_) { /* already gone */ }
      throw closeError;
    }
    status.written(this.file, bytes);
    log(`wrote ${this.file}`);
  }

  publish() {
    try {
      fs.linkSync(this.tmp, this.file);
    } catch (err) {
      if (err.code === 'EEXIST') throw new Error(`${this.file} appeared meanwhile; the result was not written over it`);
      if (err.code !== 'EPERM' && err.code !== 'ENOTSUP' && err.code !== 'EOPNOTSUPP') throw err;
      // A file system without hard links: rename, after a last look.
      if (exists(this.file)) throw new Error(`${this.file} appeared meanwhile; the result was not written over it`);
      fs.renameSync(this.tmp, this.file);
    }
  }

  // Gives up: no result file, no descriptor, no temporary file.
  abandon() {
    this.close();
    this.unlinkTemp();
  }

  // Returns the error of the close, if any.
  close() {
    if (this.fd === null) return null;
    const fd = this.fd;
    this.fd = null;
    try {
      fs.closeSync(fd);
      return null;
    } catch (err) {
      return err;
    }
  }

  unlinkTemp() {
    try { fs.unlinkSync(this.tmp); } catch (_) { /* already gone or renamed */ }
  }
}

async function writeTextResult(file, text) {
  const out = await ResultFile.create(file);
  out.write(text);
  out.finish();
}

// Removes the temporary files that killed writers left in the log directory
// and /tmp: only this user's, and only those that no live process holds
// locked (a pid proves nothing: a sidecar in another pid namespace may share
// the directory). Resolves to the number removed.
async function sweepTemporaryFiles(dirs = [logDir(), '/tmp/']) {
  let removed = 0, tried = 0;
  for (const dir of new Set(dirs.map((d) => path.resolve(d)))) {
    let handle;
    try { handle = await fs.promises.opendir(dir); } catch (_) { continue; }
    const candidates = [];
    let seen = 0;
    try {
      for await (const entry of handle) {
        if (++seen > SWEEP_SCAN_MAX) break;
        if (entry.isFile() && TEMP_NAME.test(entry.name)) candidates.push(path.join(dir, entry.name));
      }
    } catch (_) { /* the directory went away */ }
    for (const file of candidates) {
      if (++tried > SWEEP_LOCK_MAX) return removed;
      if (await sweepOne(file)) removed++;
    }
  }
  return removed;
}

async function sweepOne(file) {
  let fd;
  try {
    fd = fs.openSync(file, fs.constants.O_RDONLY | fs.constants.O_NOFOLLOW | fs.constants.O_NONBLOCK);
  } catch (_) {
    return false;
  }
  try {
    const st = fs.fstatSync(fd, { bigint: true });
    if (!st.isFile() || st.uid !== BigInt(process.geteuid())) return false;
    if (await lockExclusive(fd) !== 'locked') return false;
    // Still the same file under that name: it is removed while locked.
    const now = fs.lstatSync(file, { bigint: true });
    if (now.ino !== st.ino || now.dev !== st.dev) return false;
    fs.unlinkSync(file);
    log(`removed ${file}, left by a writer that ended before it was done`);
    return true;
  } catch (_) {
    return false;
  } finally {
    fs.closeSync(fd);
  }
}

module.exports = { checkResultPath, reserve, release, ResultFile, writeTextResult, sweepTemporaryFiles };
