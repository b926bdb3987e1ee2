'use strict';
// What each command bit does, as two tables: one-shot commands and
// activities (started by one message, stopped by another). Runs in the
// agent's worker; the main thread is reached through the inspector session.
const path = require('path');
const { BIT, KNOWN_BITS, PATH_WORD, parseOptionText } = require('./wire');
const { log, warn, setEnabled } = require('./log');
const results = require('./results');
const status = require('./status');
const flags = require('./flags');
const room = require('./room');
const stack = require('./stack');
const { withSession } = require('./session');
const { SHARED } = require('./shared');

// An extended message's parameter is a timer in seconds: 24 days at most,
// which a timer of the event loop still holds.
const MAX_AUTO_STOP_S = 24 * 24 * 3600;
// How long the first reply waits for the main thread's answers (heap size,
// heap sampling); a main thread blocked in native code gives none.
const MAIN_ANSWER_WAIT_MS = 400;
// The room check of the first reply takes at most this long, a census of
// the heap's objects included (quellix waits a second for the reply).
const CHECK_WAIT_MS = 800;
// At exit the running profiles' data is collected within this time; the
// process's end waits at most a second for the whole drain.
const EXIT_COLLECT_MS = 600;

// { session, engine, shared, execArgv, version, mainAnswers, ignoreMemory }:
// `session` serves the commands and profiles, `engine` the heap snapshots and
// the timeline (disabling the heap profiler after a snapshot must not end a
// heap profile that runs on the other one).
let ctx = null;
const activities = {}; // key -> { state: 'starting'|'running'|'done', accepted, stopPlanned, path, ... }
let inProgress = 0;    // commands and activities that need the main thread
const pendingWork = new Set();
// V8 builds one heap snapshot at a time: the heap snapshot or timeline that
// has it, { what, path }, from its accepting reply until its file is done.
let snapshotUser = null;
let lastHeap = null;
let closing = false;
const writing = new Set(); // snapshot files being written, abandoned at exit

function init(context) { ctx = context; }

// The count the main thread looks at on its way out.
function setActive(delta) {
  inProgress += delta;
  Atomics.store(ctx.shared, SHARED.ACTIVE, inProgress);
}

