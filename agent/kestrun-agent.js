'use strict';
// kestrun-agent: the runtime side of quellix's control channel, as a preload
// module for stock Node.js (node --require /path/to/kestrun-agent.js app.js).
//
// Loaded, it defines process.kestrun, so that `node -p process.kestrun` tells
// quellix that this node is a kestrun runtime. With ENABLE_NODE_LOG=YES in the
// environment the main thread also serves the control socket
// /tmp/kestrun-uds-path-<pid>:
//
//   client                                 agent
//   512-byte message  ------------------>  parse, check, reserve
//                     <------------------  first reply ('Y' or 'N' + text)
//   SIGUSR2 (the kick) ----------------->  second reply, then the commands run
//
// or the one-shot extended message: 1024 bytes in, one reply out, no kick.
// Both messages start with the same two fields, so they are told apart by
// length: a message that stops at 512 bytes for EXTENDED_GRACE_MS is a normal
// message (its sender is now waiting for the reply and sends nothing more); a
// sender of the extended message writes all 1024 bytes in one piece, which a
// local stream socket delivers at once.
//
// Result files go to the path of the "--specified_log_path=" word of the
// option text, written under a temporary name in the same directory and then
// renamed, so that a reader never sees half a file.

const fs = require('fs');
const os = require('os');
const net = require('net');
const path = require('path');
const v8 = require('v8');
const { execFile } = require('child_process');
const { isMainThread } = require('worker_threads');

const VERSION = 'kestrun-agent 1.0.0';
const LOADED = Symbol.for('kestrun.agent.loaded');

const MSG_SIZE = 512;
const EXT_MSG_SIZE = 1024;
const TEXT_OFFSET = 8;
// Time a 512-byte message is given to grow into an extended one.
const EXTENDED_GRACE_MS = 20;
// A message still incomplete this long after the connection is refused, well
// inside the client's one-second wait.
const INCOMPLETE_MS = 500;
// An accepted message whose kick never comes is dropped, its command unrun.
const KICK_TIMEOUT_MS = 10000;
// After its last reply a connection is closed by the agent at the latest this
// long later, so that clients that never close cannot pile up descriptors.
const LINGER_MS = 2000;
const PATH_WORD = '--specified_log_path=';

const BIT = {
  HEAPDUMP: 0x1, FORCE_GC: 0x2, ENABLE_LOG: 0x4, DISABLE_LOG: 0x8,
  START_TIMELINE: 0x10, STOP_TIMELINE: 0x20, START_PROFILING: 0x40, STOP_PROFILING: 0x80,
  START_HEAP_PROFILING: 0x100, STOP_HEAP_PROFILING: 0x200, V8_OPTIONS: 0x400, STOP_V8_OPTIONS: 0x800,
  PRINT_V8FLAGS: 0x1000, DIAG_REPORT: 0x2000, CHILD_TO_PARENT: 0x4000,
};
const KNOWN_BITS = 0x7fff;

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

const state = {
  socketPath: null,
  server: null,
  session: null,
  flagTable: null,        // Map name -> { type }, from `node --v8-options`
  flagListing: null,      // that listing's text
  appliedFlags: [],       // flags set through the socket, in order
  logEnabled: false,
  pendingKick: new Set(), // connections whose first reply accepted a message
  activities: {},         // key -> { state: 'starting'|'running'|'stopping', path, ... }
};

// ---------------------------------------------------------------- helpers

function readInt32(buf, off) { return os.endianness() === 'LE' ? buf.readInt32LE(off) : buf.readInt32BE(off); }
function readUInt32(buf, off) { return os.endianness() === 'LE' ? buf.readUInt32LE(off) : buf.readUInt32BE(off); }

// Never let a fault of the agent escape into the application.
function guard(fn) {
  try { fn(); } catch (err) { warn(`internal error: ${err && err.stack}`); }
}

function logDir() {
  const dir = process.env.NODE_LOG_DIR;
  if (!dir) return '/tmp/';
  return dir.endsWith('/') ? dir : dir + '/';
}

