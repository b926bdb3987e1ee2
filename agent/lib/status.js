'use strict';
// What the agent knows of each result path it accepted, for the status query:
// pending from the accepting reply until the file is published, then written
// (with its size) or failed (with the text the agent logged). A client asks
// by path and gets one line; the answer never waits for the main thread.
// The outcomes of the last HISTORY paths are kept; pending paths stay until
// they end, and there are only as many as accepted messages being carried out.
const HISTORY = 64;
// A failure's reason travels in a 1024-byte reply.
const REASON_MAX_BYTES = 900;

const ledger = new Map(); // path -> { state, bytes, reason }, oldest change first
let finished = 0;         // entries of the ledger that are not pending

function record(file, entry) {
  const old = ledger.get(file);
  if (old) {
    if (old.state !== 'pending') finished--;
    ledger.delete(file); // the newest change goes last
  }
  ledger.set(file, entry);
  if (entry.state !== 'pending') finished++;
  for (const [name, e] of ledger) {
    if (finished <= HISTORY) break;
    if (e.state === 'pending') continue;
    ledger.delete(name);
    finished--;
  }
}

function pending(file) { record(file, { state: 'pending' }); }
function written(file, bytes) { record(file, { state: 'written', bytes }); }
function failed(file, reason) { record(file, { state: 'failed', reason: oneLine(reason) }); }

// One line, cut on a character's boundary.
function oneLine(text) {
  const buf = Buffer.from(String(text).replace(/[\r\n\0]+/g, ' '), 'utf8');
  if (buf.length <= REASON_MAX_BYTES) return buf.toString('utf8');
  let end = REASON_MAX_BYTES;
  while (end > 0 && (buf[end] & 0xc0) === 0x80) end--;
  return buf.toString('utf8', 0, end);
}

// The reply's text for a path. A pending file has no percent: the snapshot
// is written by the main thread, whose own inspector session cannot carry
// V8's progress reports (node crashes when one asks for them there), and
// node's native writer gives none.
function answer(file) {
  const e = ledger.get(file);
  if (!e) return 'unknown';
  if (e.state === 'pending') return 'pending -';
  if (e.state === 'written') return `written ${e.bytes}`;
  return `failed ${e.reason}`;
}

module.exports = { pending, written, failed, answer, HISTORY };
