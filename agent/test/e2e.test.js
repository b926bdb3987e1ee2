'use strict';
// quellix itself against node with the agent: the real binary, the real
// probe, the real socket, the real result files. QUELLIX_BIN names the binary.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const h = require('../harness/control-client');

const QUELLIX = process.env.QUELLIX_BIN;
const skip = !QUELLIX ? 'QUELLIX_BIN is not set: the end-to-end tests need the quellix binary'
  : !fs.existsSync(QUELLIX) ? `QUELLIX_BIN=${QUELLIX} does not exist` : false;
if (skip) console.log(`# skipping end-to-end tests: ${skip}`);

// quellix needs the agent in its own environment, so that its probe of the
// target's node executable loads the agent and prints process.kestrun.
function quellix(args) {
  const res = spawnSync(QUELLIX, args, {
    env: h.cleanEnv({ NODE_OPTIONS: `--require ${h.AGENT}` }), encoding: 'utf8', timeout: 20000,
  });
  return { status: res.status, out: res.stdout, err: res.stderr };
}

// Every kind of command, through the whole road, each seen through to its
// file (--wait); {pid} stands for the target.
const EVERY_COMMAND = [
  ['--force_gc', '{pid}'],
  ['--wait', '--heapdump', '{pid}'],
  ['--wait', '--start_profiling', 'time=1s', '{pid}'],
  ['--wait', '--start_heap_profiling', 'time=1s', '{pid}'],
  ['--wait', '--start_timeline', 'time=1s', '{pid}'],
  ['--wait', '--diag_report', '{pid}'],
  ['--wait', '--print_v8flags', '{pid}'],
  ['--v8-options', '--stack_trace_limit=50', '--pid={pid}'],
  ['--wait', '--v8-options', '--trace_gc', 'time=1s', '--pid={pid}'],
  ['--enable_node_log', '{pid}'],
  ['--disable_node_log', '{pid}'],
];

// Runs every command against app, each with the extra words first; returns
// the failures.
function runEvery(app, extra = []) {
  const failed = [];
  for (const command of EVERY_COMMAND) {
    const args = [...extra, ...command.map((w) => w.replace('{pid}', String(app.pid)))];
    const run = quellix(args);
    if (run.status !== 0) failed.push(`${args.join(' ')}: ${run.status}\n${run.out}${run.err}`);
  }
  return failed;
}

// A heap snapshot file goes through the DevTools loader, which rejects
// inconsistent files; skipped, and said so, when the loader is not installed.
async function loadsInDevTools(t, file) {
  const stats = await h.loadInDevTools(file);
  if (stats === null) {
    t.skip(`${h.LOADER} is not installed (npm install --prefix agent/test): ${file} not loaded through DevTools`);
    return;
  }
  assert.ok(stats.total > 0, JSON.stringify(stats));
}

// The result path that quellix prints on its "<prefix>文件路径:<path>" line.
function resultPath(out, prefix) {
  const m = new RegExp(`^${prefix}文件路径:(.+)$`, 'm').exec(out);
  assert.ok(m, `no ${prefix} path line in: ${out}`);
  return m[1];
}

