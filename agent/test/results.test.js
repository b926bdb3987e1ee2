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

describe('flushed to disk before and after publishing', () => {
  // Replaces fs[name] while fn runs.
  async function patched(changes, fn) {
    const saved = Object.fromEntries(Object.keys(changes).map((name) => [name, fs[name]]));
    Object.assign(fs, changes);
    try {
      return await fn();
    } finally {
      Object.assign(fs, saved);
    }
  }

  it('the file is flushed, then linked or renamed to its name, then its directory is flushed; a failed flush publishes nothing', async () => {
    const results = require('../lib/results');
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrun-flush-'));
    try {
      const calls = [];
      const record = (name, what) => (...args) => { calls.push(what(...args)); return saved[name](...args); };
      const saved = { fdatasyncSync: fs.fdatasyncSync, fsyncSync: fs.fsyncSync, linkSync: fs.linkSync, renameSync: fs.renameSync };
      const fdPath = (fd) => fs.readlinkSync(`/proc/self/fd/${fd}`);
      const watch = {
        fdatasyncSync: record('fdatasyncSync', (fd) => `fdatasync ${path.basename(fdPath(fd)).replace(/\.txt\.[0-9a-f.]+\.tmp$/, '.tmp')}`),
        fsyncSync: record('fsyncSync', (fd) => `fsync ${fdPath(fd)}`),
        linkSync: record('linkSync', (from, to) => `link ${path.basename(to)}`),
        renameSync: record('renameSync', (from, to) => `rename ${path.basename(to)}`),
      };
      await patched(watch, () => results.writeTextResult(path.join(dir, 'linked.txt'), 'one'));
      // A file system without hard links: renamed instead.
      const noLinks = Object.assign({}, watch, { linkSync: () => { throw Object.assign(new Error('EPERM'), { code: 'EPERM' }); } });
      await patched(noLinks, () => results.writeTextResult(path.join(dir, 'renamed.txt'), 'two'));
      assert.deepEqual(calls, [`fdatasync .linked.tmp`, 'link linked.txt', `fsync ${dir}`, `fdatasync .renamed.tmp`, 'rename renamed.txt', `fsync ${dir}`]);
      assert.deepEqual(fs.readdirSync(dir).sort(), ['linked.txt', 'renamed.txt']);

      const eio = () => { throw Object.assign(new Error('EIO: i/o error, fsync'), { code: 'EIO' }); };
      await assert.rejects(patched({ fdatasyncSync: eio }, () => results.writeTextResult(path.join(dir, 'lost.txt'), 'three')), /EIO/);
      // Published, but its name may not survive a crash: removed again.
      await assert.rejects(patched({ fsyncSync: eio }, () => results.writeTextResult(path.join(dir, 'unsure.txt'), 'four')), /EIO/);
      assert.deepEqual(fs.readdirSync(dir).sort(), ['linked.txt', 'renamed.txt']);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

  it('a heap snapshot and a report are flushed before they are linked, and the directory after (strace)', async (t) => {
    const probe = spawnSync('strace', ['-qq', '-e', 'trace=none', '-o', '/dev/null', 'true']);
    if (probe.status !== 0) {
      t.skip(`strace cannot trace here: ${probe.error ? probe.error.message : probe.stderr}`);
      return;
    }
    const app = await h.startApp();
    const trace = path.join(app.dir, 'trace');
    let strace = null;
    try {
      // Every thread of the running process, the worker's included.
      const tids = fs.readdirSync(`/proc/${app.pid}/task`);
      strace = require('child_process').spawn('strace', ['-f', '-y', '-qq', '-o', trace,
        '-e', 'trace=fsync,fdatasync,link,linkat,rename,renameat,renameat2', ...tids.flatMap((tid) => ['-p', tid])], { stdio: 'ignore' });
      const traced = (tid) => /^TracerPid:\s+[1-9]/m.test(fs.readFileSync(`/proc/${app.pid}/task/${tid}/status`, 'utf8'));
      await h.waitFor(() => tids.every(traced), 'strace to attach');
      const files = [path.join(app.dir, 'flushed.heapsnapshot'), path.join(app.dir, 'flushed.diag')];
      for (const [mask, file] of [[BIT.HEAPDUMP, files[0]], [BIT.DIAG_REPORT, files[1]]]) {
        await accepted(app, mask, pathText(file));
        await h.waitFor(async () => (await h.statusOf(app.pid, file)).text.startsWith('written'), `${file} to be written`, 60000);
      }
      strace.kill('SIGINT');
      await new Promise((resolve) => strace.on('exit', resolve));
      strace = null;
      const lines = fs.readFileSync(trace, 'utf8').split('\n');
      for (const file of files) {
        const name = path.basename(file);
        const at = (re) => lines.findIndex(re.test.bind(re));
        const esc = (text) => text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
        const flush = at(new RegExp(`\\b(fdatasync|fsync)\\(\\d+<${esc(app.dir)}/\\.${esc(name)}\\.[^>]*\\.tmp>\\) = 0`));
        const link = at(new RegExp(`\\b(link|linkat|rename|renameat2?)\\(.*"${esc(file)}"(, \\d+)?\\) = 0`));
        const dirFlush = lines.findIndex((line, i) => i > link && new RegExp(`\\bfsync\\(\\d+<${esc(app.dir)}>\\) = 0`).test(line));
        t.diagnostic(`${name}: flush at line ${flush}, link at ${link}, directory flush at ${dirFlush}`);
        assert.ok(flush >= 0 && link > flush && dirFlush > link, `${name}: ${flush}, ${link}, ${dirFlush}\n${lines.join('\n')}`);
      }
    } finally {
      if (strace) strace.kill('SIGKILL');
      await h.stopApp(app);
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
  after(() => h.stopApp(app));

  // A socket file that nobody listens on: its listener was killed.
  function deadSocket(file) {
    const code = `require('net').createServer().listen(${JSON.stringify(file)}, () => process.kill(process.pid, 'SIGKILL'))`;
    spawnSync(process.execPath, ['-e', code]);
    assert.ok(fs.lstatSync(file).isSocket(), file);
  }

  function listening(file) {
    return new Promise((resolve) => { const server = require('net').createServer().listen(file, () => resolve(server)); });
  }

  function age(file, seconds = 120) {
    const then = new Date(Date.now() - seconds * 1000);
    fs.lutimesSync(file, then, then);
  }

  it('the sweep removes what dead writers and killed processes of this user left, and nothing else', async () => {
    const marks = require('../lib/marks');
    const { sweep } = require('../lib/sweep');
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrun-left-'));
    const boot = marks.newId().slice(0, 8);
    const otherBoot = ((parseInt(boot, 16) ^ 1) >>> 0).toString(16).padStart(8, '0');
    // Writers' marks: a live one (listening here), a dead one, one gone (a
    // cleaner of old files may remove a live writer's), one of another user,
    // a dead one of another boot or host, one that is no socket.
    const ids = { live: `${boot}11111111`, dead: `${boot}22222222`, gone: `${boot}33333333`, forged: `${boot}44444444`, otherBoot: `${otherBoot}55555555`, plain: `${boot}66666666` };
    const temp = (id, what = 'r') => path.join(dir, `.${what}.heapsnapshot.${id}.0a0b0c0d.tmp`);
    const mark = (id) => marks.markPath(dir, id);
    // In /tmp, names no pid can have: control sockets and bind directories.
    const n = 5000000 + process.pid * 10;
    const sock = (i) => `/tmp/kestrun-uds-path-${n + i}`;
    const bind = (i) => `/tmp/kestrun-bind-${n + i}-test`;
    const planted = [];
    const servers = [];
    try {
      servers.push(await listening(mark(ids.live)));
      for (const id of [ids.dead, ids.forged, ids.otherBoot]) deadSocket(mark(id));
      fs.chownSync(mark(ids.forged), 65534, 65534);
      fs.writeFileSync(mark(ids.plain), '', { mode: 0o600 });
      for (const id of Object.values(ids)) fs.writeFileSync(temp(id), '{"snapshot":', { mode: 0o600 });
      fs.writeFileSync(temp(ids.dead, 'theirs'), '{"snapshot":', { mode: 0o600 });
      fs.chownSync(temp(ids.dead, 'theirs'), 65534, 65534);

      // Control sockets: stale; new; another user's; served; a link to a stale one.
      for (const i of [0, 1, 2]) { deadSocket(sock(i)); planted.push(sock(i)); }
      fs.chownSync(sock(2), 65534, 65534);
      servers.push(await listening(sock(3)));
      deadSocket(path.join(dir, 'target.sock'));
      fs.symlinkSync(path.join(dir, 'target.sock'), sock(4));
      planted.push(sock(4));
      // Bind directories: old and empty; new; old with a file in it; another
      // user's; a link to an old empty directory.
      for (const i of [0, 1, 2, 3]) { fs.mkdirSync(bind(i)); planted.push(bind(i)); }
      fs.writeFileSync(path.join(bind(2), 'socket'), '');
      fs.chownSync(bind(3), 65534, 65534);
      fs.mkdirSync(path.join(dir, 'target.dir'));
      fs.symlinkSync(path.join(dir, 'target.dir'), bind(4));
      planted.push(bind(4));
      for (const file of [sock(0), sock(2), sock(3), sock(4), path.join(dir, 'target.sock'), bind(0), bind(2), bind(3), bind(4), path.join(dir, 'target.dir')]) age(file);

      process.env.NODE_LOG_DIR = dir;
      marks.init(marks.newId());
      const removed = await sweep();
      const left = fs.readdirSync(dir).sort();
      const expected = [temp(ids.live), mark(ids.live), temp(ids.gone), temp(ids.forged), mark(ids.forged), temp(ids.otherBoot),
        mark(ids.otherBoot), temp(ids.plain), mark(ids.plain), temp(ids.dead, 'theirs'), marks.markPath(dir),
        path.join(dir, 'target.sock'), path.join(dir, 'target.dir')].map((f) => path.basename(f)).sort();
      assert.deepEqual(left, expected);
      assert.deepEqual(planted.filter((f) => !fs.existsSync(f) && !isLink(f)), [sock(0), bind(0)]);
      assert.ok(fs.existsSync(sock(3)) && isLink(sock(4)) && isLink(bind(4)));
      // The dead writer's temporary file (its mark goes with it), the stale socket and the old directory.
      assert.equal(removed, 3);
    } finally {
      delete process.env.NODE_LOG_DIR;
      for (const server of servers) server.close();
      for (const file of [...planted, marks.markPath('/tmp')]) fs.rmSync(file, { recursive: true, force: true });
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

  function isLink(file) {
    try { return fs.lstatSync(file).isSymbolicLink(); } catch (_) { return false; }
  }

  it('a socket left by an agent killed with SIGTERM over a minute ago, and an old empty bind directory, go once the next agent starts', async () => {
    const killed = await h.startApp();
    const stale = h.socketPath(killed.pid);
    const bindDir = `/tmp/kestrun-bind-${killed.pid}-left`;
    try {
      killed.child.kill('SIGTERM');
      assert.deepEqual(await killed.exited, { code: null, signal: 'SIGTERM' });
      assert.ok(h.isSocket(stale));
      fs.mkdirSync(bindDir);
      for (const file of [stale, bindDir]) {
        const then = new Date(Date.now() - 61 * 1000);
        fs.utimesSync(file, then, then);
      }
      app = await h.startApp();
      await h.waitFor(() => !fs.existsSync(stale) && !fs.existsSync(bindDir), 'the next agent to sweep');
    } finally {
      fs.rmSync(bindDir, { recursive: true, force: true });
      await h.stopApp(killed);
    }
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
