'use strict';
// Result files are evidence: each is written under an exclusive, unpredictable
// temporary name in its own directory, owner-only, flushed to disk, put in
// place with a hard link, which fails rather than replace a file that exists
// meanwhile, and then its directory is flushed: after a power loss or a
// kernel crash a published name never shows an empty or partial file. A
// failed write (a failed flush too) closes and removes the temporary file at
// once and publishes nothing. In the log directory and /tmp a temporary file
// is named after this agent's mark (lib/marks.js): a process killed meanwhile
// leaves it behind, and the next agent to start removes it (lib/sweep.js).
const fs = require('fs');
const path = require('path');
const crypto = require('crypto');
const { log, logDir } = require('./log');
const marks = require('./marks');
const status = require('./status');

// .<result name>.<mark id: 16 hex digits>.<8 hex digits>.tmp; a temporary
// file elsewhere, or without a mark, has 16 random hex digits and is never swept.
const MARKED_TEMP = /^\..+\.([0-9a-f]{16})\.[0-9a-f]{8}\.tmp$/;

// The directories that get a mark when the agent starts.
function markedDirs() { return [...new Set([logDir(), '/tmp/'].map((d) => path.resolve(d)))]; }

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
  constructor(file, markId) {
    this.file = file;
    const tag = markId ? `${markId}.${crypto.randomBytes(4).toString('hex')}` : crypto.randomBytes(8).toString('hex');
    this.tmp = path.join(path.dirname(file), `.${path.basename(file)}.${tag}.tmp`);
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

  // A result file whose temporary file carries this agent's mark, when the
  // directory has one (made at start; made again when something removed it).
  static async create(file) {
    const dir = path.resolve(path.dirname(file));
    const marked = markedDirs().includes(dir) && await marks.ensure(dir);
    return new ResultFile(file, marked ? marks.id() : null);
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

  // The data reaches the disk before the file gets its name, and the name
  // (with the temporary name's removal) after: a flush that fails is a
  // failed write, and a published file whose directory cannot be flushed is
  // removed again. The descriptor stays open until the file is published.
  finish() {
    if (this.error) {
      this.abandon();
      throw this.error;
    }
    let bytes;
    try {
      bytes = fs.fstatSync(this.fd).size;
      // The data and the size: all a reader of the file needs.
      fs.fdatasyncSync(this.fd);
      this.publish();
    } catch (err) {
      this.abandon();
      throw err;
    }
    const closeError = this.close();
    this.unlinkTemp();
    const error = closeError || flushDirectory(path.dirname(this.file));
    if (error) {
      try { fs.unlinkSync(this.file); } catch (_) { /* already gone */ }
      throw error;
    }
    status.written(this.file, bytes);
    log(`wrote ${this.file}`);
  }

  // The temporary name is linked, or renamed, to the result's name; and the
  // result's name must then be this very file: one that replaced the
  // temporary name meanwhile (another user's, in a shared /tmp) is never
  // published as the result.
  publish() {
    try {
      fs.linkSync(this.tmp, this.file);
    } catch (err) {
      if (err.code === 'EEXIST') throw new Error(`${this.file} appeared meanwhile; the result was not written over it`);
      if (err.code !== 'EPERM' && err.code !== 'ENOTSUP' && err.code !== 'EOPNOTSUPP') throw err;
      // A file system without hard links: rename, after a last look.
      if (exists(this.file) || !this.isOwnFile(this.tmp)) throw new Error(`${this.file} appeared meanwhile; the result was not written over it`);
      fs.renameSync(this.tmp, this.file);
    }
    if (!this.isOwnFile(this.file)) {
      try { fs.unlinkSync(this.file); } catch (_) { /* gone already */ }
      throw new Error(`the temporary file of ${this.file} was replaced while it was written; no result is published`);
    }
  }

  isOwnFile(name) {
    try {
      const st = fs.lstatSync(name, { bigint: true });
      return String(st.dev) === this.dev && String(st.ino) === this.ino;
    } catch (_) {
      return false;
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

  // Only while the temporary name still names this file.
  unlinkTemp() {
    if (!this.isOwnFile(this.tmp)) return;
    try { fs.unlinkSync(this.tmp); } catch (_) { /* already gone or renamed */ }
  }
}

// Flushes a directory's entries to disk; returns the error, or null.
function flushDirectory(dir) {
  let fd;
  try {
    fd = fs.openSync(dir, fs.constants.O_RDONLY | fs.constants.O_DIRECTORY);
    fs.fsyncSync(fd);
    return null;
  } catch (err) {
    return err;
  } finally {
    if (fd !== undefined) fs.closeSync(fd);
  }
}

async function writeTextResult(file, text) {
  const out = await ResultFile.create(file);
  out.write(text);
  out.finish();
}

module.exports = { checkResultPath, reserve, release, ResultFile, writeTextResult, markedDirs, MARKED_TEMP };
