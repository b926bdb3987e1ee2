'use strict';
// What each command bit does, as two tables: one-shot commands and
// activities (started by one message, stopped by another). Runs in the
// agent's worker; the main thread is reached through the inspector session.
const path = require('path');
const { BIT, KNOWN_BITS, PATH_WORD, parseOptionText } = require('./wire');
const { log, warn, setEnabled } = require('./log');
const results = require('./results');
const flags = require('./flags');
const { withSession } = require('./session');
const { SHARED } = require('./shared');

// An extended message's parameter is a timer in seconds: 24 days at most,
// which a timer of the event loop still holds.
const MAX_AUTO_STOP_S = 24 * 24 * 3600;
// How long the first reply waits for the main thread's heap size.
const HEAP_USAGE_WAIT_MS = 400;

let ctx = null; // { session, shared, execArgv, version }
const activities = {}; // key -> { state: 'starting'|'running'|'stopping', path, ... }
let inProgress = 0;    // commands and activities that need the main thread
const pendingWork = new Set();

function init(context) { ctx = context; }

// The count the main thread looks at on its way out.
function setActive(delta) {
  inProgress += delta;
  Atomics.store(ctx.shared, SHARED.ACTIVE, inProgress);
}

// ---------------------------------------------------------------- heap snapshots

// Streams a heap snapshot of the main thread into a result file: V8 sends it
// in chunks through the session, the worker writes them to its own
// descriptor. `take` posts the command that makes V8 send the snapshot.
async function streamSnapshot(session, file, take) {
  const out = new results.ResultFile(file);
  const onChunk = (m) => out.write(m.params.chunk);
  session.on('HeapProfiler.addHeapSnapshotChunk', onChunk);
  try {
    await take();
  } catch (err) {
    out.fail(err);
  } finally {
    session.off('HeapProfiler.addHeapSnapshotChunk', onChunk);
  }
  out.finish();
}

function heapdump(file) {
  return withSession(ctx.session, (s) =>
    streamSnapshot(s, file, () => s.post('HeapProfiler.takeHeapSnapshot', { reportProgress: false })));
}

// Refuses a snapshot that clearly cannot fit: its file is about as large as
// the main heap's used size. Unknown sizes let the message through.
async function checkSpace(file, what) {
  const free = results.freeBytes(file);
  if (free === null) return null;
  let used = null;
  await withSession(ctx.session, async (s) => {
    const timer = new Promise((resolve) => setTimeout(resolve, HEAP_USAGE_WAIT_MS, null));
    const usage = await Promise.race([s.post('Runtime.getHeapUsage').catch(() => null), timer]);
    if (usage) used = usage.usedSize;
  });
  if (used === null || free >= used) return null;
  return `not enough space for the ${what} in ${path.dirname(file)}: about ${flags.mb(used)} MB needed, ${flags.mb(free)} MB free`;
}

// ---------------------------------------------------------------- activities

async function beginCpuProfile(act) {
  await act.session.post('Profiler.enable');
  await act.session.post('Profiler.start');
  act.finish = async () => results.writeTextResult(act.path, JSON.stringify((await act.session.post('Profiler.stop')).profile));
}

async function beginSampling(act) {
  await act.session.post('HeapProfiler.enable');
  // Garbage counts too: the profile is for finding where memory is allocated.
  await act.session.post('HeapProfiler.startSampling', {
    samplingInterval: 32768, includeObjectsCollectedByMajorGC: true, includeObjectsCollectedByMinorGC: true,
  });
  act.finish = async () => results.writeTextResult(act.path, JSON.stringify((await act.session.post('HeapProfiler.stopSampling')).profile));
}

// The timeline's snapshot comes in chunks during the stop call. They are
// written by this worker, whose allocations the main heap's tracking never sees.
async function beginTimeline(act) {
  const s = act.session;
  await s.post('HeapProfiler.enable');
  await s.post('HeapProfiler.startTrackingHeapObjects', { trackAllocations: true });
  act.finish = async () => {
    let stopped = false;
    const stop = () => { stopped = true; return s.post('HeapProfiler.stopTrackingHeapObjects', { reportProgress: false }); };
    try {
      await streamSnapshot(s, act.path, stop);
    } finally {
      // Allocation tracking costs every allocation: it ends even without a file.
      if (!stopped) await stop().catch(() => {});
    }
  };
}

