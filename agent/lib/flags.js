'use strict';
// V8 flags: the table of this node executable's flags (`node --v8-options`,
// read on the first command that needs it), the checks of a --v8-options
// message, the switches' current values, and the gc-log formats.
//
// Reading the table takes a child process, and a fork of a large process
// makes every page it writes afterwards fault once (a heap snapshot that
// follows is slowed by half): the table depends on the executable alone, so
// it is kept in a file of this user's in /tmp, named after the executable's
// identity and node's version, and only the first process of an executable
// that needs it starts the child.
const crypto = require('crypto');
const fs = require('fs');
const v8 = require('v8');
const { execFile } = require('child_process');

// V8 flags that are read once, when the engine or heap is set up; setting
// them later changes nothing, or breaks the process.
const STARTUP_ONLY_FLAGS = new Set([
  'max-old-space-size', 'max-semi-space-size', 'min-semi-space-size', 'max-heap-size',
  'initial-heap-size', 'initial-old-space-size', 'semi-space-growth-factor', 'stack-size',
  'jitless', 'lite-mode', 'single-threaded', 'single-threaded-gc', 'predictable',
  'verify-predictable', 'random-seed', 'hash-seed', 'expose-gc', 'expose-gc-as',
  'prof', 'prof-cpp', 'prof-browser-mode', 'prof-sampling-interval', 'log', 'log-all',
  'log-code', 'log-api', 'log-source-code', 'log-function-events', 'logfile',
  'logfile-per-isolate', 'perf-basic-prof', 'perf-basic-prof-only-functions', 'perf-prof',
  'perf-prof-unwinding-info', 'interpreted-frames-native-stack', 'freeze-flags-after-init',
  'help', 'print-flag-values', 'version',
]);
// GC tracing flags: V8 would print their output on the application's stdout;
// the agent collects the same events in-process into the gc-log result file.
const GC_TRACE_FLAGS = new Set(['trace-gc', 'trace-gc-nvp', 'trace-gc-verbose', 'trace-fragmentation']);
const NUMERIC_FLAG_TYPES = new Set(['int', 'uint', 'uint64', 'size_t', 'float']);

const table = {
  flags: null,    // Map name -> { type, on } (on: a switch's current value)
  listing: null,  // the text of `node --v8-options`
  loading: false,
  waiting: [],
  applied: [],    // flags set through the socket, in order
  commandLine: [], // the V8 flags of the command line and NODE_OPTIONS
};
// A kept listing longer than this is no listing of node's.
const LISTING_MAX = 16 << 20;

// The V8 flags given on the command line and in NODE_OPTIONS, whose values
// the switches start with once the table is read.
function init(commandLineFlags) { table.commandLine = commandLineFlags; }

// The kept listing's name: the executable's identity (path, file, size,
// time of change) and node's and V8's versions.
function keptPath(execPath = process.execPath) {
  const st = fs.statSync(execPath, { bigint: true });
  const key = crypto.createHash('sha256')
    .update([execPath, st.dev, st.ino, st.size, st.mtimeNs, process.version, process.versions.v8, process.arch].join('\0'))
    .digest('hex').slice(0, 16);
  return `/tmp/.kestrun-agent-v8flags.${process.geteuid()}.${key}`;
}

// The kept listing, when it is this user's own regular file, owner-only,
// with one link; else null.
function readKept(file) {
  let fd;
  try {
    fd = fs.openSync(file, fs.constants.O_RDONLY | fs.constants.O_NOFOLLOW | fs.constants.O_NONBLOCK);
  } catch (_) {
    return null;
  }
  try {
    const st = fs.fstatSync(fd);
    if (!st.isFile() || st.uid !== process.geteuid() || (st.mode & 0o077) !== 0 || st.nlink !== 1 || st.size > LISTING_MAX) return null;
    return fs.readFileSync(fd, 'utf8');
  } catch (_) {
    return null;
  } finally {
    fs.closeSync(fd);
  }
}

// Keeps the listing: written under a private name, then linked to its
// name, which never replaces a file (another user's least of all).
function keep(file, listing) {
  const tmp = `${file}.${crypto.randomBytes(4).toString('hex')}.tmp`;
  try {
    fs.writeFileSync(tmp, listing, { flag: 'wx', mode: 0o600 });
    fs.linkSync(tmp, file);
  } catch (_) { /* not kept: the next process reads it again */ } finally {
    fs.rmSync(tmp, { force: true });
  }
}