function within(ms, promise, late) {
  let timer;
  const timeout = new Promise((resolve) => { timer = setTimeout(resolve, ms, late); });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// Calls back with true when the main thread is free: it answers on its event loop.
function mainIsFree() {
  return new Promise((resolve) => ctx.mainAnswers(resolve));
}

// ---------------------------------------------------------------- heap snapshots

// What the main thread knows of its heap (lib/need.js): its figures, its
// last census of the heap's objects, its last snapshot's growth. It answers
// also while it runs JavaScript; while it is blocked in native code the
// last answer stands in, or else the process's resident size.
function askMain(count) {
  return withSession(ctx.session, (s) => s.call('heapNeed', count)).then((answer) => {
    lastHeap = answer;
    if (answer.failure) log(`the census of the heap's objects failed: ${answer.failure}`);
    return answer;
  });
}

// A census of the heap's objects under way, answered by the main thread.
let counting = null;

// Has the main thread write a heap snapshot (a timeline's while allocation
// tracking runs) into a new result file. While the main thread is free it
// writes natively, at the speed of node's own snapshots; while it is busy
// (in JavaScript, or blocked in native code) the snapshot comes through an
// inspector stream that watches the disk's free space and can stop. Either
// way the main thread checks the room once more, with the heap's size of the
// moment, right before. Afterwards the heap profiler is disabled: V8 then
// forgets the object ids it kept for the snapshot (and ends allocation
// tracking), and the session is closed.
async function writeSnapshot(file, what, session) {
  const mode = (await mainIsFree()) ? 'native' : 'stream';
  const out = await results.ResultFile.create(file);
  writing.add(out);
  try {
    const res = await withSession(session, async (s) => {
      try {
        return await s.call('writeSnapshot', {
          fd: out.fd, dev: out.dev, ino: out.ino, mode, what, dir: path.dirname(file), ignoreMemory: ctx.ignoreMemory,
        });
      } finally {
        await s.post('HeapProfiler.disable').catch(() => {});
      }
    });
    if (res.abandoned || closing) throw quiet(new Error(res.abandoned || 'the process is ending'));
    const failure = res.refused || res.aborted || res.error;
    if (failure) throw new Error(failure);
    const grew = res.growth !== undefined ? `; the process grew by at most ${room.mb(res.growth)} MB meanwhile` : '';
    log(`${what} written ${mode === 'native' ? 'natively by the main thread' : 'through the inspector stream'}${grew}`);
    out.finish();
  } catch (err) {
    out.abandon();
    throw err;
  } finally {
    writing.delete(out);
  }
}

function heapdump(file) {
  return writeSnapshot(file, 'heap snapshot', ctx.engine);
}

// The refusals of the first reply for a heap snapshot or timeline: the
// disk and memory it needs, by the heap's figures as the main thread tells
// them, and by a census of its objects when the figures leave it open. A
// census that outlasts the reply goes on (it holds the main thread: the
// next ask waits for it instead of the figures), and the refusal asks to ask
// again; one that cannot run now (the main thread blocked) is left to the
// main thread's own check right before it writes.
async function checkRoom(file, what) {
  const dir = path.dirname(file);
  const deadline = Date.now() + CHECK_WAIT_MS;
  const fresh = counting ? null : await within(MAIN_ANSWER_WAIT_MS, askMain(false).catch(() => null), null);
  const heap = fresh || lastHeap || { rss: room.rssBytes() };
  const verdict = room.check(what, dir, heap, ctx.ignoreMemory);
  if (!verdict || !verdict.open) return verdict && verdict.refusal;
  if (!counting && !fresh) return null;
  if (!counting) counting = askMain(true).catch(() => null).finally(() => { counting = null; });
  const counted = await within(Math.max(0, deadline - Date.now()), counting, undefined);
  if (counted === undefined) return { askAgain: true, text: room.countingText(verdict.open) };
  const decided = room.check(what, dir, counted || heap, ctx.ignoreMemory, true);
  return decided && decided.refusal;
}

// V8 has one sampling heap profiler per process: when the application (an
// APM agent, say) runs it, it is left alone.
async function checkHeapSampling() {
  const answer = await withSession(ctx.session, (s) =>
    within(MAIN_ANSWER_WAIT_MS, s.post('HeapProfiler.getSamplingProfile').then(() => 'running', () => 'free'), 'silent'));
  if (answer === 'running') return 'the application already runs V8\'s sampling heap profiler (one per process): it is left alone, no heap profile is started';
  if (answer === 'silent') return 'the main thread does not answer: cannot tell whether the application runs V8\'s sampling heap profiler; try again';
  return null;
}

// ---------------------------------------------------------------- activities

async function beginCpuProfile(act) {
  await act.session.post('Profiler.enable');
  await act.session.post('Profiler.start');
  act.collect = async () => JSON.stringify((await act.session.post('Profiler.stop')).profile);
}

async function beginSampling(act) {
  // The application may have started it since the first reply.
  if (await act.session.post('HeapProfiler.getSamplingProfile').then(() => true, () => false)) {
    throw new Error('the application started V8\'s sampling heap profiler meanwhile; no heap profile is started');
  }
  await act.session.post('HeapProfiler.enable');
  // Garbage counts too: the profile is for finding where memory is allocated.
  await act.session.post('HeapProfiler.startSampling', {
    samplingInterval: 32768, includeObjectsCollectedByMajorGC: true, includeObjectsCollectedByMinorGC: true,
  });
  act.collect = async () => JSON.stringify((await act.session.post('HeapProfiler.stopSampling')).profile);
}

// Allocation tracking runs on the engine session; the other session stays
// connected meanwhile, since closing it would end the tracking.
async function beginTimeline(act) {
  act.general = ctx.session.acquire();
  await act.session.post('HeapProfiler.enable');
  await act.session.post('HeapProfiler.startTrackingHeapObjects', { trackAllocations: true });
  act.finish = () => writeSnapshot(act.path, 'heap timeline', act.session);
}

async function beginV8Options(act) {
  flags.setFlags(act.flags.apply);
  act.startedAt = new Date();
  if (act.flags.gcTrace.length > 0) {
    act.session = ctx.session.acquire();
    await act.session.call('gcStart');
  }
  act.collect = async () => {
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
    return lines.join('\n') + '\n';
  };
}

// Commands that run until a stop command ends them; only one of a kind at a
// time. session: the inspector session the activity holds while it runs. An
// activity with `collect` has its data in milliseconds and is written also
// when the process ends; the timeline's snapshot (`finish`) is not.
const ACTIVITIES = [
  { key: 'timeline', name: 'heap timeline', start: BIT.START_TIMELINE, stop: BIT.STOP_TIMELINE, begin: beginTimeline, session: 'engine', snapshot: true },
  { key: 'cpu', name: 'CPU profile', start: BIT.START_PROFILING, stop: BIT.STOP_PROFILING, begin: beginCpuProfile, session: 'session' },
  { key: 'sampling', name: 'heap profile', start: BIT.START_HEAP_PROFILING, stop: BIT.STOP_HEAP_PROFILING, begin: beginSampling, session: 'session', check: checkHeapSampling },
  { key: 'v8options', name: 'V8 options session', start: BIT.V8_OPTIONS, stop: BIT.STOP_V8_OPTIONS, begin: beginV8Options },
];

// An activity from its accepting reply on. `started` settles once its start
// has run (or failed), or when its message is dropped before that.
function newActivity(file) {
  const act = { state: 'starting', path: file, accepted: false, stopPlanned: false };
  act.started = new Promise((resolve) => { act.settleStart = resolve; });
  return act;
}

function startActivity(kind, act) {
  const begun = beginActivity(kind, act);
  begun.then(act.settleStart, act.settleStart);
  return begun;
}

async function beginActivity(kind, act) {
  setActive(1);
  if (kind.session) act.session = ctx[kind.session].acquire();
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
  if (snapshotUser === act) snapshotUser = null;
  if (act.path) results.release(act.path);
  for (const s of [act.session, act.general]) if (s) s.release();
  act.session = act.general = null;
  act.state = 'done';
  setActive(-1);
}

// A stop may come before its activity has started: its start may wait for
// its kick, or for a main thread that is writing a snapshot (allocation
// tracking, too, first gives every object of a large heap an id). The stop
// then waits, and is carried out right after the start.
async function stopActivity(kind, act) {
  const early = act.state === 'starting';
  await act.started;
  if (act.state !== 'running') {
    log(`${kind.name} stop: the ${kind.name} did not start, nothing to stop`);
    return;
  }
  if (act.finishing) return;
  if (early) log(`${kind.name} stop came before the ${kind.name} had started: stopped right after its start, so ${act.path} is shorter than asked`);
  act.finishing = true;
  try {
    if (act.collect) await results.writeTextResult(act.path, await act.collect());
    else await act.finish();
    log(`stopped ${kind.name}`);
  } finally {
    endActivity(kind, act);
  }
}

// The process is ending, and its end waits a second at most: the profiles
// are collected, the sessions closed (`disconnect`), and only then the
// files written. A heap snapshot or timeline, which takes seconds or
// minutes, is abandoned and its temporary file removed.
async function finishAll(disconnect) {
  closing = true;
  // Each within the same time, a stop that was already under way included.
  const deadline = Date.now() + EXIT_COLLECT_MS;
  const until = (promise) => within(Math.max(0, deadline - Date.now()), promise, null);
  const texts = [];
  for (const kind of ACTIVITIES) {
    const act = activities[kind.key];
    if (!act || act.state === 'starting' || act.finishing) continue;
    act.finishing = true;
    if (!act.collect) {
      // Allocation tracking ends now, while the main thread waits for this.
      texts.push(until(act.session.post('HeapProfiler.disable').catch(() => {})).then(() => {
        const why = `${kind.name} abandoned: the process is ending`;
        log(why);
        status.failed(act.path, why);
        endActivity(kind, act);
        return null;
      }));
      continue;
    }
    texts.push(act.collect().then((text) => ({ kind, act, text }),
      (err) => { fail(act.path, `${kind.name} stop failed: ${err.message}`); return { kind, act, text: null }; }));
  }
  const collected = await Promise.all(texts.map(until));
  await until(Promise.all(pendingWork));
  for (const out of writing) out.abandon();
  disconnect();
  for (const got of collected) {
    if (!got || got.text === null) continue;
    await results.writeTextResult(got.act.path, got.text).catch((err) => fail(got.act.path, `${got.kind.name} stop failed: ${err.message}`));
    endActivity(got.kind, got.act);
  }
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
    results.writeTextResult(file, head.join('\n') + '\n' + flags.table.listing).then(resolve, reject);
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
  // First: the stack is the one of the moment the command came.
  { bit: BIT.STACK, name: '--stack', file: true, run: (file) => stack.writeStack(ctx.session, file) },
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
  const error = checkStarts(plan, words) || checkStops(plan) || checkFileUse(plan) || checkSnapshotEngine(plan);
  if (error) return { error };
  for (const s of plan.starts) activities[s.kind.key] = s.act;
  for (const { act } of plan.stops) act.stopPlanned = true;
  if (plan.writes) {
    results.reserve(file);
    plan.reserved = true;
  }
  if (plan.snapshot) snapshotUser = plan.snapshot;
  // The checks that ask the main thread, once the plan holds its reservations.
  const refusal = (plan.snapshot && await checkRoom(file, plan.snapshot.what)) ||
    await firstRefusal(plan.starts.filter((s) => s.kind.check).map((s) => s.kind.check));
  if (refusal) {
    releasePlan(plan);
    // A census under way: the answer comes to the next ask.
    if (refusal.askAgain) return { error: refusal.text, askAgain: true };
    return { error: refusal };
  }
  return plan;
}

async function firstRefusal(checks) {
  for (const check of checks) {
    const refusal = await check();
    if (refusal) return refusal;
  }
  return null;
}

// A heap snapshot or timeline waits for no other: V8 builds one at a time.
function checkSnapshotEngine(plan) {
  const timeline = plan.starts.find((s) => s.kind.snapshot);
  const dump = plan.oneShots.some((c) => c.snapshot);
  if (!timeline && !dump) return null;
  if (snapshotUser) {
    const running = snapshotUser.what === 'heap snapshot' ? `a heap snapshot is being written to ${snapshotUser.path}`
      : `a heap timeline is running (result file ${snapshotUser.path})`;
    return `${running}; one heap snapshot or timeline at a time`;
  }
  plan.snapshot = timeline ? Object.assign(timeline.act, { what: 'heap timeline' }) : { what: 'heap snapshot', path: plan.file };
  return null;
}

function checkStarts(plan, words) {
  for (const kind of ACTIVITIES) {
    if (!(plan.mask & kind.start)) continue;
    if (plan.mask & kind.stop) return `cannot start and stop a ${kind.name} in one message`;
    const act = newActivity(plan.file);
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

// A stop belongs to the activity that writes the message's result path. An
// activity whose start was accepted is stopped also when it has not started
// yet: its file is then written right after its start.
function checkStops(plan) {
  for (const kind of ACTIVITIES) {
    if (!(plan.mask & kind.stop)) continue;
    const act = activities[kind.key];
    if (!act || !act.accepted || act.stopPlanned) return `no ${kind.name} is running`;
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

// The accepting reply goes out: the plan's starts may be stopped from now
// on, and its result file is pending.
function acceptPlan(plan) {
  for (const s of plan.starts) s.act.accepted = true;
  if (plan.writes) status.pending(plan.file);
  plan.accepted = true;
}

// Gives back what makePlan reserved, when the command will not run after all;
// `why`, when an accepted plan is dropped, is its result file's failure.
function releasePlan(plan, why) {
  if (plan.snapshot && snapshotUser === plan.snapshot) snapshotUser = null;
  for (const s of plan.starts) {
    if (activities[s.kind.key] === s.act) delete activities[s.kind.key];
    s.act.state = 'done';
    s.act.settleStart();
  }
  for (const { act } of plan.stops) act.stopPlanned = false;
  if (plan.reserved) results.release(plan.file);
  plan.reserved = false;
  if (plan.accepted && plan.writes && why) status.failed(plan.file, why);
}

function runPlan(plan) {
  const work = runPlanSteps(plan).catch((err) => warn(`internal error: ${err && err.stack}`));
  pendingWork.add(work);
  work.finally(() => pendingWork.delete(work));
  return work;
}

async function runPlanSteps(plan) {
  log(`running mask 0x${plan.mask.toString(16)}`);
  for (const { kind, act } of plan.stops) await attempt(kind.name + ' stop', () => stopActivity(kind, act), act.path);
  if (plan.oneShots.length > 0) {
    setActive(1);
    try {
      for (const cmd of plan.oneShots) await attempt(cmd.name, () => cmd.run(plan.file), cmd.file ? plan.file : null);
    } finally {
      if (plan.oneShots.some((c) => c.file)) results.release(plan.file);
      if (plan.snapshot && plan.snapshot.what === 'heap snapshot' && snapshotUser === plan.snapshot) snapshotUser = null;
      setActive(-1);
    }
  }
  if (plan.plainFlags) await attempt('--v8-options', () => applyPlainFlags(plan.plainFlags));
  for (const { kind, act } of plan.starts) {
    if (await attempt(kind.name + ' start', () => startActivity(kind, act), act.path) && plan.autoStop > 0) {
      scheduleAutoStop(kind, act, plan.autoStop);
    }
  }
}

function applyPlainFlags(words) {
  flags.setFlags(words);
  log(`V8 options set: ${words.join(' ')}`);
}

// A failure that only the log hears of: the process is ending, and its
// output must be what it is without the agent.
function quiet(err) { return Object.assign(err, { quiet: true }); }

// Runs one step of a plan; a failure is said, and is the failure of the
// step's result file, when it has one.
async function attempt(what, fn, file) {
  try {
    await fn();
    return true;
  } catch (err) {
    fail(file, `${what} failed: ${err.message}`, err.quiet);
    return false;
  }
}

// Once the process is ending (its exit handler has taken the socket away),
// what fails is the end's doing, and the process's output stays its own.
function ending() {
  return closing || Atomics.load(ctx.shared, SHARED.SERVED) === 2;
}

function fail(file, text, quietly = false) {
  (quietly || ending() ? log : warn)(text);
  if (file) status.failed(file, text);
}

// The extended message has no deferred stop behind it: its parameter, when
// positive, is the number of seconds after which the agent stops what it started.
function scheduleAutoStop(kind, act, seconds) {
  setTimeout(() => {
    if (activities[kind.key] === act && act.state === 'running' && !act.stopPlanned) {
      act.stopPlanned = true;
      runPlan({ mask: kind.stop, file: act.path, oneShots: [], starts: [], stops: [{ kind, act }] });
    }
  }, seconds * 1000).unref();
}

module.exports = { init, makePlan, acceptPlan, releasePlan, runPlan, finishAll };
