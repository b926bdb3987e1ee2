'use strict';
// What each command leaves behind: real, loadable result files, the agent's
// log, and V8 flags that take effect and are switched back.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const h = require('../harness/control-client');

const BIT = {
  HEAPDUMP: 0x1, FORCE_GC: 0x2, ENABLE_LOG: 0x4, DISABLE_LOG: 0x8, START_TIMELINE: 0x10, STOP_TIMELINE: 0x20,
  START_PROFILING: 0x40, STOP_PROFILING: 0x80, START_HEAP_PROFILING: 0x100, STOP_HEAP_PROFILING: 0x200,
  V8_OPTIONS: 0x400, STOP_V8_OPTIONS: 0x800, PRINT_V8FLAGS: 0x1000, DIAG_REPORT: 0x2000, CHILD_TO_PARENT: 0x4000,
};

let app;
before(async () => { app = await h.startApp(); });
after(() => h.stopApp(app));

// Sends a command through the whole exchange and expects it accepted.
async function command(mask, text = '') {
  const { first, second } = await h.exchange(app.pid, { mask, text });
  assert.equal(first.verdict, 'Y', `refused: ${first.text}`);
  assert.equal(second.verdict, 'Y');
}

async function refusal(mask, text = '') {
  const { first } = await h.exchange(app.pid, { mask, text });
  assert.equal(first.verdict, 'N');
  return first.text;
}

function result(name) {
  const file = path.join(app.dir, name);
  return { file, text: `--specified_log_path=${file} ` };
}

// Work for the app while an activity runs: CPU in fib(), and 64 MB of garbage.
const WORK = `{
  const end = Date.now() + 200;
  while (Date.now() < end) fib(20);
  let keep = 0;
  for (let i = 0; i < 64 * 1024; i++) keep += new Array(128).fill(i).length;
  keep;
}`;

// Starts an activity, has the app work, stops it, returns the file's text.
async function startStop(start, stop, name, flags = '') {
  const r = result(name);
  await command(start, flags + r.text);
  await h.evalInApp(app, WORK);
  await command(stop, flags + r.text);
  return h.waitForFile(r.file);
}