// The table from a listing; null when it holds no flag.
function parseListing(listing) {
  const flags = new Map();
  const re = /^ {2}--([a-z0-9-]+) \(.*\n\s+type: (\S+)\s+default: (\S*)/gm;
  for (let m = re.exec(listing); m; m = re.exec(listing)) {
    flags.set(m[1], { type: m[2], on: m[2] === 'bool' ? !m[3].startsWith('--no-') : null });
  }
  return flags.size > 0 ? flags : null;
}

// A failure is not kept: the next command that needs the table tries again.
function settle(listing, error) {
  const flags = listing === null ? null : parseListing(listing);
  if (flags) {
    for (const word of table.commandLine) {
      const parsed = parseSwitch(flags, word);
      if (parsed) parsed.info.on = parsed.on;
    }
    table.listing = listing;
    table.flags = flags;
  }
  table.loading = false;
  const why = flags ? null : error || 'cannot read the V8 flag list: node --v8-options listed no flag';
  for (const done of table.waiting.splice(0)) done(why);
}

// Reads the flag list of this node executable: the kept one, or from
// `node --v8-options`, which is then kept.
function loadFlagTable() {
  let file = null;
  try { file = keptPath(); } catch (_) { /* the executable cannot be looked at: nothing kept */ }
  const kept = file && readKept(file);
  if (kept && parseListing(kept)) {
    settle(kept);
    return;
  }
  if (process.permission && !process.permission.has('child')) {
    settle(null, 'cannot read the V8 flag list: node\'s permission model denies child processes (--allow-child-process)');
    return;
  }
  const env = Object.assign({}, process.env, { ENABLE_NODE_LOG: 'NO' });
  delete env.NODE_OPTIONS;
  execFile(process.execPath, ['--v8-options'], { env, maxBuffer: LISTING_MAX }, (err, stdout) => {
    if (err) {
      settle(null, `cannot read the V8 flag list: ${err.message}`);
      return;
    }
    if (file && parseListing(stdout)) keep(file, stdout);
    settle(stdout);
  });
}

// Calls back with null once the table is there, or with the reason it is not.
function whenFlagTable(done) {
  if (table.flags) {
    done(null);
    return;
  }
  table.waiting.push(done);
  if (!table.loading) {
    table.loading = true;
    loadFlagTable();
  }
}

// A switch word (--x, --no-x, --x_y) of the table: { name, info, on } or null.
function parseSwitch(flags, word) {
  const m = /^--?([^=]+)$/.exec(word);
  if (!m) return null;
  let name = m[1].replace(/_/g, '-');
  let on = true;
  if (!flags.has(name) && name.startsWith('no') && flags.has(name.replace(/^no-?/, ''))) {
    name = name.replace(/^no-?/, '');
    on = false;
  }
  const info = flags.get(name);
  return info && info.type === 'bool' ? { name, info, on } : null;
}

// Sorts the flag words of a --v8-options message into flags to set now, GC
// tracing to collect and switches to turn back at the stop; or a refusal.
// Only a switch that this message changes is turned back.
function checkV8Flags(words, withSession) {
  const out = { apply: [], gcTrace: [], revert: [] };
  for (const word of words) {
    const m = /^--?([^=]+)(?:=(.*))?$/.exec(word);
    if (!m) return { error: `"${word}" is not a V8 flag (give values as --flag=value)` };
    let name = m[1].replace(/_/g, '-');
    const value = m[2];
    let negated = false;
    if (!table.flags.has(name) && name.startsWith('no-') && table.flags.has(name.slice(3))) {
      negated = true;
      name = name.slice(3);
    }
    const info = table.flags.get(name);
    if (!info) return { error: `unknown V8 flag ${word}` };
    if (GC_TRACE_FLAGS.has(name) && !negated && value === undefined) {
      if (!withSession) return { error: `${word} needs a result file; send it without --flag=value words` };
      out.gcTrace.push(name);
      continue;
    }
    if (STARTUP_ONLY_FLAGS.has(name)) {
      return { error: `V8 flag ${word} cannot take effect in a running process; give it on the node command line` };
    }
    const problem = checkFlagValue(word, name, info.type, value, negated);
    if (problem) return { error: problem };
    out.apply.push(word);
    if (withSession && value === undefined && info.on !== null && info.on === negated) {
      out.revert.push(negated ? `--${name}` : `--no-${name}`);
    }
  }
  return out;
}

function checkFlagValue(word, name, type, value, negated) {
  if (type === 'bool' || type === 'maybe_bool') {
    return value === undefined ? null : `V8 flag --${name} is a switch and takes no value`;
  }
  if (value === undefined || negated) return `V8 flag ${word} needs a value (--${name}=<value>)`;
  if (NUMERIC_FLAG_TYPES.has(type) && !/^-?\d+(\.\d+)?$/.test(value)) {
    return `V8 flag --${name} takes a number, not "${value}"`;
  }
  return null;
}

// Sets flags (process-wide: V8's flags are shared by all its isolates) and
// keeps the switches' values up to date.
function setFlags(words, record = true) {
  for (const word of words) {
    v8.setFlagsFromString(word);
    const parsed = table.flags && parseSwitch(table.flags, word);
    if (parsed) parsed.info.on = parsed.on;
  }
  if (record) table.applied.push(...words);
}

// ---------------------------------------------------------------- gc-log

const MB = 1024 * 1024;
function mb(bytes) { return (bytes / MB).toFixed(1); }

function gcLine(i, s) {
  const b = s.beforeGC.heapStatistics, a = s.afterGC.heapStatistics;
  return `#${i} ${s.gcType} ${mb(b.usedHeapSize)} (${mb(b.totalHeapSize)}) -> ` +
    `${mb(a.usedHeapSize)} (${mb(a.totalHeapSize)}) MB, ${(s.cost / 1000).toFixed(3)} ms`;
}

function gcNvpLine(i, s) {
  const b = s.beforeGC.heapStatistics, a = s.afterGC.heapStatistics;
  return `gc=${i} type=${s.gcType} pause_us=${Math.round(s.cost)} used_before=${b.usedHeapSize} ` +
    `used_after=${a.usedHeapSize} total_before=${b.totalHeapSize} total_after=${a.totalHeapSize} ` +
    `external_after=${a.externalMemory}`;
}

function gcSpaceLines(s, fragmentation) {
  const before = new Map(s.beforeGC.heapSpaceStatistics.map((sp) => [sp.spaceName, sp]));
  return s.afterGC.heapSpaceStatistics.filter((sp) => sp.spaceSize > 0).map((sp) => {
    if (fragmentation) {
      const free = sp.spaceSize - sp.spaceUsedSize;
      return `  ${sp.spaceName}: size ${mb(sp.spaceSize)} MB, used ${mb(sp.spaceUsedSize)} MB, ` +
        `available ${mb(sp.spaceAvailableSize)} MB, fragmentation ${(100 * free / sp.spaceSize).toFixed(1)}%`;
    }
    const was = before.get(sp.spaceName);
    return `  ${sp.spaceName}: used ${mb(was ? was.spaceUsedSize : 0)} -> ${mb(sp.spaceUsedSize)} MB, ` +
      `size ${mb(sp.spaceSize)} MB, available ${mb(sp.spaceAvailableSize)} MB`;
  });
}

// One block of lines per collection, in the formats the tracing flags ask for.
function formatGcLog(statistics, flags) {
  const lines = [];
  let pauseUs = 0;
  statistics.forEach((s, i) => {
    pauseUs += s.cost;
    if (flags.includes('trace-gc') || flags.includes('trace-gc-verbose')) lines.push(gcLine(i + 1, s));
    if (flags.includes('trace-gc-nvp')) lines.push(gcNvpLine(i + 1, s));
    if (flags.includes('trace-gc-verbose')) lines.push(...gcSpaceLines(s, false));
    if (flags.includes('trace-fragmentation')) lines.push(...gcSpaceLines(s, true));
  });
  lines.push(`# ${statistics.length} collections, total pause ${(pauseUs / 1000).toFixed(3)} ms`);
  return lines;
}

module.exports = { table, init, whenFlagTable, keptPath, checkV8Flags, setFlags, formatGcLog, mb };