function log(text) {
  if (!state.logEnabled) return;
  try {
    fs.appendFileSync(path.join(logDir(), `kestrun-agent-${process.pid}.log`),
      `${new Date().toISOString()} ${text}\n`);
  } catch (_) { /* a log that cannot be written must not hurt the application */ }
}

// Failures after the replies have no way back to the client: stderr and the log.
function warn(text) {
  log(text);
  try { fs.writeSync(2, `kestrun-agent[${process.pid}]: ${text}\n`); } catch (_) { /* stderr closed */ }
}

// Writes a result file completely under a temporary name, then renames it.
function writeAtomically(file, produce) {
  const tmp = path.join(path.dirname(file), `.${path.basename(file)}.${process.pid}.tmp`);
  try {
    produce(tmp);
    fs.renameSync(tmp, file);
  } catch (err) {
    try { fs.unlinkSync(tmp); } catch (_) { /* never created */ }
    throw err;
  }
  log(`wrote ${file}`);
}

function writeTextAtomically(file, text) {
  writeAtomically(file, (tmp) => fs.writeFileSync(tmp, text));
}

function connectSession() {
  if (!state.session) {
    const inspector = require('inspector');
    state.session = new inspector.Session();
    state.session.connect();
  }
  return state.session;
}

// Inspector calls on a same-thread session complete synchronously; relying on
// that lets a profile be written even from the 'exit' handler.
function post(method, params) {
  let done = false, error = null, result;
  connectSession().post(method, params || {}, (err, res) => { done = true; error = err; result = res; });
  if (!done) throw new Error(`${method} did not complete`);
  if (error) throw new Error(`${method}: ${error.message}`);
  return result;
}

// ---------------------------------------------------------------- V8 flags

