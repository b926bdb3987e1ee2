'use strict';
// The control message as the agent reads it: replies, the no-kick mark, refusals,
// and clients that break the protocol.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const h = require('../harness/control-client');

const HEAPDUMP = 0x1, FORCE_GC = 0x2, START_PROFILING = 0x40, STOP_PROFILING = 0x80, DIAG_REPORT = 0x2000;

let app;
before(async () => { app = await h.startApp(); });
after(() => h.stopApp(app));

function pathWord(name) { return `--specified_log_path=${path.join(app.dir, name)} `; }

// The application is still alive and its agent still answers.
async function assertStillServing() {
  assert.equal(await h.evalInApp(app, '1 + 1'), 2);
  const { first, second } = await h.exchange(app.pid, { mask: FORCE_GC });
  assert.equal(first.verdict, 'Y');
  assert.equal(second.verdict, 'Y');
}

describe('accepted message', () => {
  it('marks its first reply "no kick needed", replies again without any signal, and only then runs the command', async () => {
    const file = path.join(app.dir, 'nokick.heapsnapshot');
    const client = await h.Client.connect(app.pid);
    try {
      client.send(h.message({ mask: HEAPDUMP, text: pathWord('nokick.heapsnapshot') }));
      const raw = await client.read(h.MSG_SIZE);
      assert.equal(raw.toString('latin1', 0, 3), 'YNK');
      const first = h.parseReply(raw);
      assert.deepEqual(first, { verdict: 'Y', text: 'no kick needed: accepted, the second reply follows', length: h.MSG_SIZE, noKick: true });
      assert.ok(!fs.existsSync(file), 'the command ran before the second reply');
      const second = h.parseReply(await client.read(h.MSG_SIZE));
      assert.deepEqual([second.verdict, second.length], ['Y', h.MSG_SIZE]);
    } finally {
      client.close();
    }
    JSON.parse(await h.waitForFile(file));
  });

  it('a client that leaves right after its first reply (an older quellix does) gets nothing run', async () => {
    const dropped = path.join(app.dir, 'dropped.diag');
    const quitter = await h.Client.connect(app.pid);
    quitter.send(h.message({ mask: DIAG_REPORT, text: pathWord('dropped.diag') }));
    assert.equal(h.parseReply(await quitter.read(h.MSG_SIZE)).verdict, 'Y');
    quitter.close();
    const { second } = await h.exchange(app.pid, { mask: DIAG_REPORT, text: pathWord('after.diag') });
    assert.equal(second.verdict, 'Y');
    await h.waitForFile(path.join(app.dir, 'after.diag'));
    assert.ok(!fs.existsSync(dropped));
    assert.equal((await h.statusOf(app.pid, dropped)).text, 'failed the client left before its command ran; command dropped');
  });

  it('the extended 1024-byte message gets one reply and runs without a kick', async () => {
    const file = path.join(app.dir, 'extended.heapsnapshot');
    const { first } = await h.exchange(app.pid, { mask: HEAPDUMP, size: h.EXT_MSG_SIZE, param: 0, text: pathWord('extended.heapsnapshot') });
    assert.equal(first.verdict, 'Y');
    assert.equal(first.length, h.EXT_MSG_SIZE);
    assert.ok(JSON.parse(await h.waitForFile(file)).snapshot.meta);
  });

  it('the extended message stops what it started after its parameter in seconds', async () => {
    const file = path.join(app.dir, 'auto.cpuprofile');
    const { first } = await h.exchange(app.pid, { mask: START_PROFILING, size: h.EXT_MSG_SIZE, param: 1, text: pathWord('auto.cpuprofile') });
    assert.equal(first.verdict, 'Y');
    assert.ok(Array.isArray(JSON.parse(await h.waitForFile(file)).nodes));
    const { first: stop } = await h.exchange(app.pid, { mask: STOP_PROFILING });
    assert.deepEqual([stop.verdict, stop.text], ['N', 'no CPU profile is running']);
  });
});