describe('result files', () => {
  it('--heapdump writes a V8 heap snapshot', async () => {
    const r = result('a.heapsnapshot');
    await command(BIT.HEAPDUMP, r.text);
    const snap = JSON.parse(await h.waitForFile(r.file));
    assert.ok(snap.snapshot.meta.node_fields.includes('name'));
    assert.ok(snap.nodes.length > 0 && snap.strings.length > 0);
  });

  it('CPU profile loads as a DevTools .cpuprofile', async () => {
    const profile = JSON.parse(await startStop(BIT.START_PROFILING, BIT.STOP_PROFILING, 'a.cpuprofile'));
    assert.ok(profile.nodes.length > 1);
    assert.ok(profile.samples.length > 0);
    assert.equal(profile.timeDeltas.length, profile.samples.length);
    assert.ok(profile.endTime > profile.startTime);
    assert.ok(profile.nodes.some((n) => n.callFrame.functionName === 'fib'), 'the busy function is not in the profile');
  });

  it('heap timeline is a snapshot with allocation traces', async () => {
    const timeline = JSON.parse(await startStop(BIT.START_TIMELINE, BIT.STOP_TIMELINE, 'a.heaptimeline'));
    assert.ok(timeline.snapshot.meta.trace_function_info_fields);
    assert.ok(timeline.trace_function_infos.length > 0);
  });

  it('heap profile is a sampling .heapprofile', async () => {
    const profile = JSON.parse(await startStop(BIT.START_HEAP_PROFILING, BIT.STOP_HEAP_PROFILING, 'a.heapprofile'));
    assert.ok(profile.head.children.length > 0);
    assert.ok(Array.isArray(profile.samples));
  });

  it('--diag_report writes the process report', async () => {
    const r = result('a.diag');
    await command(BIT.DIAG_REPORT, r.text);
    const report = JSON.parse(await h.waitForFile(r.file));
    assert.equal(report.header.processId, app.pid);
    assert.equal(report.header.nodejsVersion, process.version);
  });

  it('--print_v8flags lists the flags of this node', async () => {
    const r = result('a.txt');
    await command(BIT.PRINT_V8FLAGS, r.text);
    const text = await h.waitForFile(r.file);
    assert.match(text, new RegExp(`^# V8 flags of pid ${app.pid}: node ${process.version}`));
    assert.match(text, /^ {2}--trace-gc \(/m);
  });

  it('leaves no temporary file behind', () => {
    assert.deepEqual(fs.readdirSync(app.dir).filter((f) => f.endsWith('.tmp')), []);
  });
});

describe('plain commands', () => {
  it('--force_gc runs a full collection', async () => {
    const before = await h.evalInApp(app, `
      globalThis.gcSeen = [];
      new (require('perf_hooks').PerformanceObserver)((list) => globalThis.gcSeen.push(...list.getEntries().map((e) => e.detail.kind)))
        .observe({ entryTypes: ['gc'] });
      0`);
    assert.equal(before, 0);
    await command(BIT.FORCE_GC);
    const MAJOR = 4; // perf_hooks.constants.NODE_PERFORMANCE_GC_MAJOR
    await h.waitFor(() => h.evalInApp(app, `globalThis.gcSeen.includes(${MAJOR})`), 'a major GC');
  });

  it('--enable_node_log and --disable_node_log switch the agent log', async () => {
    const logFile = path.join(app.dir, `kestrun-agent-${app.pid}.log`);
    await command(BIT.ENABLE_LOG);
    await h.waitFor(() => fs.existsSync(logFile) && /agent log enabled/.test(fs.readFileSync(logFile, 'utf8')), 'the log line');
    await command(BIT.CHILD_TO_PARENT);
    await h.waitFor(() => /child_to_parent/.test(fs.readFileSync(logFile, 'utf8')), 'the logged message');
    await command(BIT.DISABLE_LOG);
    await h.waitFor(() => /agent log disabled/.test(fs.readFileSync(logFile, 'utf8')), 'the last log line');
    const size = fs.statSync(logFile).size;
    await command(BIT.FORCE_GC);
    assert.equal(fs.statSync(logFile).size, size);
  });
});

describe('--v8-options', () => {
  it('collects GC tracing into the gc-log until the stop', async () => {
    const flags = '--trace_gc --trace_gc_nvp --trace_gc_verbose --trace_fragmentation ';
    const text = await startStop(BIT.V8_OPTIONS, BIT.STOP_V8_OPTIONS, 'gc-log.txt', flags);
    assert.match(text, /^#1 (Scavenge|MarkSweepCompact|MinorMarkCompact) [\d.]+ \([\d.]+\) -> [\d.]+ \([\d.]+\) MB, [\d.]+ ms$/m);
    assert.match(text, /^gc=1 type=\w+ pause_us=\d+ used_before=\d+ used_after=\d+/m);
    assert.match(text, /^ {2}new_space: used [\d.]+ -> [\d.]+ MB/m);
    assert.match(text, /^ {2}old_space: size [\d.]+ MB, used [\d.]+ MB, available [\d.]+ MB, fragmentation [\d.]+%$/m);
    assert.match(text, /^# [1-9]\d* collections, total pause/m);
    assert.equal(app.out, '', 'V8 traced on the application\'s stdout');
  });

  it('sets a switch for the session and switches it back at the stop', async () => {
    const natives = "(() => { try { return typeof new Function('return %GetOptimizationStatus(function () {})')(); } catch (e) { return e.name; } })()";
    assert.equal(await h.evalInApp(app, natives), 'SyntaxError');
    const r = result('others.v8options');
    await command(BIT.V8_OPTIONS, '--allow_natives_syntax ' + r.text);
    await h.waitFor(async () => (await h.evalInApp(app, natives)) === 'number', 'the flag to take effect');
    await command(BIT.STOP_V8_OPTIONS, '--allow_natives_syntax ' + r.text);
    const text = await h.waitForFile(r.file);
    assert.match(text, /^# flags set: --allow_natives_syntax$/m);
    assert.match(text, /^# switched back: --no-allow-natives-syntax$/m);
    assert.equal(await h.evalInApp(app, natives), 'SyntaxError');
  });

  it('leaves a switch that was on before the session on after its stop', async () => {
    const natives = "(() => { try { return typeof new Function('return %GetOptimizationStatus(function () {})')(); } catch (e) { return e.name; } })()";
    const own = await h.startApp({ args: ['--allow-natives-syntax', h.APP] });
    try {
      const file = `${own.dir}/own.v8options`;
      for (const mask of [BIT.V8_OPTIONS, BIT.STOP_V8_OPTIONS]) {
        const { second } = await h.exchange(own.pid, { mask, text: `--allow_natives_syntax --specified_log_path=${file} ` });
        assert.equal(second.verdict, 'Y');
      }
      assert.doesNotMatch(await h.waitForFile(file), /switched back/);
      assert.equal(await h.evalInApp(own, natives), 'number');
    } finally {
      await h.stopApp(own);
    }
  });

  it('sets a flag with a value without a session', async () => {
    await command(BIT.V8_OPTIONS, '--stack_trace_limit=3 ');
    assert.match(await refusal(BIT.STOP_V8_OPTIONS), /^no V8 options session is running$/);
  });

  it('refuses flags that cannot take effect, unknown flags and bad values', async () => {
    const path1 = result('x.v8options').text;
    assert.equal(await refusal(BIT.V8_OPTIONS, '--max_old_space_size=100 '),
      'V8 flag --max_old_space_size=100 cannot take effect in a running process; give it on the node command line');
    assert.equal(await refusal(BIT.V8_OPTIONS, '--prof ' + path1),
      'V8 flag --prof cannot take effect in a running process; give it on the node command line');
    assert.equal(await refusal(BIT.V8_OPTIONS, '--no_such_flag ' + path1), 'unknown V8 flag --no_such_flag');
    assert.equal(await refusal(BIT.V8_OPTIONS, '--trace_opt=5 '), 'V8 flag --trace-opt is a switch and takes no value');
    assert.equal(await refusal(BIT.V8_OPTIONS, '--stack_trace_limit=many '), 'V8 flag --stack-trace-limit takes a number, not "many"');
    assert.equal(await refusal(BIT.V8_OPTIONS, '--stack_trace_limit 5 '), 'V8 flag --stack_trace_limit needs a value (--stack-trace-limit=<value>)');
    assert.match(await refusal(BIT.V8_OPTIONS, '--trace_gc --stack_trace_limit=5 '), /--trace_gc needs a result file/);
  });

  it('refuses a second session while one runs', async () => {
    const r = result('first.v8options');
    await command(BIT.V8_OPTIONS, '--trace_gc ' + r.text);
    assert.match(await refusal(BIT.V8_OPTIONS, '--trace_gc ' + result('second.txt').text), /^a V8 options session is already running/);
    await command(BIT.STOP_V8_OPTIONS, '--trace_gc ' + r.text);
    await h.waitForFile(r.file);
  });
});

describe('activities at exit', () => {
  it('a process that ends during a CPU profile still leaves the profile', async () => {
    const short = await h.startApp();
    try {
      const file = path.join(short.dir, 'exit.cpuprofile');
      const { second } = await h.exchange(short.pid, { mask: BIT.START_PROFILING, text: `--specified_log_path=${file} ` });
      assert.equal(second.verdict, 'Y');
      await h.waitFor(async () => (await h.evalInApp(short, '1')) === 1, 'the profile to start');
      await h.evalInApp(short, 'setImmediate(() => process.exit(0))');
      assert.deepEqual(await short.exited, { code: 0, signal: null });
      assert.ok(JSON.parse(fs.readFileSync(file, 'utf8')).samples);
    } finally {
      await h.stopApp(short);
    }
  });
});

describe('the V8 flag table', () => {
  it('is kept for the executable in a file of this user\'s, used by later processes; another user\'s, or one open to others, is not', async () => {
    const flags = require('../lib/flags');
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrun-flags-'));
    // An executable of its own, so that no other process reads or keeps this listing.
    const node = path.join(dir, 'node');
    try {
      fs.linkSync(process.execPath, node);
    } catch (_) {
      fs.copyFileSync(process.execPath, node);
      fs.chmodSync(node, 0o755);
    }
    const kept = flags.keptPath(node);
    const marker = '  # a line of the kept listing\n';
    // --print_v8flags in a new process of that executable: the listing it writes.
    async function listing() {
      const app = await h.startApp({ node });
      try {
        const file = path.join(app.dir, 'flags.txt');
        const { second } = await h.exchange(app.pid, { mask: BIT.PRINT_V8FLAGS, text: `--specified_log_path=${file} ` });
        assert.equal(second.verdict, 'Y');
        return await h.waitForFile(file);
      } finally {
        await h.stopApp(app);
      }
    }
    try {
      fs.rmSync(kept, { force: true });
      assert.doesNotMatch(await listing(), /a line of the kept listing/);
      const st = fs.lstatSync(kept);
      assert.deepEqual([st.isFile(), st.uid, st.mode & 0o777, st.nlink], [true, process.geteuid(), 0o600, 1]);
      const real = fs.readFileSync(kept, 'utf8');
      assert.match(real, /^ {2}--trace-gc \(/m);

      fs.appendFileSync(kept, marker);
      assert.match(await listing(), /a line of the kept listing/);
      for (const [what, change] of [['another user\'s', () => fs.chownSync(kept, 65534, 65534)], ['open to others', () => fs.chmodSync(kept, 0o644)]]) {
        fs.rmSync(kept);
        fs.writeFileSync(kept, real + marker, { mode: 0o600 });
        change();
        assert.doesNotMatch(await listing(), /a line of the kept listing/, what);
        assert.equal(fs.readFileSync(kept, 'utf8'), real + marker, `${what}: replaced`);
      }
    } finally {
      fs.rmSync(kept, { force: true });
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});