async function beginV8Options(act) {
  flags.setFlags(act.flags.apply);
  act.startedAt = new Date();
  if (act.flags.gcTrace.length > 0) {
    act.session = ctx.session.acquire();
    await act.session.call('gcStart');
  }
  act.finish = async () => {
    const lines = [
      `# ${ctx.version}: V8 options session of pid ${process.pid}`,
      `# flags set: ${act.flags.apply.join(' ') || '(none)'}`,
      `# started ${act.startedAt.toISOString()}, stopped ${new Date().toISOString()}`,
    ];
    if (act.flags.apply.length > 0) lines.push('# V8 writes the output of these flags to the process\'s standard output');
    if (act.session) {
      const statistics = JSON.parse(await act.session.call('gcStop'));
      lines.push(`# GC tracing (${act.flags.gcTrace.map((f) => '--' + f).join(' ')}), collected in-process; sizes: used (committed)`);
      lines.push(...flags.formatGcLog(statistics, act.flags.gcTrace));
    }
    flags.setFlags(act.flags.revert, false);
    if (act.flags.revert.length > 0) lines.push(`# switched back: ${act.flags.revert.join(' ')}`);
    results.writeTextResult(act.path, lines.join('\n') + '\n');
  };
}

// Commands that run until a stop command ends them; only one of a kind at a time.
const ACTIVITIES = [
  { key: 'timeline', name: 'heap timeline', start: BIT.START_TIMELINE, stop: BIT.STOP_TIMELINE, begin: beginTimeline, session: true, snapshot: true },
  { key: 'cpu', name: 'CPU profile', start: BIT.START_PROFILING, stop: BIT.STOP_PROFILING, begin: beginCpuProfile, session: true },
  { key: 'sampling', name: 'heap profile', start: BIT.START_HEAP_PROFILING, stop: BIT.STOP_HEAP_PROFILING, begin: beginSampling, session: true },
  { key: 'v8options', name: 'V8 options session', start: BIT.V8_OPTIONS, stop: BIT.STOP_V8_OPTIONS, begin: beginV8Options },
];

async function startActivity(kind, act) {
  setActive(1);
  if (kind.session) act.session = ctx.session.acquire();
  try {
    await kind.begin(act);
  } catch (err) {
    endActivity(kind, act);
    throw err;
  }
  act.state = 'running';
  log(`started ${kind.name} -> ${act.path}`);
}

function endActivity(kind, act) {
  if (activities[kind.key] === act) delete activities[kind.key];
  if (act.path) results.release(act.path);
  if (act.session) act.session.release();
  act.session = null;
  act.state = 'done';
  setActive(-1);
}

async function stopActivity(kind, act) {
  if (!act || act.state === 'done' || act.finishing) return;
  act.finishing = true;
  try {
    await act.finish();
    log(`stopped ${kind.name}`);
  } finally {
    endActivity(kind, act);
  }
}

// A process that ends during an activity still leaves its result file.
async function finishAll() {
  const stops = [];
  for (const kind of ACTIVITIES) {
    const act = activities[kind.key];
    if (act && act.state !== 'starting') {
      stops.push(stopActivity(kind, act).catch((err) => warn(`${kind.name} stop failed: ${err.message}`)));
    }
  }
  await Promise.all([...stops, ...pendingWork]);
}

// ---------------------------------------------------------------- one-shot commands

function writeFlagList(file) {
  return new Promise((resolve, reject) => flags.whenFlagTable((err) => {
    if (err) { reject(new Error(err)); return; }
    const head = [
      `# V8 flags of pid ${process.pid}: node ${process.version}, V8 ${process.versions.v8}`,
      `# process.execArgv: ${ctx.execArgv.join(' ') || '(none)'}`,
      `# NODE_OPTIONS: ${process.env.NODE_OPTIONS || '(none)'}`,
      `# set at run time through the control socket: ${flags.table.applied.join(' ') || '(none)'}`,
      '# flags of this node executable, with their defaults:',
    ];
    try {
      results.writeTextResult(file, head.join('\n') + '\n' + flags.table.listing);
      resolve();
    } catch (e) {
      reject(e);
    }
  }));
}