describe('refusals', () => {
  const cases = [
    ['an unknown bit', { mask: 0x8000 }, /^unknown command bit\(s\) 0x8000$/],
    ['an empty mask', { mask: 0 }, /^no command in message$/],
    ['a stop with nothing running', { mask: STOP_PROFILING }, /^no CPU profile is running$/],
    ['a result command without a path', { mask: HEAPDUMP }, /^missing --specified_log_path=<path> for --heapdump$/],
    ['a relative path', { mask: HEAPDUMP, text: '--specified_log_path=x.heapsnapshot ' }, /is not absolute/],
    ['a directory that does not exist', { mask: HEAPDUMP, text: '--specified_log_path=/nonexistent/dir/x.heapsnapshot ' }, /^cannot write result file: directory \/nonexistent\/dir does not exist$/],
    ['two result files in one message', { mask: HEAPDUMP | DIAG_REPORT, text: '--specified_log_path=/tmp/x ' }, /^one result file per message: send --heapdump and --diag_report separately$/],
    ['log on and off at once', { mask: 0xc }, /contradict/],
    ['the status query in a 512-byte message', { mask: h.STATUS_QUERY, text: '/tmp/x' }, /^the status query \(bit 0x10000\) comes in the 1024-byte extended message, not in a 512-byte one$/],
    ['the status query with a command', { mask: h.STATUS_QUERY | FORCE_GC, size: h.EXT_MSG_SIZE, param: 0, text: '/tmp/x' }, /^the status query \(bit 0x10000\) goes alone: mask 0x10002 carries other bits$/],
  ];
  for (const [name, msg, pattern] of cases) {
    it(`refuses ${name} in the first reply`, async () => {
      const { first, second } = await h.exchange(app.pid, msg);
      assert.equal(first.verdict, 'N');
      assert.match(first.text, pattern);
      assert.equal(second, undefined);
    });
  }

  it('refuses a second start of a running kind, and a stop for another result file', async () => {
    const text = pathWord('twice.cpuprofile');
    const start = await h.exchange(app.pid, { mask: START_PROFILING, text });
    assert.equal(start.second.verdict, 'Y');
    const again = await h.exchange(app.pid, { mask: START_PROFILING, text: pathWord('other.cpuprofile') });
    assert.deepEqual([again.first.verdict, again.first.text], ['N', `a CPU profile is already running (result file ${path.join(app.dir, 'twice.cpuprofile')})`]);
    const wrong = await h.exchange(app.pid, { mask: STOP_PROFILING, text: pathWord('other.cpuprofile') });
    assert.equal(wrong.first.verdict, 'N');
    assert.match(wrong.first.text, /writes to .*twice\.cpuprofile, not to/);
    const stop = await h.exchange(app.pid, { mask: STOP_PROFILING, text });
    assert.equal(stop.second.verdict, 'Y');
    await h.waitForFile(path.join(app.dir, 'twice.cpuprofile'));
  });
});

describe('the status query', () => {
  async function statusText(file) {
    const reply = await h.statusOf(app.pid, file);
    assert.ok(reply, 'no reply to the status query');
    assert.equal(reply.verdict, 'Y', reply.text);
    assert.equal(reply.length, h.EXT_MSG_SIZE);
    return reply.text;
  }

  it('is answered at once while the main thread spins: unknown, pending, then written with the size', async () => {
    const profile = path.join(app.dir, 'queried.cpuprofile');
    const snapshot = path.join(app.dir, 'queried.heapsnapshot');
    const release = path.join(app.dir, 'stop-spinning');
    assert.equal((await h.exchange(app.pid, { mask: START_PROFILING, text: pathWord('queried.cpuprofile') })).second.verdict, 'Y');
    // The main thread spins in JavaScript until the test lets it go.
    await h.evalInApp(app, `setImmediate(() => { while (!require('fs').existsSync(${JSON.stringify(release)})) {} }); 0`);
    try {
      await h.waitFor(async () => !(await Promise.race([h.evalInApp(app, '1'), new Promise((r) => setTimeout(r, 200, false))])), 'the main thread to spin');
      assert.equal(await statusText(path.join(app.dir, 'never.heapsnapshot')), 'unknown');
      assert.equal(await statusText(profile), 'pending -');
      const { first } = await h.exchange(app.pid, { mask: HEAPDUMP, size: h.EXT_MSG_SIZE, param: 0, text: pathWord('queried.heapsnapshot') });
      assert.equal(first.verdict, 'Y');
      const last = await h.waitFor(async () => {
        const text = await statusText(snapshot);
        assert.match(text, /^(pending -|written \d+)$/);
        return text.startsWith('written') && text;
      }, 'the snapshot to be written while the main thread spins');
      assert.equal(last, `written ${fs.statSync(snapshot).size}`);
    } finally {
      fs.writeFileSync(release, '');
    }
    assert.equal((await h.exchange(app.pid, { mask: STOP_PROFILING, text: pathWord('queried.cpuprofile') })).second.verdict, 'Y');
    await h.waitForFile(profile);
    assert.equal(await statusText(profile), `written ${fs.statSync(profile).size}`);
  });

  it('remembers the outcome of the last 64 paths and every pending one, a failure on one bounded line', () => {
    const status = require('../lib/status');
    status.pending('/q/pending');
    for (let i = 0; i < 100; i++) status.written(`/q/${i}`, i);
    assert.deepEqual(['/q/pending', '/q/35', '/q/36', '/q/99'].map(status.answer), ['pending -', 'unknown', 'written 36', 'written 99']);
    status.failed('/q/99', `cannot\nwrite ${'é'.repeat(1000)}`);
    const text = status.answer('/q/99');
    assert.match(text, /^failed cannot write é+$/);
    assert.ok(Buffer.byteLength(text) <= 'failed '.length + 900, `${Buffer.byteLength(text)} bytes`);
  });
});

