'use strict';
// A heap snapshot never gets the service killed for memory: in a memory
// cgroup that leaves less than V8 needs to build the snapshot, --heapdump is
// refused with the figures and what to ask for instead, and the service
// lives; with ample room the snapshot is written whole. V8's need is
// measured first, in a process of the same heap without the agent. Nothing
// of the estimate reaches the application's stderr.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const h = require('../harness/control-client');

const HEAPDUMP = 0x1;
const ENABLE_LOG = 0x4;
const MB = 1024 * 1024;
// 100,000 objects with a name and two tags, in one array: V8 needs about
// 250 MB for their snapshot, 15 times their heap.
const HEAP = 'globalThis.big = Array.from({ length: 100000 }, (_, i) => ({ id: i, name: "n" + i, tags: [i & 7, i & 3] })); 0';
const ASK_AGAIN = /: the heap's objects are being counted to tell \(a pause of the main thread\); ask again in a few seconds$/;
const REFUSED = /^heap snapshot needs about (\d+) MB; the container's limit leaves (\d+) MB; without a snapshot: --start_heap_profiling \(where memory is allocated\) or --diag_report \(the heap's spaces\)$/;

// V8's need for the heap's snapshot: the growth of the peak resident size
// while node writes it, in a process of its own.
function measureNeed() {
  const script = `
    const fs = require('fs'), v8 = require('v8');
    ${HEAP};
    const kb = (name) => Number(new RegExp('^' + name + ':\\\\s+(\\\\d+) kB$', 'm').exec(fs.readFileSync('/proc/self/status', 'utf8'))[1]) * 1024;
    fs.writeFileSync('/proc/self/clear_refs', '5');
    const rss = kb('VmRSS');
    fs.unlinkSync(v8.writeHeapSnapshot(require('path').join(require('os').tmpdir(), 'kestrun-need-' + process.pid + '.heapsnapshot')));
    console.log(kb('VmHWM') - rss);`;
  const res = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', env: h.cleanEnv({}) });
  assert.equal(res.status, 0, res.stderr);
  return Number(res.stdout.trim());
}

// A memory cgroup below this process's own, v1 or v2, or the reason there is none.
function memoryCgroup(name) {
  const own = fs.readFileSync('/proc/self/cgroup', 'utf8');
  const v1 = /^\d+:[^:]*\bmemory\b[^:]*:(.*)$/m.exec(own);
  const v2 = /^0::(.*)$/m.exec(own);
  const layouts = [];
  if (v1) layouts.push({ dir: path.join('/sys/fs/cgroup/memory', v1[1], name), limit: 'memory.limit_in_bytes', usage: 'memory.usage_in_bytes' });
  if (v2) layouts.push({ dir: path.join('/sys/fs/cgroup', v2[1], name), limit: 'memory.max', usage: 'memory.current', parent: path.join('/sys/fs/cgroup', v2[1]) });
  const reasons = [];
  for (const cg of layouts) {
    try {
      if (cg.parent) fs.writeFileSync(path.join(cg.parent, 'cgroup.subtree_control'), '+memory');
      fs.mkdirSync(cg.dir);
      if (fs.existsSync(path.join(cg.dir, cg.limit))) return cg;
      fs.rmdirSync(cg.dir);
      reasons.push(`${cg.dir} has no ${cg.limit}`);
    } catch (err) {
      reasons.push(`${cg.dir}: ${err.message}`);
    }
  }
  return { skip: reasons.join('; ') || 'no memory cgroup' };
}

// Starts the app in the cgroup, builds its heap, and leaves it `room` bytes.
async function appWithRoom(cg, room) {
  const app = await h.startApp({ limits: `echo $$ > ${cg.dir}/cgroup.procs` });
  await h.evalInApp(app, HEAP);
  const usage = Number(fs.readFileSync(path.join(cg.dir, cg.usage), 'utf8'));
  fs.writeFileSync(path.join(cg.dir, cg.limit), String(Math.round(usage + room)));
  return app;
}

// --heapdump as quellix sends it, asked again while the agent counts the
// heap's objects (a refusal marked "ask again", and only that one): the
// first reply.
async function heapdump(app, file) {
  let reply;
  await h.waitFor(async () => {
    reply = (await h.exchange(app.pid, { mask: HEAPDUMP, text: `--specified_log_path=${file} ` })).first;
    assert.equal(Boolean(reply.askAgain), ASK_AGAIN.test(reply.text), reply.text);
    return !reply.askAgain;
  }, 'an answer other than "ask again"', 30000, 500);
  return reply;
}

