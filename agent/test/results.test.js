'use strict';
// Result files as evidence: never another file replaced, never a path taken
// twice, owner-only, and nothing left behind by a write that fails.
const { describe, it, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
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

  it('a snapshot cut short by the file size limit leaves no file and no descriptor', async () => {
    app = await h.startApp({ limits: 'ulimit -f 512' });
    const file = path.join(app.dir, 'cut.heapsnapshot');
    await accepted(app, BIT.HEAPDUMP, pathText(file));
    await h.waitFor(() => /--heapdump failed: .*EFBIG/.test(app.err), 'the failure on stderr');
    assert.deepEqual(fs.readdirSync(app.dir), []);
    assert.deepEqual(deletedFilesOpen(app.pid), []);
    // Nothing is left reserved: the same path can be asked for again.
    assert.equal((await h.exchange(app.pid, { mask: BIT.HEAPDUMP, text: pathText(file), kick: false })).first.verdict, 'Y');
  });

  it('a snapshot into a directory with too little space is refused with the sizes', async (t) => {
    const dir = fs.mkdtempSync('/tmp/kestrun-small-');
    // The application sees a 1 MB file system at dir, in a mount namespace of its own.
    const probe = spawnSync('unshare', ['--mount', 'sh', '-c', `mount -t tmpfs -o size=1m none ${dir}`], { encoding: 'utf8' });
    if (probe.status !== 0) {
      fs.rmdirSync(dir);
      t.skip(`cannot mount a small tmpfs in a mount namespace: ${probe.stderr.trim()}`);
      return;
    }
    const script = `mount -t tmpfs -o size=1m none ${dir} && exec "$0" "$@"`;
    const child = await h.startApp({ wrap: ['unshare', '--mount', 'sh', '-c', script] });
    try {
      const file = path.join(dir, 'big.heapsnapshot');
      const text = await refused(child, BIT.HEAPDUMP, pathText(file));
      assert.match(text, new RegExp(`^not enough space for the heap snapshot in ${dir}: about \\d+\\.\\d MB needed, [01]\\.\\d MB free$`));
      assert.deepEqual(fs.readdirSync(`/proc/${child.pid}/root${dir}`), []);
    } finally {
      await h.stopApp(child);
      fs.rmdirSync(dir);
    }
  });
});