function forceGc() {
  return withSession(ctx.session, async (s) => {
    await s.post('HeapProfiler.collectGarbage');
    log('full GC done');
  });
}

// The report of the main thread, made there, so that its JavaScript stack is
// the main thread's (the busy code included).
function diagReport(file) {
  return withSession(ctx.session, async (s) => results.writeTextResult(file, await s.call('report')));
}

function setLog(on) {
  if (on) setEnabled(true);
  log(`agent log ${on ? 'enabled' : 'disabled'}`);
  if (!on) setEnabled(false);
}

// One-shot commands, in the order they run when a message carries several.
const ONE_SHOTS = [
  { bit: BIT.HEAPDUMP, name: '--heapdump', file: true, snapshot: true, run: heapdump },
  { bit: BIT.FORCE_GC, name: '--force_gc', run: forceGc },
  { bit: BIT.ENABLE_LOG, name: '--enable_node_log', run: () => setLog(true) },
  { bit: BIT.DISABLE_LOG, name: '--disable_node_log', run: () => setLog(false) },
  { bit: BIT.PRINT_V8FLAGS, name: '--print_v8flags', file: true, run: writeFlagList },
  { bit: BIT.DIAG_REPORT, name: '--diag_report', file: true, run: diagReport },
  // This agent has no parent runtime to hand a message to; the bit is accepted and logged.
  { bit: BIT.CHILD_TO_PARENT, name: '--child_to_parent', run: () => log('--child_to_parent: nothing to forward') },
];

// ---------------------------------------------------------------- message plan

// Checks a message against the agent's state and reserves what it starts or
// stops and its result path, so that two clients cannot both start the same
// kind or write the same file. Resolves to { error } or a plan
// { mask, file, oneShots, starts, stops, autoStop }.
async function makePlan(mask, text, autoStop) {
  if (mask === 0) return { error: 'no command in message' };
  if (mask & ~KNOWN_BITS) return { error: `unknown command bit(s) 0x${((mask & ~KNOWN_BITS) >>> 0).toString(16)}` };
  if ((mask & BIT.ENABLE_LOG) && (mask & BIT.DISABLE_LOG)) return { error: '--enable_node_log and --disable_node_log contradict each other' };
  if (autoStop > MAX_AUTO_STOP_S) return { error: `parameter ${autoStop} s is above the limit of ${MAX_AUTO_STOP_S} s (24 days)` };
  if (mask & BIT.V8_OPTIONS) {
    const err = await new Promise((resolve) => flags.whenFlagTable(resolve));
    if (err) return { error: err };
  }
  const { file, flags: words } = parseOptionText(text);
  const plan = { mask, file, oneShots: ONE_SHOTS.filter((c) => mask & c.bit), starts: [], stops: [], autoStop, reserved: false };
  const error = checkStarts(plan, words) || checkStops(plan) || checkFileUse(plan);
  if (error) return { error };
  for (const s of plan.starts) activities[s.kind.key] = s.act;
  for (const { act } of plan.stops) act.state = 'stopping';
  if (plan.writes) {
    results.reserve(file);
    plan.reserved = true;
  }
  const big = plan.oneShots.find((c) => c.snapshot) || plan.starts.map((s) => s.kind).find((k) => k.snapshot);
  if (big) {
    const refusal = await checkSpace(file, big.name === '--heapdump' ? 'heap snapshot' : big.name);
    if (refusal) {
      releasePlan(plan);
      return { error: refusal };
    }
  }
  return plan;
}