describe('a heap snapshot in a memory cgroup', () => {
  let need, cg;

  before(() => {
    cg = memoryCgroup(`kestrun-test-${process.pid}`);
    if (!cg.skip) need = measureNeed();
  });
  after(() => { if (cg && !cg.skip) fs.rmdirSync(cg.dir); });

  it('with room for 0.8 times what V8 needs, is refused with both figures, also while the main thread spins, and the service lives', async (t) => {
    if (cg.skip) { t.skip(`cannot make a memory cgroup with a limit here: ${cg.skip}`); return; }
    t.diagnostic(`V8 needs ${(need / MB).toFixed(0)} MB`);
    const app = await appWithRoom(cg, 0.8 * need);
    try {
      const file = path.join(app.dir, 'refused.heapsnapshot');
      // Stuck in JavaScript first: the census interrupts it.
      await h.evalInApp(app, 'setImmediate(() => { const end = Date.now() + 4000; while (Date.now() < end); }); 0');
      const busy = await heapdump(app, file);
      assert.equal(busy.verdict, 'N');
      const m = REFUSED.exec(busy.text);
      assert.ok(m, busy.text);
      assert.ok(Number(m[1]) * MB >= need && Number(m[1]) > Number(m[2]), busy.text);
      const free = await heapdump(app, file);
      assert.equal(free.verdict, 'N');
      assert.match(free.text, REFUSED);
      assert.equal(await h.evalInApp(app, 'big.length'), 100000);
      assert.deepEqual(h.filesIn(app.dir), []);
      assert.equal(app.err, '');
    } finally {
      await h.stopApp(app);
    }
  });

  it('with room for 2.5 times what V8 needs, is written whole, and the growth it took is logged', async (t) => {
    if (cg.skip) { t.skip(`cannot make a memory cgroup with a limit here: ${cg.skip}`); return; }
    const app = await appWithRoom(cg, 2.5 * need);
    try {
      assert.equal((await h.exchange(app.pid, { mask: ENABLE_LOG })).second.verdict, 'Y');
      const file = path.join(app.dir, 'whole.heapsnapshot');
      const reply = await heapdump(app, file);
      assert.equal(reply.verdict, 'Y', reply.text);
      const snapshot = JSON.parse(await h.waitForFile(file, 60000));
      assert.ok(snapshot.snapshot.node_count > 300000, `${snapshot.snapshot.node_count} nodes`);
      assert.equal(await h.evalInApp(app, 'big.length'), 100000);
      // The next estimate starts from it.
      const logged = await h.waitFor(() => /heap snapshot written natively by the main thread; the process grew by at most (\d+\.\d) MB meanwhile/
        .exec(fs.readFileSync(path.join(app.dir, `kestrun-agent-${app.pid}.log`), 'utf8')), 'the growth in the log');
      assert.ok(Number(logged[1]) * MB > 0.5 * need, logged[0]);
      assert.equal(app.err, '');
    } finally {
      await h.stopApp(app);
    }
  });

  it('asked while the main thread is blocked, is accepted, and refused by the main thread before it writes', async (t) => {
    if (cg.skip) { t.skip(`cannot make a memory cgroup with a limit here: ${cg.skip}`); return; }
    const app = await appWithRoom(cg, 0.8 * need);
    try {
      await h.evalInApp(app, "setImmediate(() => require('child_process').execSync('sleep 3')); 0");
      await h.waitFor(async () => !(await Promise.race([h.evalInApp(app, '1'), new Promise((r) => setTimeout(r, 200, false))])), 'the main thread to block');
      const file = path.join(app.dir, 'blocked.heapsnapshot');
      const { first } = await h.exchange(app.pid, { mask: HEAPDUMP, text: `--specified_log_path=${file} ` });
      assert.equal(first.verdict, 'Y', first.text);
      const status = await h.waitFor(async () => {
        const reply = await h.statusOf(app.pid, file);
        return reply.text.startsWith('failed ') && reply.text;
      }, 'the snapshot to fail', 30000);
      assert.match(status, /^failed --heapdump failed: heap snapshot needs about \d+ MB; the container's limit leaves \d+ MB; without a snapshot: /);
      assert.equal(await h.evalInApp(app, 'big.length'), 100000);
      assert.deepEqual(h.filesIn(app.dir), []);
    } finally {
      await h.stopApp(app);
    }
  });
});