describe('a stop that comes before its start', () => {
  // The start waits behind its message's --force_gc, which waits for a main
  // thread blocked in native code; the stop comes meanwhile.
  const kinds = [
    ['CPU profile', START_PROFILING, STOP_PROFILING, 'early.cpuprofile', '', (text) => Array.isArray(JSON.parse(text).nodes)],
    ['V8 options session', 0x400, 0x800, 'early.v8options', '--trace_gc ', (text) => /^# \d+ collections/m.test(text)],
    ['heap timeline', 0x10, 0x20, 'early.heaptimeline', '', (text) => Boolean(JSON.parse(text).snapshot.meta)],
  ];
  for (const [name, start, stop, file, flags, loads] of kinds) {
    it(`is carried out right after the start of a ${name}, which writes its file and logs why it is short`, async () => {
      const logFile = path.join(app.dir, `kestrun-agent-${app.pid}.log`);
      assert.equal((await h.exchange(app.pid, { mask: 0x4 })).second.verdict, 'Y');
      const result = path.join(app.dir, file);
      const text = flags + pathWord(file);
      await h.evalInApp(app, "setImmediate(() => require('child_process').execSync('sleep 3')); 0");
      await h.waitFor(async () => !(await Promise.race([h.evalInApp(app, '1'), new Promise((r) => setTimeout(r, 200, false))])), 'the main thread to block');
      const started = await h.exchange(app.pid, { mask: FORCE_GC | start, text });
      assert.deepEqual([started.first.verdict, started.second.verdict], ['Y', 'Y']);
      // The extended message needs no kick: the stop is accepted at once, and waits.
      const { first } = await h.exchange(app.pid, { mask: stop, size: h.EXT_MSG_SIZE, param: 0, text });
      assert.deepEqual([first.verdict, first.text], ['Y', 'accepted']);
      assert.equal((await h.statusOf(app.pid, result)).text, 'pending -');
      assert.ok(loads(await h.waitForFile(result)));
      await h.waitFor(() => fs.readFileSync(logFile, 'utf8').includes(
        `${name} stop came before the ${name} had started: stopped right after its start, so ${result} is shorter than asked`), 'the log line');
      assert.equal((await h.exchange(app.pid, { mask: stop, text })).first.text, `no ${name} is running`);
    });
  }
});

describe('one heap snapshot or timeline at a time', () => {
  const START_TIMELINE = 0x10, STOP_TIMELINE = 0x20;
  const ONE_AT_A_TIME = 'one heap snapshot or timeline at a time';

  it('refuses a second one in the first reply, naming the one that has the engine', async () => {
    const first = path.join(app.dir, 'first.heapsnapshot');
    const holder = await h.Client.connect(app.pid);
    try {
      holder.send(h.message({ mask: HEAPDUMP, text: pathWord('first.heapsnapshot') }));
      assert.equal(h.parseReply(await holder.read(h.MSG_SIZE)).verdict, 'Y');
      for (const mask of [HEAPDUMP, START_TIMELINE]) {
        const { first: reply } = await h.exchange(app.pid, { mask, text: pathWord(`second-${mask}`) });
        assert.deepEqual([reply.verdict, reply.text], ['N', `a heap snapshot is being written to ${first}; ${ONE_AT_A_TIME}`]);
      }
      assert.equal(h.parseReply(await holder.read(h.MSG_SIZE)).verdict, 'Y');
    } finally {
      holder.close();
    }
    assert.ok(JSON.parse(await h.waitForFile(first)).snapshot.meta);

    const timeline = path.join(app.dir, 'one.heaptimeline');
    assert.equal((await h.exchange(app.pid, { mask: START_TIMELINE, text: pathWord('one.heaptimeline') })).second.verdict, 'Y');
    const { first: reply } = await h.exchange(app.pid, { mask: HEAPDUMP, text: pathWord('during.heapsnapshot') });
    assert.deepEqual([reply.verdict, reply.text], ['N', `a heap timeline is running (result file ${timeline}); ${ONE_AT_A_TIME}`]);
    assert.equal((await h.exchange(app.pid, { mask: STOP_TIMELINE, text: pathWord('one.heaptimeline') })).second.verdict, 'Y');
    assert.ok(JSON.parse(await h.waitForFile(timeline)).trace_function_infos.length > 0);
  });

  it('leaves the application\'s own heap sampling alone', async () => {
    await h.evalInApp(app, "globalThis.own = new (require('inspector').Session)(); own.connect(); own.post('HeapProfiler.startSampling'); 0");
    const { first } = await h.exchange(app.pid, { mask: 0x100, text: pathWord('theirs.heapprofile') });
    assert.deepEqual([first.verdict, first.text], ['N', 'the application already runs V8\'s sampling heap profiler (one per process): it is left alone, no heap profile is started']);
    const stopped = "new Promise((resolve, reject) => own.post('HeapProfiler.stopSampling', (err, res) => (err ? reject(err) : resolve(Array.isArray(res.profile.samples)))))";
    assert.equal(await h.evalInApp(app, stopped), true);
    await h.evalInApp(app, 'own.disconnect(); 0');
  });
});

describe('misbehaving clients', () => {
  async function sendRaw(bytes, { end = false } = {}) {
    const client = await h.Client.connect(app.pid);
    try {
      client.send(bytes);
      if (end) client.sock.end();
      const raw = await client.read(h.MSG_SIZE, 3000);
      return raw && h.parseReply(raw);
    } finally {
      client.close();
    }
  }

  it('refuses a short message once it stops coming', async () => {
    const reply = await sendRaw(Buffer.alloc(100, 1));
    assert.equal(reply.verdict, 'N');
    assert.match(reply.text, /^malformed message: 100 bytes received/);
  });

  it('refuses a short message whose sender closed its side', async () => {
    const reply = await sendRaw(Buffer.alloc(7), { end: true });
    assert.match(reply.text, /^malformed message: 7 bytes received/);
  });

  it('refuses a message between the two sizes, and one longer than both', async () => {
    assert.match((await sendRaw(Buffer.alloc(700, 0x41))).text, /^malformed message: 700 bytes received/);
    assert.match((await sendRaw(Buffer.alloc(1500, 0x41))).text, /^malformed message: more than 1024 bytes/);
  });

  it('refuses an option text without its NUL', async () => {
    const msg = h.message({ mask: FORCE_GC });
    msg.fill(0x61, 8);
    assert.deepEqual(await sendRaw(msg), { verdict: 'N', text: 'malformed message: option text is not NUL-terminated', length: h.MSG_SIZE });
  });

  it('closes a connection that sends nothing after seconds, without a reply', async () => {
    const client = await h.Client.connect(app.pid);
    try {
      const started = Date.now();
      assert.equal(await client.read(1, 15000), null);
      assert.ok(client.closed, 'the connection is still open');
      assert.ok(Date.now() - started >= 2000, `closed after ${Date.now() - started} ms`);
    } finally {
      client.close();
    }
  });

  it('closes a connection that its client keeps open after the reply', async () => {
    // An app of its own: no other client's connection may come or go meanwhile.
    const quiet = await h.startApp();
    const sockets = () => h.controlSockets(quiet.pid);
    const baseline = sockets();
    const sock = require('net').connect({ path: h.socketPath(quiet.pid), allowHalfOpen: true });
    try {
      sock.on('error', () => {});
      sock.write(h.message({ mask: 0x8000 }));
      await h.waitFor(() => sockets() > baseline, 'the agent to hold the connection');
      await h.waitFor(() => sockets() === baseline, 'the agent to close the connection', 10000);
    } finally {
      sock.destroy();
      await h.stopApp(quiet);
    }
  });

  it('survives garbage, early closes and bytes after the message', async () => {
    for (let i = 0; i < 20; i++) {
      const client = await h.Client.connect(app.pid);
      const junk = Buffer.alloc(1 + ((i * 97) % 1100));
      for (let j = 0; j < junk.length; j++) junk[j] = (i * 31 + j * 7) & 0xff;
      client.send(junk);
      client.close();
    }
    const late = await h.Client.connect(app.pid);
    late.send(h.message({ mask: FORCE_GC }));
    assert.equal(h.parseReply(await late.read(h.MSG_SIZE)).verdict, 'Y');
    late.send(Buffer.from('trailing'));
    await h.waitFor(() => late.closed, 'the agent to drop a client that sent bytes after its message');
    await assertStillServing();
    assert.equal(app.err, '');
  });
});