function checkStarts(plan, words) {
  for (const kind of ACTIVITIES) {
    if (!(plan.mask & kind.start)) continue;
    if (plan.mask & kind.stop) return `cannot start and stop a ${kind.name} in one message`;
    const act = { state: 'starting', path: plan.file };
    if (kind.key === 'v8options') {
      act.flags = flags.checkV8Flags(words, plan.file !== null);
      if (act.flags.error) return act.flags.error;
      if (plan.file === null) { plan.plainFlags = act.flags.apply; continue; }
    } else if (plan.file === null) {
      return `missing ${PATH_WORD}<path> for the ${kind.name}`;
    }
    const running = activities[kind.key];
    if (running) return `a ${kind.name} is already running (result file ${running.path})`;
    plan.starts.push({ kind, act });
  }
  return null;
}

// A stop belongs to the activity that writes the message's result path.
function checkStops(plan) {
  for (const kind of ACTIVITIES) {
    if (!(plan.mask & kind.stop)) continue;
    const act = activities[kind.key];
    if (!act || act.state !== 'running') return `no ${kind.name} is running`;
    if (plan.file !== null && plan.file !== act.path) {
      return `the running ${kind.name} writes to ${act.path}, not to ${plan.file}`;
    }
    plan.stops.push({ kind, act });
  }
  return null;
}

// One result file per message, at a path the agent can write, that does not
// exist and that no accepted message writes.
function checkFileUse(plan) {
  const users = plan.oneShots.filter((c) => c.file).map((c) => c.name)
    .concat(plan.starts.map((s) => s.kind.name));
  if (users.length > 1) return `one result file per message: send ${users.join(' and ')} separately`;
  if (users.length === 0) return null;
  if (plan.file === null) return `missing ${PATH_WORD}<path> for ${users[0]}`;
  plan.writes = true;
  return results.checkResultPath(plan.file);
}

// Gives back what makePlan reserved, when the command will not run after all.
function releasePlan(plan) {
  for (const s of plan.starts) {
    if (activities[s.kind.key] === s.act) delete activities[s.kind.key];
  }
  for (const { act } of plan.stops) {
    if (act.state === 'stopping') act.state = 'running';
  }
  if (plan.reserved) results.release(plan.file);
  plan.reserved = false;
}

function runPlan(plan) {
  const work = runPlanSteps(plan).catch((err) => warn(`internal error: ${err && err.stack}`));
  pendingWork.add(work);
  work.finally(() => pendingWork.delete(work));
  return work;
}

async function runPlanSteps(plan) {
  log(`running mask 0x${plan.mask.toString(16)}`);
  for (const { kind, act } of plan.stops) await attempt(kind.name + ' stop', () => stopActivity(kind, act));
  if (plan.oneShots.length > 0) {
    setActive(1);
    try {
      for (const cmd of plan.oneShots) await attempt(cmd.name, () => cmd.run(plan.file));
    } finally {
      if (plan.oneShots.some((c) => c.file)) results.release(plan.file);
      setActive(-1);
    }
  }
  if (plan.plainFlags) await attempt('--v8-options', () => applyPlainFlags(plan.plainFlags));
  for (const { kind, act } of plan.starts) {
    if (await attempt(kind.name + ' start', () => startActivity(kind, act)) && plan.autoStop > 0) {
      scheduleAutoStop(kind, act, plan.autoStop);
    }
  }
}

function applyPlainFlags(words) {
  flags.setFlags(words);
  log(`V8 options set: ${words.join(' ')}`);
}

async function attempt(what, fn) {
  try {
    await fn();
    return true;
  } catch (err) {
    warn(`${what} failed: ${err.message}`);
    return false;
  }
}

// The extended message has no deferred stop behind it: its parameter, when
// positive, is the number of seconds after which the agent stops what it started.
function scheduleAutoStop(kind, act, seconds) {
  setTimeout(() => {
    if (activities[kind.key] === act && act.state === 'running') {
      act.state = 'stopping';
      runPlan({ mask: kind.stop, file: act.path, oneShots: [], starts: [], stops: [{ kind, act }] });
    }
  }, seconds * 1000).unref();
}

module.exports = { init, makePlan, releasePlan, runPlan, finishAll };