// Reads the flag list of this node executable once (name -> type).
function loadFlagTable(done) {
  if (state.flagTable) { done(null); return; }
  const env = Object.assign({}, process.env, { ENABLE_NODE_LOG: 'NO' });
  delete env.NODE_OPTIONS;
  execFile(process.execPath, ['--v8-options'], { env, maxBuffer: 16 << 20 }, (err, stdout) => {
    if (err) { done(`cannot read the V8 flag list: ${err.message}`); return; }
    const table = new Map();
    const re = /^ {2}--([a-z0-9-]+) \(.*\n\s+type: (\S+)/gm;
    for (let m = re.exec(stdout); m; m = re.exec(stdout)) table.set(m[1], { type: m[2] });
    state.flagListing = stdout;
    state.flagTable = table;
    done(null);
  });
}

// Sorts the flag words of a --v8-options message into flags to set now, GC
// tracing to collect and switches to turn back at the stop; or a refusal.
function checkV8Flags(words, withSession) {
  const out = { apply: [], gcTrace: [], revert: [] };
  for (const word of words) {
    const m = /^--?([^=]+)(?:=(.*))?$/.exec(word);
    if (!m) return { error: `"${word}" is not a V8 flag (give values as --flag=value)` };
    let name = m[1].replace(/_/g, '-');
    const value = m[2];
    let negated = false;
    if (!state.flagTable.has(name) && name.startsWith('no-') && state.flagTable.has(name.slice(3))) {
      negated = true;
      name = name.slice(3);
    }
    const info = state.flagTable.get(name);
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
    if (withSession && value === undefined) out.revert.push(negated ? `--${name}` : `--no-${name}`);
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

// ---------------------------------------------------------------- GC tracing

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

// ---------------------------------------------------------------- activities

function beginCpuProfile(act) {
  post('Profiler.enable');
  post('Profiler.start');
  act.stopped = () => post('Profiler.stop').profile;
}

function beginSampling(act) {
  post('HeapProfiler.enable');
  // Garbage counts too: the profile is for finding where memory is allocated.
  post('HeapProfiler.startSampling', {
    samplingInterval: 32768, includeObjectsCollectedByMajorGC: true, includeObjectsCollectedByMinorGC: true,
  });
  act.stopped = () => post('HeapProfiler.stopSampling').profile;
}

function beginTimeline(act) {
  post('HeapProfiler.enable');
  post('HeapProfiler.startTrackingHeapObjects', { trackAllocations: true });
}

// The timeline's snapshot arrives in chunks during the stop call; they go
// straight to the file instead of piling up in this process's heap.
function finishTimeline(act) {
  let stopped = false;
  try {
    writeAtomically(act.path, (tmp) => {
      const fd = fs.openSync(tmp, 'w');
      const onChunk = (m) => fs.writeSync(fd, m.params.chunk);
      state.session.on('HeapProfiler.addHeapSnapshotChunk', onChunk);
      try {
        stopped = true;
        post('HeapProfiler.stopTrackingHeapObjects', { reportProgress: false });
      } finally {
        state.session.removeListener('HeapProfiler.addHeapSnapshotChunk', onChunk);
        fs.closeSync(fd);
      }
    });
  } finally {
    // Allocation tracking costs every allocation: it ends even without a file.
    if (!stopped) post('HeapProfiler.stopTrackingHeapObjects', { reportProgress: false });
  }
}

function beginV8Options(act) {
  for (const flag of act.flags.apply) v8.setFlagsFromString(flag);
  state.appliedFlags.push(...act.flags.apply);
  act.startedAt = new Date();
  if (act.flags.gcTrace.length > 0) {
    act.gcProfiler = new v8.GCProfiler();
    act.gcProfiler.start();
  }
  log(`V8 options set: ${act.flags.apply.join(' ') || '(none)'}; GC tracing: ${act.flags.gcTrace.join(' ') || '(none)'}`);
}

function finishV8Options(act) {
  const lines = [
    `# ${VERSION}: V8 options session of pid ${process.pid}`,
    `# flags set: ${act.flags.apply.join(' ') || '(none)'}`,
    `# started ${act.startedAt.toISOString()}, stopped ${new Date().toISOString()}`,
  ];
  if (act.flags.apply.length > 0) lines.push('# V8 writes the output of these flags to the process\'s standard output');
  if (act.gcProfiler) {
    lines.push(`# GC tracing (${act.flags.gcTrace.map((f) => '--' + f).join(' ')}), collected in-process; sizes: used (committed)`);
    lines.push(...formatGcLog(act.gcProfiler.stop().statistics, act.flags.gcTrace));
  }
  for (const flag of act.flags.revert) v8.setFlagsFromString(flag);
  if (act.flags.revert.length > 0) lines.push(`# switched back: ${act.flags.revert.join(' ')}`);
  writeTextAtomically(act.path, lines.join('\n') + '\n');
}

function finishJson(act) {
  const profile = act.stopped();
  writeTextAtomically(act.path, JSON.stringify(profile));
}

// Commands that run until a stop command ends them; only one of a kind at a time.
const ACTIVITIES = [
  { key: 'timeline', name: 'heap timeline', start: BIT.START_TIMELINE, stop: BIT.STOP_TIMELINE, begin: beginTimeline, finish: finishTimeline },
  { key: 'cpu', name: 'CPU profile', start: BIT.START_PROFILING, stop: BIT.STOP_PROFILING, begin: beginCpuProfile, finish: finishJson },
  { key: 'sampling', name: 'heap profile', start: BIT.START_HEAP_PROFILING, stop: BIT.STOP_HEAP_PROFILING, begin: beginSampling, finish: finishJson },
  { key: 'v8options', name: 'V8 options session', start: BIT.V8_OPTIONS, stop: BIT.STOP_V8_OPTIONS, begin: beginV8Options, finish: finishV8Options },
];

function startActivity(kind, act) {
  kind.begin(act);
  act.state = 'running';
  log(`started ${kind.name} -> ${act.path}`);
}

function stopActivity(kind) {
  const act = state.activities[kind.key];
  if (!act) return; // already written out by the exit handler
  delete state.activities[kind.key];
  kind.finish(act);
  log(`stopped ${kind.name}`);
}

// A process that ends during an activity still leaves its result file.
function finishAllActivities() {
  for (const kind of ACTIVITIES) {
    const act = state.activities[kind.key];
    if (act && act.state !== 'starting') guard(() => stopActivity(kind));
  }
}

// ---------------------------------------------------------------- one-shot commands

function writeFlagList(file) {
  loadFlagTable((err) => guard(() => {
    if (err) { warn(`--print_v8flags: ${err}`); return; }
    const head = [
      `# V8 flags of pid ${process.pid}: node ${process.version}, V8 ${process.versions.v8}`,
      `# process.execArgv: ${process.execArgv.join(' ') || '(none)'}`,
      `# NODE_OPTIONS: ${process.env.NODE_OPTIONS || '(none)'}`,
      `# set at run time through the control socket: ${state.appliedFlags.join(' ') || '(none)'}`,
      '# flags of this node executable, with their defaults:',
    ];
    writeTextAtomically(file, head.join('\n') + '\n' + state.flagListing);
  }));
}

// V8 runs the inspector's full GC from a task of its own, after this returns.
function forceGc() {
  connectSession().post('HeapProfiler.collectGarbage', (err) => {
    if (err) warn(`--force_gc failed: ${err.message}`);
    else log('full GC done');
  });
}

function setLog(on) {
  if (on) state.logEnabled = true;
  log(`agent log ${on ? 'enabled' : 'disabled'}`);
  if (!on) state.logEnabled = false;
}

// One-shot commands, in the order they run when a message carries several.
const ONE_SHOTS = [
  { bit: BIT.HEAPDUMP, name: '--heapdump', file: true, run: (p) => writeAtomically(p, (tmp) => v8.writeHeapSnapshot(tmp)) },
  { bit: BIT.FORCE_GC, name: '--force_gc', run: forceGc },
  { bit: BIT.ENABLE_LOG, name: '--enable_node_log', run: () => setLog(true) },
  { bit: BIT.DISABLE_LOG, name: '--disable_node_log', run: () => setLog(false) },
  { bit: BIT.PRINT_V8FLAGS, name: '--print_v8flags', file: true, run: writeFlagList },
  // getReport() rather than writeReport(), which announces itself on stderr.
  { bit: BIT.DIAG_REPORT, name: '--diag_report', file: true, run: (p) => writeTextAtomically(p, JSON.stringify(process.report.getReport(), null, 2)) },
  // This agent has no parent runtime to hand a message to; the bit is accepted and logged.
  { bit: BIT.CHILD_TO_PARENT, name: '--child_to_parent', run: () => log('--child_to_parent: nothing to forward') },
];

// ---------------------------------------------------------------- message plan

// Splits the option text into its result path and the remaining flag words.
function parseOptionText(text) {
  let file = null;
  const flags = [];
  for (const word of text.split(' ')) {
    if (word.startsWith(PATH_WORD)) file = word.slice(PATH_WORD.length);
    else if (word !== '' && !word.startsWith('time=')) flags.push(word);
  }
  return { file, flags };
}

function checkResultPath(file) {
  if (!path.isAbsolute(file)) return `result path "${file}" is not absolute`;
  try {
    fs.accessSync(path.dirname(file), fs.constants.W_OK);
  } catch (_) {
    return `cannot write result file: directory ${path.dirname(file)} is not writable`;
  }
  return null;
}

// Checks a message against the agent's state and reserves what it starts or
// stops, so that two clients cannot both start the same kind. Returns
// { error } or a plan { mask, file, oneShots, starts, stops, autoStop }.
function makePlan(mask, text, autoStop) {
  if (mask === 0) return { error: 'no command in message' };
  if (mask & ~KNOWN_BITS) return { error: `unknown command bit(s) 0x${(mask & ~KNOWN_BITS).toString(16)}` };
  if ((mask & BIT.ENABLE_LOG) && (mask & BIT.DISABLE_LOG)) return { error: '--enable_node_log and --disable_node_log contradict each other' };
  const { file, flags } = parseOptionText(text);
  const plan = { mask, file, oneShots: ONE_SHOTS.filter((c) => mask & c.bit), starts: [], stops: [], autoStop };
  const error = checkStarts(plan, flags) || checkStops(plan) || checkFileUse(plan);
  if (error) return { error };
  for (const s of plan.starts) state.activities[s.kind.key] = s.act;
  for (const kind of plan.stops) state.activities[kind.key].state = 'stopping';
  return plan;
}

function checkStarts(plan, flags) {
  for (const kind of ACTIVITIES) {
    if (!(plan.mask & kind.start)) continue;
    if (plan.mask & kind.stop) return `cannot start and stop a ${kind.name} in one message`;
    const act = { state: 'starting', path: plan.file };
    if (kind.key === 'v8options') {
      act.flags = checkV8Flags(flags, plan.file !== null);
      if (act.flags.error) return act.flags.error;
      if (plan.file === null) { plan.plainFlags = act.flags.apply; continue; }
    } else if (plan.file === null) {
      return `missing ${PATH_WORD}<path> for the ${kind.name}`;
    }
    const running = state.activities[kind.key];
    if (running) return `a ${kind.name} is already running (result file ${running.path})`;
    plan.starts.push({ kind, act });
  }
  return null;
}

function checkStops(plan) {
  for (const kind of ACTIVITIES) {
    if (!(plan.mask & kind.stop)) continue;
    const act = state.activities[kind.key];
    if (!act || act.state !== 'running') return `no ${kind.name} is running`;
    if (plan.file !== null && plan.file !== act.path) {
      return `the running ${kind.name} writes to ${act.path}, not to ${plan.file}`;
    }
    plan.stops.push(kind);
  }
  return null;
}

// One result file per message, at a path the agent can write.
function checkFileUse(plan) {
  const users = plan.oneShots.filter((c) => c.file).map((c) => c.name)
    .concat(plan.starts.map((s) => s.kind.name));
  if (users.length > 1) return `one result file per message: send ${users.join(' and ')} separately`;
  if (users.length === 0) return null;
  if (plan.file === null) return `missing ${PATH_WORD}<path> for ${users[0]}`;
  return checkResultPath(plan.file);
}

// Gives back what makePlan reserved, when the command will not run after all.
function releasePlan(plan) {
  for (const s of plan.starts) {
    if (state.activities[s.kind.key] === s.act) delete state.activities[s.kind.key];
  }
  for (const kind of plan.stops) {
    const act = state.activities[kind.key];
    if (act && act.state === 'stopping') act.state = 'running';
  }
}

function runPlan(plan) {
  log(`running mask 0x${plan.mask.toString(16)}`);
  for (const kind of plan.stops) guard(() => attempt(kind.name + ' stop', () => stopActivity(kind)));
  for (const cmd of plan.oneShots) guard(() => attempt(cmd.name, () => cmd.run(plan.file)));
  if (plan.plainFlags) guard(() => attempt('--v8-options', () => applyPlainFlags(plan.plainFlags)));
  for (const { kind, act } of plan.starts) {
    guard(() => attempt(kind.name + ' start', () => startActivity(kind, act), () => releasePlan({ starts: [{ kind, act }], stops: [] })));
    if (plan.autoStop > 0) scheduleAutoStop(kind, act, plan.autoStop);
  }
}

function applyPlainFlags(flags) {
  for (const flag of flags) v8.setFlagsFromString(flag);
  state.appliedFlags.push(...flags);
  log(`V8 options set: ${flags.join(' ')}`);
}

function attempt(what, fn, onFail) {
  try {
    fn();
  } catch (err) {
    if (onFail) onFail();
    warn(`${what} failed: ${err.message}`);
  }
}

// The extended message has no deferred stop behind it: its parameter, when
// positive, is the number of seconds after which the agent stops what it started.
function scheduleAutoStop(kind, act, seconds) {
  setTimeout(() => guard(() => {
    if (state.activities[kind.key] === act && act.state === 'running') stopActivity(kind);
  }), seconds * 1000).unref();
}

// ---------------------------------------------------------------- connections

function replyBuffer(size, accepted, text) {
  const buf = Buffer.alloc(size);
  buf[0] = accepted ? 0x59 : 0x4e; // 'Y' or 'N'
  buf.write(text, 3, size - 4, 'utf8'); // the last byte stays NUL
  return buf;
}

function armTimer(conn, ms, fn) {
  clearTimeout(conn.timer);
  conn.timer = setTimeout(() => guard(fn), ms);
  conn.timer.unref();
}

function endWith(conn, reply) {
  finishConnection(conn);
  conn.sock.end(reply);
  const linger = setTimeout(() => conn.sock.destroy(), LINGER_MS);
  linger.unref();
  conn.sock.once('close', () => clearTimeout(linger));
}

function refuse(conn, size, text) {
  log(`refused: ${text}`);
  endWith(conn, replyBuffer(size, false, text));
}

function finishConnection(conn) {
  clearTimeout(conn.timer);
  conn.state = 'done';
  state.pendingKick.delete(conn);
}

// The client went away or broke the protocol: whatever it asked for is dropped.
function dropConnection(conn) {
  if (conn.state === 'waiting' || conn.state === 'deciding') {
    if (conn.plan) releasePlan(conn.plan);
    log('client left before its command ran; command dropped');
  }
  finishConnection(conn);
  conn.sock.destroy();
}

function onConnection(sock) {
  sock.unref();
  const conn = { sock, chunks: [], size: 0, timer: null, state: 'reading', plan: null };
  conn.deadline = Date.now() + INCOMPLETE_MS;
  sock.on('error', () => guard(() => dropConnection(conn)));
  sock.on('close', () => guard(() => { if (conn.state !== 'done') dropConnection(conn); }));
  sock.on('data', (chunk) => guard(() => onData(conn, chunk)));
  sock.on('end', () => guard(() => onEnd(conn)));
  armTimer(conn, INCOMPLETE_MS, () => refuseIncomplete(conn));
}

function refuseIncomplete(conn) {
  refuse(conn, MSG_SIZE, `malformed message: ${conn.size} bytes received, a message has ${MSG_SIZE} or ${EXT_MSG_SIZE}`);
}

function onData(conn, chunk) {
  if (conn.state === 'done') return;
  if (conn.state !== 'reading') { dropConnection(conn); return; } // bytes after a whole message
  conn.chunks.push(chunk);
  conn.size += chunk.length;
  if (conn.size > EXT_MSG_SIZE) {
    refuse(conn, MSG_SIZE, `malformed message: more than ${EXT_MSG_SIZE} bytes`);
  } else if (conn.size === EXT_MSG_SIZE) {
    takeMessage(conn, EXT_MSG_SIZE);
  } else if (conn.size === MSG_SIZE) {
    armTimer(conn, EXTENDED_GRACE_MS, () => takeMessage(conn, MSG_SIZE));
  } else if (conn.size > MSG_SIZE) {
    armTimer(conn, Math.max(0, conn.deadline - Date.now()), () => refuseIncomplete(conn));
  }
}

// A client that shuts down its sending side has left: nothing it asked for
// runs. An incomplete message still gets its refusal, in case it listens.
function onEnd(conn) {
  conn.peerEnded = true;
  if (conn.state === 'waiting') dropConnection(conn);
  else if (conn.state !== 'reading') return;
  else if (conn.size === MSG_SIZE) takeMessage(conn, MSG_SIZE);
  else refuseIncomplete(conn);
}

function takeMessage(conn, size) {
  clearTimeout(conn.timer);
  conn.state = 'deciding';
  const msg = Buffer.concat(conn.chunks, conn.size);
  conn.chunks = null;
  const mask = readUInt32(msg, 0);
  const param = readInt32(msg, 4); // sender pid, or the extended message's parameter
  const nul = msg.indexOf(0, TEXT_OFFSET);
  if (nul < 0) { refuse(conn, size, 'malformed message: option text is not NUL-terminated'); return; }
  const text = msg.toString('utf8', TEXT_OFFSET, nul);
  log(`message of ${size} bytes: mask 0x${mask.toString(16)}, ${size === MSG_SIZE ? 'sender' : 'parameter'} ${param}, text "${text}"`);
  const needsFlags = (mask & BIT.V8_OPTIONS) !== 0;
  const decide = (err) => guard(() => decideMessage(conn, size, err, mask, text, size === EXT_MSG_SIZE ? param : 0));
  if (needsFlags) loadFlagTable(decide);
  else decide(null);
}

function decideMessage(conn, size, err, mask, text, autoStop) {
  if (conn.state !== 'deciding') return; // the client left while the flag list was read
  const plan = err ? { error: err } : makePlan(mask, text, autoStop);
  if (plan.error) { refuse(conn, size, plan.error); return; }
  conn.plan = plan;
  if (size === EXT_MSG_SIZE) {
    // One reply and no kick: the command runs right after the reply.
    // It runs even if the client leaves now: its message was complete.
    endWith(conn, replyBuffer(size, true, 'accepted'));
    setImmediate(() => guard(() => runPlan(plan)));
    return;
  }
  conn.state = 'waiting';
  if (conn.peerEnded) { dropConnection(conn); return; }
  state.pendingKick.add(conn);
  conn.sock.write(replyBuffer(MSG_SIZE, true, 'accepted, waiting for SIGUSR2'));
  armTimer(conn, KICK_TIMEOUT_MS, () => dropConnection(conn));
}

// The kick: every waiting client gets its second reply first, and only then
// do the commands run, so a slow heap snapshot never keeps a client waiting.
function onKick() {
  for (const conn of state.pendingKick) {
    const plan = conn.plan;
    endWith(conn, replyBuffer(MSG_SIZE, true, 'done'));
    // node hands the reply to the kernel within end() when the socket has
    // room, as it has here; the commands go on the next turn of the loop.
    setImmediate(() => guard(() => runPlan(plan)));
  }
}

// ---------------------------------------------------------------- lifecycle

function removeSocket() {
  for (const file of [state.socketPath, state.bindPath]) {
    try { if (file) fs.unlinkSync(file); } catch (_) { /* already gone */ }
  }
  state.socketPath = null;
  state.bindPath = null;
}

// SIGINT/SIGTERM: when the application has no handler of its own, remove the
// socket and end the way node ends without the agent (killed by the signal).
function onTerminatingSignal(signal) {
  if (process.listenerCount(signal) > 1) return; // the application decides
  finishAllActivities();
  removeSocket();
  process.removeListener(signal, terminatingHandlers[signal]);
  process.kill(process.pid, signal);
}
const terminatingHandlers = {
  SIGINT: () => guard(() => onTerminatingSignal('SIGINT')),
  SIGTERM: () => guard(() => onTerminatingSignal('SIGTERM')),
};

function serve() {
  const socketPath = `/tmp/kestrun-uds-path-${process.pid}`;
  // Bound under a temporary name and renamed once it listens, so that the
  // socket path never names a socket that would refuse a connection.
  const bindPath = `${socketPath}.binding`;
  for (const file of [socketPath, bindPath]) {
    try { fs.unlinkSync(file); } catch (_) { /* no stale file of this pid */ }
  }
  const server = net.createServer({ allowHalfOpen: true }, (sock) => guard(() => onConnection(sock)));
  server.on('error', (err) => guard(() => { warn(`control socket ${socketPath}: ${err.message}`); removeSocket(); }));
  server.listen(bindPath, () => guard(() => {
    fs.renameSync(bindPath, socketPath);
    state.socketPath = socketPath;
    state.bindPath = null;
  }));
  server.unref();
  state.server = server;
  state.bindPath = bindPath;
  // The kick handler stays installed for the whole life of the process:
  // quellix checks that SIGUSR2 is caught before it sends the kick.
  process.on('SIGUSR2', () => guard(onKick));
  process.on('SIGINT', terminatingHandlers.SIGINT);
  process.on('SIGTERM', terminatingHandlers.SIGTERM);
  process.on('exit', () => guard(() => { finishAllActivities(); removeSocket(); }));
}

function main() {
  if (global[LOADED]) return; // loaded twice (a second copy on NODE_OPTIONS)
  global[LOADED] = true;
  Object.defineProperty(process, 'kestrun', { value: VERSION, enumerable: false, configurable: true });
  if (isMainThread && process.env.ENABLE_NODE_LOG === 'YES') serve();
}

guard(main);
