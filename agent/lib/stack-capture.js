'use strict';
// What the main thread is doing right now, told by the main thread itself.
// The worker has it called through its inspector session, and V8 runs that
// call by interrupting whatever JavaScript the main thread runs: the stack
// then holds the interrupted code under the call's own frames. Nothing is
// paused and no debugger is enabled; the stop lasts as long as this
// function. A main thread idle in its event loop serves the call there, with
// no JavaScript under it. Loaded when the agent starts, so that no module is
// read while the application waits.

// At most this many frames, and this many characters of a name or a URL.
const FRAMES_MAX = 100;
const TEXT_MAX = 1000;

function cut(text) {
  return text.length > TEXT_MAX ? text.slice(0, TEXT_MAX) : text;
}

// The frame's function as node prints it in front of its location
// ("Timeout._onTimeout", "new Server", "async handler"), or ''.
function functionOf(site, url, line, column) {
  const where = url === null ? '<anonymous>' : line === null ? url : `${url}:${line}:${column}`;
  const text = String(site);
  if (text.endsWith(` (${where})`)) return text.slice(0, text.length - where.length - 3);
  if (text === where) return '';
  return site.getFunctionName() || '';
}

function frameOf(site) {
  const url = site.getFileName() || null;
  const line = site.getLineNumber() || null;
  const column = line === null ? null : site.getColumnNumber();
  return { function: cut(functionOf(site, url, line, column)), url: url === null ? null : cut(url), line, column };
}

// The call sites under the caller of `below`, taken with V8's own call-site
// objects; the application's Error settings are put back before anything
// else runs.
function callSites(below) {
  const had = Object.getOwnPropertyDescriptor(Error, 'prepareStackTrace');
  const limit = Error.stackTraceLimit;
  const holder = {};
  try {
    Error.stackTraceLimit = FRAMES_MAX + 1;
    Error.prepareStackTrace = (_, sites) => sites;
    Error.captureStackTrace(holder, below);
    return Array.isArray(holder.stack) ? holder.stack : null;
  } finally {
    if (had) Object.defineProperty(Error, 'prepareStackTrace', had);
    else delete Error.prepareStackTrace;
    Error.stackTraceLimit = limit;
  }
}

// The active handles and requests by type, in the order first seen.
function handleCounts() {
  const counts = new Map();
  for (const type of process.getActiveResourcesInfo()) counts.set(type, (counts.get(type) || 0) + 1);
  return [...counts].map(([type, count]) => ({ type, count }));
}

// Returns JSON: { frames, handles, ms } (frames innermost first, empty when
// the main thread was in its event loop; ms: this function's own time,
// rounded up) or { error }.
function capture() {
  const began = process.hrtime.bigint();
  let sites;
  try {
    sites = callSites(capture);
  } catch (err) {
    return JSON.stringify({ error: `the application's Error cannot take a stack trace here: ${err.message}` });
  }
  if (sites === null) return JSON.stringify({ error: 'no call sites: Error.captureStackTrace is not V8\'s own' });
  // The first frame is the evaluated expression that made this call.
  if (sites.length > 0 && !sites[0].getFileName()) sites.shift();
  const frames = sites.slice(0, FRAMES_MAX).map(frameOf);
  const handles = frames.length === 0 ? handleCounts() : [];
  const ms = Math.ceil(Number(process.hrtime.bigint() - began) / 1e6);
  return JSON.stringify({ frames, handles, ms });
}

module.exports = { capture, FRAMES_MAX };
