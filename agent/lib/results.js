'use strict';
// Result files are evidence: each is written under an exclusive, unpredictable
// temporary name in its own directory, owner-only, and put in place with a
// hard link, which fails rather than replace a file that exists meanwhile. A
// failed write closes and removes the temporary file and publishes nothing.
const fs = require('fs');
const path = require('path');
const crypto = require('crypto');
const { log } = require('./log');

const inFlight = new Set(); // result paths reserved by an accepted message

// Why a result path cannot be taken now, or null.
function checkResultPath(file) {
  if (!path.isAbsolute(file)) return `result path "${file}" is not absolute`;
  if (inFlight.has(file)) return `result file ${file} is being written; try again in a second`;
  if (exists(file)) return `result file ${file} already exists; try again in a second`;
  try {
    fs.accessSync(path.dirname(file), fs.constants.W_OK);
  } catch (_) {
    return `cannot write result file: directory ${path.dirname(file)} is not writable`;
  }
  return null;
}

function exists(file) {
  try { fs.lstatSync(file); return true; } catch (_) { return false; }
}

function reserve(file) { inFlight.add(file); }
function release(file) { inFlight.delete(file); }

// Bytes free to this process in the directory of file, or null if unknown.
function freeBytes(file) {
  try {
    const st = fs.statfsSync(path.dirname(file));
    return st.bavail * st.bsize;
  } catch (_) {
    return null;
  }
}

// A result file being written: write() keeps the first failure and ignores
// what follows; finish() publishes the file or throws that failure, and
// closes the descriptor in every case.
class ResultFile {
  constructor(file) {
    this.file = file;
    this.tmp = path.join(path.dirname(file), `.${path.basename(file)}.${crypto.randomBytes(8).toString('hex')}.tmp`);
    this.error = null;
    this.fd = fs.openSync(this.tmp, 'wx', 0o600);
    try {
      fs.fchmodSync(this.fd, 0o600);
    } catch (err) {
      this.abandon();
      throw err;
    }
  }

  write(data) {
    if (this.error || this.fd === null) return;
    const buf = typeof data === 'string' ? Buffer.from(data, 'utf8') : data;
    try {
      for (let off = 0; off < buf.length;) off += fs.writeSync(this.fd, buf, off, buf.length - off);
    } catch (err) {
      this.error = err;
    }
  }

  fail(err) { if (!this.error) this.error = err; }

  finish() {
    this.close();
    if (this.error) {
      this.unlinkTemp();
      throw this.error;
    }
    try {
      fs.linkSync(this.tmp, this.file);
    } catch (err) {
      if (err.code !== 'EPERM' && err.code !== 'ENOTSUP' && err.code !== 'EOPNOTSUPP') {
        this.unlinkTemp();
        throw err.code === 'EEXIST' ? new Error(`${this.file} appeared meanwhile; the result was not written over it`) : err;
      }
      // A file system without hard links: rename, after a last look.
      if (exists(this.file)) {
        this.unlinkTemp();
        throw new Error(`${this.file} appeared meanwhile; the result was not written over it`);
      }
      fs.renameSync(this.tmp, this.file);
      log(`wrote ${this.file}`);
      return;
    }
    this.unlinkTemp();
    log(`wrote ${this.file}`);
  }

  // Gives up: no result file, no descriptor, no temporary file.
  abandon() {
    this.close();
    this.unlinkTemp();
  }

  close() {
    if (this.fd === null) return;
    try { fs.closeSync(this.fd); } catch (err) { this.fail(err); }
    this.fd = null;
  }

  unlinkTemp() {
    try { fs.unlinkSync(this.tmp); } catch (_) { /* already gone */ }
  }
}

function writeTextResult(file, text) {
  const out = new ResultFile(file);
  out.write(text);
  out.finish();
}

module.exports = { checkResultPath, reserve, release, freeBytes, ResultFile, writeTextResult };