describe('quellix end to end', { skip }, () => {
  let app;
  before(async () => { app = await h.startApp(); });
  after(() => h.stopApp(app));

  it('--heapdump writes a heap snapshot that DevTools loads', async (t) => {
    const run = quellix(['--heapdump', String(app.pid)]);
    assert.equal(run.status, 0, run.out + run.err);
    const file = resultPath(run.out, 'heapdump');
    assert.ok(file.startsWith(app.dir + '/heapdump-' + app.pid + '-'), file);
    await h.waitForFile(file);
    await loadsInDevTools(t, file);
  });

  it('--start_timeline time=2s writes a heap timeline that DevTools loads', async (t) => {
    const run = quellix(['--start_timeline', 'time=2s', String(app.pid)]);
    assert.equal(run.status, 0, run.out + run.err);
    const file = resultPath(run.out, 'heaptimeline');
    assert.ok(JSON.parse(await h.waitForFile(file, 20000)).trace_function_infos.length > 0);
    await loadsInDevTools(t, file);
  });

  it('three --heapdump calls at once: each exit 0 has its own file, the others say why', async () => {
    const runs = await Promise.all([0, 1, 2].map(() => h.runQuellix(['--heapdump', String(app.pid)])));
    const files = new Set();
    for (const run of runs) {
      if (run.status === 0) {
        files.add(resultPath(run.out, 'heapdump'));
      } else {
        assert.equal(run.status, 1);
        assert.match(run.out, /^(result file \S+ (already exists|is being written); try again in a second|a heap snapshot is being written to \S+; one heap snapshot or timeline at a time)$/m);
      }
    }
    assert.equal(files.size, runs.filter((r) => r.status === 0).length, 'two calls reported the same file');
    for (const file of files) JSON.parse(await h.waitForFile(file));
  });

  it('--start_profiling time=2s ends with the profile after the deferred stop', async () => {
    const run = quellix(['--start_profiling', 'time=2s', String(app.pid)]);
    assert.equal(run.status, 0, run.out + run.err);
    const file = resultPath(run.out, 'Profiling');
    assert.ok(!fs.existsSync(file), 'the profile was written before its stop');
    const profile = JSON.parse(await h.waitForFile(file, 20000));
    assert.ok(profile.nodes.length > 0 && profile.samples.length > 0);
    assert.ok(profile.endTime - profile.startTime >= 1.5e6, `profile lasted ${profile.endTime - profile.startTime} us`);
  });

  it('--diag_report writes a JSON report with its header', async () => {
    const run = quellix(['--diag_report', String(app.pid)]);
    assert.equal(run.status, 0, run.out + run.err);
    const report = JSON.parse(await h.waitForFile(resultPath(run.out, 'diagnostic-report')));
    assert.equal(report.header.processId, app.pid);
  });

  it('--v8-options --trace_gc time=2s writes the gc-log after the stop', async () => {
    const run = quellix(['--v8-options', '--trace_gc', 'time=2s', `--pid=${app.pid}`]);
    assert.equal(run.status, 0, run.out + run.err);
    const text = await h.waitForFile(resultPath(run.out, 'gc-log'), 20000);
    assert.match(text, /^# \d+ collections, total pause/m);
  });

  it('a refusal reaches the user with exit status 1', () => {
    const run = quellix(['--stop_heap_profiling', String(app.pid)]);
    assert.equal(run.status, 1);
    assert.match(run.out, /^no heap profile is running$/m);
  });

  it('--force_gc and the log switches are confirmed', () => {
    for (const cmd of ['--force_gc', '--enable_node_log', '--disable_node_log']) {
      const run = quellix([cmd, String(app.pid)]);
      assert.equal(run.status, 0, `${cmd}: ${run.out}${run.err}`);
    }
    assert.ok(fs.existsSync(`${app.dir}/kestrun-agent-${app.pid}.log`));
  });

  it('a node without ENABLE_NODE_LOG=YES is identified but has no socket', async () => {
    const plain = await h.startApp({ env: { ENABLE_NODE_LOG: 'NO' }, serve: false });
    try {
      await h.waitFor(async () => (await h.evalInApp(plain, '1')) === 1, 'the app to run');
      const run = quellix(['--heapdump', String(plain.pid)]);
      assert.equal(run.status, 1);
      assert.match(run.out, /ENABLE_NODE_LOG=YES/);
    } finally {
      await h.stopApp(plain);
    }
  });
});

describe('quellix never sets off what the application hung on SIGUSR2', { skip }, () => {
  it('a service whose SIGUSR2 handler shuts it down lives through every command, with the agent preloaded', async () => {
    const app = await h.startApp({ env: { APP_SIGUSR2_SHUTDOWN: '1' } });
    try {
      assert.deepEqual(runEvery(app), []);
      assert.equal(app.exit, null, `the service ended: ${app.out}`);
      assert.equal(await h.evalInApp(app, '1 + 1'), 2);
      assert.equal(app.out, '');
    } finally {
      await h.stopApp(app);
    }
  });

  // In a network namespace of its own, so that its inspector's port 9229 is its own.
  const netns = spawnSync('unshare', ['--net', 'true']).status === 0 ? false : 'unshare --net is not permitted here';
  it('and with the agent loaded by --attach', { skip: netns }, async () => {
    const wrap = ['unshare', '--net', 'sh', '-c', 'ip link set lo up && exec "$0" "$@"'];
    const app = await h.startApp({ env: { APP_SIGUSR2_SHUTDOWN: '1' }, preload: false, serve: false, wrap });
    try {
      await h.evalInApp(app, '1');
      assert.deepEqual(runEvery(app, ['--attach']), []);
      assert.equal(app.exit, null, `the service ended: ${app.out}`);
      assert.equal(await h.evalInApp(app, '1 + 1'), 2);
      assert.equal(app.out, '');
    } finally {
      await h.stopApp(app);
    }
  });

  it('node\'s --report-on-signal and --heapsnapshot-signal=SIGUSR2 write nothing for any command', async () => {
    const cwd = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrun-cwd-'));
    const app = await h.startApp({ args: ['--report-on-signal', '--heapsnapshot-signal=SIGUSR2', h.APP], cwd });
    try {
      assert.deepEqual(runEvery(app), []);
      assert.deepEqual(fs.readdirSync(cwd), []);
      assert.equal(app.err, '');
      // What a kick would have done.
      process.kill(app.pid, 'SIGUSR2');
      await h.waitFor(() => fs.readdirSync(cwd).some((f) => /^report\..*\.json$/.test(f)) && fs.readdirSync(cwd).some((f) => /^Heap\..*\.heapsnapshot$/.test(f)), 'node\'s own report and snapshot', 60000);
    } finally {
      await h.stopApp(app);
      fs.rmSync(cwd, { recursive: true, force: true });
    }
  });
});

describe('quellix --wait and a target that ends', { skip }, () => {
  it('a CPU profile that the agent writes at the target\'s exit counts as written', async () => {
    const app = await h.startApp();
    try {
      assert.equal((await h.exchange(app.pid, { mask: 0x4 })).second.verdict, 'Y');
      const running = h.runQuellix(['--wait', '--start_profiling', 'time=60s', String(app.pid)]);
      const logFile = path.join(app.dir, `kestrun-agent-${app.pid}.log`);
      await h.waitFor(() => fs.existsSync(logFile) && /started CPU profile/.test(fs.readFileSync(logFile, 'utf8')), 'the profile to run');
      await h.evalInApp(app, 'setImmediate(() => process.exit(0)); 0');
      assert.deepEqual(await app.exited, { code: 0, signal: null });
      const run = await running;
      assert.equal(run.status, 0, run.out + run.err);
      const written = /\nWritten: (\S+\.cpuprofile) \(\d+ bytes, \d+\.\d s\)\.\nCPU profile: /.exec(run.out);
      assert.ok(written, run.out);
      assert.ok(JSON.parse(fs.readFileSync(written[1], 'utf8')).nodes.length > 0);
    } finally {
      await h.stopApp(app);
    }
  });
});

describe('quellix against a process stuck in JavaScript', { skip }, () => {
  let app;
  after(() => h.stopApp(app));

  it('profiles, snapshots and reports it while it spins', async () => {
    app = await h.startApp({ args: [h.STUCK_APP], env: { SPIN_MS: '25000' } });
    await h.waitFor(() => app.out.includes('spinning\n'), 'the spin to start');
    const paths = {};
    for (const [cmd, prefix] of [[['--start_profiling', 'time=3s'], 'Profiling'], [['--heapdump'], 'heapdump'], [['--diag_report'], 'diagnostic-report']]) {
      const run = quellix([...cmd, String(app.pid)]);
      assert.equal(run.status, 0, `${cmd[0]}: ${run.out}${run.err}`);
      paths[prefix] = resultPath(run.out, prefix);
    }
    // A client that leaves right after its first reply has not kicked: nothing runs for it.
    const dropped = path.join(app.dir, 'left-early.diag');
    const quitter = await h.Client.connect(app.pid);
    quitter.send(h.message({ mask: 0x2000, text: `--specified_log_path=${dropped} ` }));
    assert.equal(h.parseReply(await quitter.read(h.MSG_SIZE)).verdict, 'Y');
    quitter.close();
    for (const file of Object.values(paths)) await h.waitForFile(file, 20000);
    const later = quellix(['--print_v8flags', String(app.pid)]);
    assert.equal(later.status, 0, later.out + later.err);
    await h.waitForFile(resultPath(later.out, 'v8flags'), 20000);
    assert.ok(!app.out.includes('done'), 'the spin ended before the results were complete');
    assert.ok(!fs.existsSync(dropped), 'the command of a client that left before its kick ran');

    const profile = JSON.parse(fs.readFileSync(paths.Profiling, 'utf8'));
    const spinning = new Set(profile.nodes.filter((n) => n.callFrame.functionName === 'spinInRequestHandler').map((n) => n.id));
    const inSpin = profile.samples.filter((id) => spinning.has(id)).length;
    assert.ok(inSpin > profile.samples.length / 2, `${inSpin} of ${profile.samples.length} samples in the spinning function`);
    assert.ok(JSON.parse(fs.readFileSync(paths.heapdump, 'utf8')).snapshot.node_count > 0);
    const report = JSON.parse(fs.readFileSync(paths['diagnostic-report'], 'utf8'));
    assert.ok(report.javascriptStack.stack.some((frame) => frame.includes('spinInRequestHandler')), report.javascriptStack.stack.join('\n'));
    assert.equal(path.dirname(paths.heapdump), app.dir);
  });
});
