'use strict';
// Result files as evidence: never another file replaced, never a path taken
// twice, owner-only, and nothing left behind by a write that fails.
const { describe, it, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const h = require('../harness/control-client');

const BIT = {
  HEAPDUMP: 0x1, ENABLE_LOG: 0x4, START_TIMELINE: 0x10, STOP_TIMELINE: 0x20, START_PROFILING: 0x40, STOP_PROFILING: 0x80,
  START_HEAP_PROFILING: 0x100, STOP_HEAP_PROFILING: 0x200, V8_OPTIONS: 0x400, STOP_V8_OPTIONS: 0x800,
  PRINT_V8FLAGS: 0x1000, DIAG_REPORT: 0x2000,
};

function pathText(file) { return `--specified_log_path=${file} `; }

async function accepted(app, mask, text) {
  const { first, second } = await h.exchange(app.pid, { mask, text });
  assert.equal(first.verdict, 'Y', `refused: ${first.text}`);
  assert.equal(second.verdict, 'Y');
}

async function refused(app, mask, text) {
  const { first } = await h.exchange(app.pid, { mask, text });
  assert.equal(first.verdict, 'N');
  return first.text;
}

// Descriptors of the process that still name a removed file.
function deletedFilesOpen(pid) {
  return fs.readdirSync(`/proc/${pid}/fd`).map((fd) => {
    try { return fs.readlinkSync(`/proc/${pid}/fd/${fd}`); } catch (_) { return ''; }
  }).filter((target) => target.endsWith(' (deleted)'));
}

describe('result paths', () => {
  let app;
  after(() => h.stopApp(app));

  it('an existing file is refused and left as it was; a path being written is refused', async () => {
    app = await h.startApp();
    const existing = path.join(app.dir, 'mine.heapsnapshot');
    fs.writeFileSync(existing, 'not yours');
    assert.equal(await refused(app, BIT.HEAPDUMP, pathText(existing)), `result file ${existing} already exists; try again in a second`);
    assert.equal(fs.readFileSync(existing, 'utf8'), 'not yours');

    const profile = path.join(app.dir, 'busy.cpuprofile');
    await accepted(app, BIT.START_PROFILING, pathText(profile));
    assert.equal(await refused(app, BIT.DIAG_REPORT, pathText(profile)), `result file ${profile} is being written; try again in a second`);
    await accepted(app, BIT.STOP_PROFILING, pathText(profile));
    JSON.parse(await h.waitForFile(profile));
  });

  it('the extended message\'s parameter is at most 24 days', async () => {
    const file = path.join(app.dir, 'long.cpuprofile');
    const { first } = await h.exchange(app.pid, { mask: BIT.START_PROFILING, size: h.EXT_MSG_SIZE, param: 24 * 24 * 3600 + 1, text: pathText(file) });
    assert.deepEqual([first.verdict, first.text], ['N', 'parameter 2073601 s is above the limit of 2073600 s (24 days)']);
  });
});

describe('a temporary file replaced while it is written', () => {
  it('is never published, nor removed', async () => {
    const results = require('../lib/results');
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrun-swap-'));
    try {
      const out = await results.ResultFile.create(path.join(dir, 'r.heapsnapshot'));
      out.write('{"ours":1}');
      fs.unlinkSync(out.tmp);
      fs.writeFileSync(out.tmp, 'theirs');
      assert.throws(() => out.finish(), /was replaced while it was written; no result is published/);
      assert.deepEqual(fs.readdirSync(dir), [path.basename(out.tmp)]);
    } finally {
      fs.rmSync(dir, { recursive: true });
    }
  });
});

describe('owner-only files under umask 000', () => {
  let app;
  after(() => h.stopApp(app));

  it('the socket and every kind of result file have no group or other bits', async () => {
    app = await h.startApp({ limits: 'umask 000' });
    const modes = { socket: fs.statSync(h.socketPath(app.pid)).mode };
    const oneShot = [[BIT.HEAPDUMP, 'a.heapsnapshot'], [BIT.DIAG_REPORT, 'a.diag'], [BIT.PRINT_V8FLAGS, 'a.txt']];
    for (const [mask, name] of oneShot) {
      const file = path.join(app.dir, name);
      await accepted(app, mask, pathText(file));
      await h.waitForFile(file);
      modes[name] = fs.statSync(file).mode;
    }
    const activities = [[BIT.START_PROFILING, BIT.STOP_PROFILING, 'a.cpuprofile'], [BIT.START_TIMELINE, BIT.STOP_TIMELINE, 'a.heaptimeline'],
      [BIT.START_HEAP_PROFILING, BIT.STOP_HEAP_PROFILING, 'a.heapprofile'], [BIT.V8_OPTIONS, BIT.STOP_V8_OPTIONS, 'a.v8options']];
    for (const [start, stop, name] of activities) {
      const file = path.join(app.dir, name);
      const flags = start === BIT.V8_OPTIONS ? '--trace_gc ' : '';
      await accepted(app, start, flags + pathText(file));
      await accepted(app, stop, flags + pathText(file));
      await h.waitForFile(file);
      modes[name] = fs.statSync(file).mode;
    }
    await accepted(app, BIT.ENABLE_LOG, '');
    const logFile = path.join(app.dir, `kestrun-agent-${app.pid}.log`);
    await h.waitFor(() => fs.existsSync(logFile), 'the agent log');
    modes.log = fs.statSync(logFile).mode;
    for (const [what, mode] of Object.entries(modes)) assert.equal(mode & 0o077, 0, `${what}: mode ${(mode & 0o777).toString(8)}`);
    assert.deepEqual(fs.readdirSync(app.dir).filter((f) => f.endsWith('.tmp')), []);
  });
});

describe('writes that cannot succeed', () => {
  let app;
  after(() => h.stopApp(app));

  it('a snapshot cut short by the file size limit leaves no file and no descriptor, and the status query tells why', async () => {
    app = await h.startApp({ limits: 'ulimit -f 512' });
    const file = path.join(app.dir, 'cut.heapsnapshot');
    await accepted(app, BIT.HEAPDUMP, pathText(file));
    await h.waitFor(() => /--heapdump failed: .*EFBIG/.test(app.err), 'the failure on stderr');
    assert.deepEqual(h.filesIn(app.dir), []);
    assert.deepEqual(deletedFilesOpen(app.pid), []);
    const said = new RegExp(`^kestrun-agent\\[${app.pid}\\]: (--heapdump failed: .*)$`, 'm').exec(app.err)[1];
    assert.deepEqual(await h.statusOf(app.pid, file), { verdict: 'Y', text: `failed ${said}`, length: h.EXT_MSG_SIZE });
    // Nothing is left reserved: the same path can be asked for again.
    assert.equal((await h.exchange(app.pid, { mask: BIT.HEAPDUMP, text: pathText(file), kick: false })).first.verdict, 'Y');
  });

  it('a snapshot refused for disk space: a tmpfs far too small, and one between 1 and 1.7 times the heap, also while the main thread is blocked', async (t) => {
    const tiny = fs.mkdtempSync('/tmp/kestrun-small-');
    const snug = fs.mkdtempSync('/tmp/kestrun-snug-');
    // The heap used comes out at about 34 to 37 MB, as collections fall:
    // 50 MB keeps the ratio well inside 1 to 1.7.
    const HEAP_MB = 40, SNUG_MB = 50;
    try {
      // The application sees the two file systems in a mount namespace of its own.
      const probe = spawnSync('unshare', ['--mount', 'sh', '-c', `mount -t tmpfs -o size=1m none ${tiny}`], { encoding: 'utf8' });
      if (probe.status !== 0) {
        t.skip(`cannot mount a small tmpfs in a mount namespace: ${probe.stderr.trim()}`);
        return;
      }
      const script = `mount -t tmpfs -o size=1m none ${tiny} && mount -t tmpfs -o size=${SNUG_MB}m none ${snug} && exec "$0" "$@"`;
      const child = await h.startApp({ wrap: ['unshare', '--mount', 'sh', '-c', script] });
      try {
        const used = await h.evalInApp(child, `globalThis.big = Array.from({ length: ${HEAP_MB * 10000} }, (_, i) => ({ i, s: 'item-' + i })); process.memoryUsage().heapUsed`);
        const ratio = SNUG_MB * 1048576 / used;
        t.diagnostic(`heap used ${(used / 1048576).toFixed(1)} MB; the tmpfs is ${ratio.toFixed(2)} times that`);
        assert.ok(ratio > 1 && ratio < 1.7, `the tmpfs is ${ratio.toFixed(2)} times the heap used`);
        const sizes = (what, dir) => new RegExp(`^not enough space for the ${what} in ${dir}: about \\d+\\.\\d MB needed, \\d+\\.\\d MB free$`);
        // Blocked first, so that no heap size has been seen yet.
        await h.evalInApp(child, "setImmediate(() => require('child_process').execSync('sleep 3')); 0");
        await h.waitFor(async () => !(await Promise.race([h.evalInApp(child, '1'), new Promise((r) => setTimeout(r, 200, false))])), 'the main thread to block');
        for (const dir of [snug, tiny]) {
          assert.match(await refused(child, BIT.HEAPDUMP, pathText(path.join(dir, 'big.heapsnapshot'))), sizes('heap snapshot', dir));
          assert.match(await refused(child, BIT.START_TIMELINE, pathText(path.join(dir, 'big.heaptimeline'))), sizes('heap timeline', dir));
        }
        await h.waitFor(async () => (await h.evalInApp(child, '1')) === 1, 'the main thread to come back');
        assert.match(await refused(child, BIT.HEAPDUMP, pathText(path.join(snug, 'big.heapsnapshot'))), sizes('heap snapshot', snug));
        for (const dir of [tiny, snug]) assert.deepEqual(fs.readdirSync(`/proc/${child.pid}/root${dir}`), []);
      } finally {
        await h.stopApp(child);
      }
    } finally {
      fs.rmdirSync(tiny);
      fs.rmdirSync(snug);
    }
  });
});

describe('what others left', () => {
  let app;
  let holder;
  after(async () => {
    if (holder) fs.closeSync(holder);
    await h.stopApp(app);
  });

  it('a temporary file whose writer died is removed at start; one whose writer lives, one without a mark, one with a mark made by another user, and another user\'s, stay', async () => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrun-left-'));
    // Writers' marks: one locked by a live process (this one), one left
    // unlocked, one gone (a cleaner of old files may remove a live writer's),
    // one that another user made.
    const [live, stale, gone, forged] = ['1111111111111111', '2222222222222222', '3333333333333333', '4444444444444444'];
    const temp = (id, what) => path.join(dir, `.${what}.heapsnapshot.${id}.0a0b0c0d.tmp`);
    const mark = (id) => path.join(dir, `.kestrun-agent.${id}.lock`);
    for (const id of [live, stale, forged]) fs.writeFileSync(mark(id), '', { mode: 0o600 });
    fs.chownSync(mark(forged), 65534, 65534);
    for (const file of [temp(live, 'live'), temp(stale, 'stale'), temp(gone, 'gone'), temp(gone, 'others'), temp(forged, 'forged')]) {
      fs.writeFileSync(file, '{"snapshot":', { mode: 0o600 });
    }
    const old = new Date(Date.now() - 120 * 1000);
    fs.utimesSync(temp(gone, 'gone'), old, old);
    fs.chownSync(temp(gone, 'others'), 65534, 65534);
    holder = fs.openSync(mark(live), 'r');
    assert.equal(spawnSync('flock', ['-x', '-n', '3'], { stdio: ['ignore', 'ignore', 'ignore', holder] }).status, 0);
    app = await h.startApp({ env: { NODE_LOG_DIR: dir } });
    fs.rmSync(app.dir, { recursive: true });
    app.dir = dir; // removed with the app
    await h.waitFor(() => !fs.existsSync(temp(stale, 'stale')), 'the dead writer\'s file to be removed');
    const left = [temp(live, 'live'), temp(gone, 'gone'), temp(gone, 'others'), temp(forged, 'forged')];
    assert.deepEqual(h.filesIn(dir).filter((name) => name.endsWith('.tmp')).sort(), left.map((f) => path.basename(f)).sort());
    assert.ok(fs.existsSync(mark(live)) && !fs.existsSync(mark(stale)) && fs.existsSync(mark(forged)));
  });

  it('an agent log that another user made first is not used, and said so once', async () => {
    const logFile = path.join(app.dir, `kestrun-agent-${app.pid}.log`);
    fs.writeFileSync(logFile, '');
    fs.chownSync(logFile, 65534, 65534);
    fs.chmodSync(logFile, 0o666);
    await accepted(app, BIT.ENABLE_LOG, '');
    await accepted(app, BIT.ENABLE_LOG, '');
    await h.waitFor(() => app.err.includes('is not used'), 'the agent to say so');
    assert.equal(app.err, `kestrun-agent[${app.pid}]: agent log ${logFile} is not used (owner uid 65534, mode 666, 1 link(s)): it must be this user's own regular file, mode 600, with one link\n`);
    assert.equal(fs.statSync(logFile).size, 0);
  });
});
