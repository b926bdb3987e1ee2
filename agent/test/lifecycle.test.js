'use strict';
// How the agent comes and goes with its process: identification, the control
// socket's life, signals, and never keeping the process alive.
const { describe, it, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync, spawn, spawnSync } = require('child_process');
const h = require('../harness/control-client');

describe('identification probe', () => {
  it('prints the version line only and serves nothing under ENABLE_NODE_LOG=NO', () => {
    // What the agent's start does first, synchronously, before its worker
    // binds anything: it fills its hook. ENABLE_NODE_LOG=YES shows that the
    // check sees a started agent.
    const code = "process.kestrun + ' ' + Object.keys(globalThis[Symbol.for('kestrun.agent.hook')]).length";
    const probe = (flag) => execFileSync(process.execPath, ['-p', code], {
      env: h.cleanEnv({ NODE_OPTIONS: `--require ${h.AGENT}`, ENABLE_NODE_LOG: flag }),
    }).toString();
    assert.match(probe('NO'), /^kestrun-agent \d+\.\d+\.\d+ 0\n$/);
    assert.match(probe('YES'), /^kestrun-agent \d+\.\d+\.\d+ [1-9]\d*\n$/);
  });

  it('leaves process.kestrun undefined without the agent', () => {
    const out = execFileSync(process.execPath, ['-p', 'process.kestrun'], { env: h.cleanEnv({}) }).toString();
    assert.equal(out, 'undefined\n');
  });
});

describe('control socket', () => {
  let app;
  after(() => h.stopApp(app));

  it('is served at the pid path, with no signal caught', async () => {
    app = await h.startApp();
    assert.ok(h.isSocket(h.socketPath(app.pid)));
    const plain = await h.startApp({ preload: false, serve: false });
    try {
      await h.evalInApp(plain, '1');
      assert.equal(h.caughtSignals(app.pid), h.caughtSignals(plain.pid));
    } finally {
      await h.stopApp(plain);
    }
  });

  it('does not keep a finished application alive, and is removed at exit', async () => {
    const quick = await h.startApp({ args: ['-e', 'setTimeout(() => {}, 300)'], serve: false });
    try {
      assert.deepEqual(await quick.exited, { code: 0, signal: null });
      assert.ok(!fs.existsSync(h.socketPath(quick.pid)));
      assert.equal(quick.out, '');
    } finally {
      await h.stopApp(quick);
    }
  });

  it('the process ends as it does without the agent: output and status', () => {
    const endings = [
      'console.log("out"); setTimeout(() => {}, 100)',
      'process.exitCode = 4',
      'setTimeout(() => process.exit(3), 50)',
      'setTimeout(() => { throw new Error("boom") }, 50)',
    ];
    for (const code of endings) {
      const run = (agent) => spawnSync(process.execPath, [...(agent ? ['--require', h.AGENT] : []), '-e', code], {
        env: h.cleanEnv({ ENABLE_NODE_LOG: 'YES' }), encoding: 'utf8', timeout: 20000,
      });
      const [plain, withAgent] = [run(false), run(true)];
      assert.deepEqual([withAgent.status, withAgent.signal, withAgent.stdout, withAgent.stderr],
        [plain.status, plain.signal, plain.stdout, plain.stderr], code);
    }
  });

  it('an uncaught exception during a profile still leaves the profile, and no wait for a debugger', async () => {
    const app = await h.startApp();
    try {
      const file = `${app.dir}/crash.cpuprofile`;
      const { second } = await h.exchange(app.pid, { mask: 0x40, text: `--specified_log_path=${file} ` });
      assert.equal(second.verdict, 'Y');
      await h.waitFor(async () => (await h.evalInApp(app, '1')) === 1, 'the profile to start');
      app.child.send({ id: 'crash', code: 'setImmediate(() => { throw new Error("crash") })' });
      assert.deepEqual(await app.exited, { code: 1, signal: null });
      assert.ok(JSON.parse(fs.readFileSync(file, 'utf8')).samples);
      assert.doesNotMatch(app.err, /debugger/i);
      assert.match(app.err, /Error: crash/);
    } finally {
      await h.stopApp(app);
    }
  });

  it('an exit during a heap timeline is prompt, with the same output and status, and leaves no file', async (t) => {
    // Its heap's snapshot would take seconds. The moment of process.exit()
    // goes to a file of its own, out of the output compared.
    const HEAP = "globalThis.big = Array.from({ length: 1e6 }, (_, i) => ({ i, s: 'item-' + i })); 0";
    const exit = (stamp) => `setImmediate(() => { require('fs').writeFileSync(${JSON.stringify(stamp)}, String(Date.now())); process.stdout.write('bye\\n'); process.exit(7); }); 0`;
    async function exitMs(app) {
      const stamp = path.join(os.tmpdir(), `kestrun-exit-at-${app.pid}`);
      try {
        await h.evalInApp(app, exit(stamp));
        const end = await app.exited;
        return { end, out: app.out, err: app.err, ms: Date.now() - Number(fs.readFileSync(stamp, 'utf8')) };
      } finally {
        fs.rmSync(stamp, { force: true });
      }
    }
    const plain = await h.startApp({ preload: false, serve: false });
    const agent = await h.startApp();
    try {
      await h.evalInApp(plain, HEAP);
      await h.evalInApp(agent, HEAP);
      const file = `${agent.dir}/exit.heaptimeline`;
      for (const [mask, text] of [[0x4, ''], [0x10, `--specified_log_path=${file} `]]) {
        assert.equal((await h.exchange(agent.pid, { mask, text })).second.verdict, 'Y');
      }
      const logFile = `${agent.dir}/kestrun-agent-${agent.pid}.log`;
      await h.waitFor(() => fs.existsSync(logFile) && /started heap timeline/.test(fs.readFileSync(logFile, 'utf8')), 'the timeline to run');
      const [without, withAgent] = [await exitMs(plain), await exitMs(agent)];
      assert.deepEqual([withAgent.end, withAgent.out, withAgent.err], [without.end, without.out, without.err]);
      assert.deepEqual(without.end, { code: 7, signal: null });
      t.diagnostic(`process.exit() to the end: ${withAgent.ms} ms, ${without.ms} ms without the agent`);
      assert.ok(withAgent.ms < without.ms + 1000, `ended ${withAgent.ms} ms after process.exit(), ${without.ms} ms without the agent`);
      assert.deepEqual(fs.readdirSync(agent.dir).filter((f) => f !== path.basename(logFile)), []);
    } finally {
      await h.stopApp(plain);
      await h.stopApp(agent);
    }
  });

  it('is removed when a process stuck in JavaScript ends', async () => {
    const stuck = await h.startApp({ args: [h.STUCK_APP], env: { SPIN_MS: '1000' } });
    try {
      assert.deepEqual(await stuck.exited, { code: 0, signal: null });
      assert.equal(stuck.out, 'spinning\ndone\n');
      assert.ok(!fs.existsSync(h.socketPath(stuck.pid)));
    } finally {
      await h.stopApp(stuck);
    }
  });

  it('replaces a stale file of its own pid', async () => {
    const script = `require('fs').writeFileSync('/tmp/kestrun-uds-path-' + process.pid, 'stale');
      require(${JSON.stringify(h.AGENT)}); setTimeout(() => {}, 30000);`;
    const stale = await h.startApp({ args: ['-e', script], preload: false });
    try {
      const { first } = await h.exchange(stale.pid, { mask: 0x2, kick: false });
      assert.equal(first.verdict, 'Y');
    } finally {
      await h.stopApp(stale);
    }
  });

  it('never takes a path that is another user\'s file: says so once, and serves once the path is free', async () => {
    const script = `const f = '/tmp/kestrun-uds-path-' + process.pid; require('fs').writeFileSync(f, 'theirs'); require('fs').chownSync(f, 65534, 65534);
      require(${JSON.stringify(h.AGENT)}); setTimeout(() => {}, 30000);`;
    const app = await h.startApp({ args: ['-e', script], preload: false, serve: false });
    const file = h.socketPath(app.pid);
    try {
      await h.waitFor(() => app.err !== '' || app.exit, 'the agent to say the path is taken');
      assert.equal(app.err, `kestrun-agent[${app.pid}]: control socket ${file} is a file of another user: this process serves nothing until that path is free (tried again every 5 s)\n`);
      assert.equal(fs.readFileSync(file, 'utf8'), 'theirs');
      assert.equal(fs.statSync(file).uid, 65534);
      fs.unlinkSync(file);
      await h.waitFor(() => h.isSocket(file), 'the agent to serve the free path', 15000);
      assert.equal((await h.exchange(app.pid, { mask: 0x2 })).second.verdict, 'Y');
    } finally {
      await h.stopApp(app);
    }
  });

  it('starts no child process in a life of 2 s, nor does its identification probe', async (t) => {
    const probe = spawnSync('strace', ['-f', '-qq', '-e', 'trace=execve', '-o', '/dev/null', 'true']);
    if (probe.status !== 0) {
      t.skip(`strace cannot trace here: ${probe.error ? probe.error.message : probe.stderr}`);
      return;
    }
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrun-children-'));
    try {
      for (const [flag, code] of [['YES', 'setTimeout(() => {}, 2000)'], ['NO', 'process.kestrun']]) {
        const trace = path.join(dir, `trace-${flag}`);
        const run = spawnSync('strace', ['-f', '-qq', '-e', 'trace=execve', '-o', trace, process.execPath, '--require', h.AGENT, '-e', code], {
          env: h.cleanEnv({ ENABLE_NODE_LOG: flag, NODE_LOG_DIR: dir }), encoding: 'utf8', timeout: 20000,
        });
        assert.equal(run.status, 0, run.stderr);
        const execs = fs.readFileSync(trace, 'utf8').split('\n').filter((line) => / execve\(/.test(line));
        t.diagnostic(`ENABLE_NODE_LOG=${flag}: ${execs.length - 1} child process(es) started`);
        assert.equal(execs.length, 1, execs.join('\n')); // node itself
      }
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

  it('is not served by worker threads', async () => {
    const script = `const { Worker } = require('worker_threads');
      new Worker('setTimeout(() => {}, 200)', { eval: true }).on('exit', () => process.exit(0));`;
    const res = spawnSync(process.execPath, ['--require', h.AGENT, '-e', script], {
      env: h.cleanEnv({ ENABLE_NODE_LOG: 'YES' }), encoding: 'utf8', timeout: 20000,
    });
    assert.equal(res.status, 0, res.stderr);
    assert.equal(res.stderr, '');
  });
});

describe('under node\'s permission model', () => {
  it('the agent says in one line what the model denies and does nothing else; no stack trace', (t) => {
    const code = "setTimeout(() => process.stdout.write(String(require('fs').existsSync('/tmp/kestrun-uds-path-' + process.pid))), 500)";
    const run = (agent) => spawnSync(process.execPath, ['--experimental-permission', '--allow-fs-read=*', ...(agent ? ['--require', h.AGENT] : []), '-e', code], {
      env: h.cleanEnv({ ENABLE_NODE_LOG: 'YES' }), encoding: 'utf8', timeout: 20000,
    });
    const [plain, withAgent] = [run(false), run(true)];
    const ours = withAgent.stderr.split('\n').filter((line) => line.includes('kestrun-agent'));
    t.diagnostic(ours.join('\n'));
    // Node's own warning lines come with and without the agent.
    assert.equal(withAgent.stderr.replace(`${ours[0]}\n`, '').replace(/\(node:\d+\)/g, ''), plain.stderr.replace(/\(node:\d+\)/g, ''));
    const denied = process.allowedNodeEnvironmentFlags.has('--allow-inspector')
      ? 'worker threads, writing to /tmp/, inspector sessions; allow it with --allow-worker --allow-fs-write=/tmp/ --allow-inspector'
      : `inspector sessions; allow it with --experimental-permission left off (node ${process.version} has no flag that allows them)`;
    assert.deepEqual(ours, [`kestrun-agent[${withAgent.pid}]: not started: node's permission model denies ${denied}`]);
    assert.deepEqual([withAgent.status, withAgent.stdout], [0, 'false']);
  });

  it('names every denial that a flag lifts, or only the one that none lifts', () => {
    const { permissionDenial } = require('../lib/permission');
    const dirs = ['/var/log/app/', '/tmp/'];
    const model = (denied) => ({ has: (scope, ref) => !denied.includes(ref === undefined ? scope : `${scope}:${ref}`) });
    const withInspectorFlag = new Set(['--allow-inspector']);
    const cases = [
      [undefined, new Set(), null],
      [model([]), withInspectorFlag, null],
      [model(['worker']), withInspectorFlag, "node's permission model denies worker threads; allow it with --allow-worker"],
      [model(['fs.write:/var/log/app/', 'fs.read:/tmp/']), withInspectorFlag,
        "node's permission model denies writing to /var/log/app/, reading /tmp/; allow it with --allow-fs-write=/var/log/app/ --allow-fs-read=/tmp/"],
      [model(['worker', 'inspector']), withInspectorFlag,
        "node's permission model denies worker threads, inspector sessions; allow it with --allow-worker --allow-inspector"],
      [model(['worker', 'inspector']), new Set(),
        `node's permission model denies inspector sessions; allow it with --experimental-permission left off (node ${process.version} has no flag that allows them)`],
      [{ has: (scope) => { if (scope === 'inspector') throw new TypeError('unknown scope'); return true; } }, new Set(),
        `node's permission model denies inspector sessions; allow it with --experimental-permission left off (node ${process.version} has no flag that allows them)`],
    ];
    for (const [permission, flags, expected] of cases) assert.equal(permissionDenial(permission, dirs, flags), expected);
  });
});

describe('terminating signals', () => {
  // A library in the manner of signal-exit: it steps aside while other
  // listeners exist, and otherwise removes itself and raises the signal again.
  const SIGNAL_EXIT = `const sig = process.env.SIG;
    function onSignal() {
      if (process.listeners(sig).length !== 1) return;
      process.removeListener(sig, onSignal);
      process.stdout.write('cleanup ' + sig + '\\n');
      process.kill(process.pid, sig);
    }
    process.on(sig, onSignal);
    setTimeout(() => {}, 20000);
    process.stdout.write('ready\\n');`;
  const STUCK = "process.stdout.write('ready\\n'); const end = Date.now() + 20000; while (Date.now() < end) {}";

  // Starts the app, waits until it is ready (and serves, with the agent),
  // sends the signal; resolves with its end and the time from the signal to it.
  async function endBySignal(code, signal, withAgent) {
    const app = await h.startApp({ args: ['-e', code], env: { SIG: signal }, preload: withAgent, serve: false });
    try {
      await h.waitFor(() => app.out === 'ready\n' && (!withAgent || h.isSocket(h.socketPath(app.pid))), 'the app to be ready');
      const marks = h.agentMarks(app.pid); // left behind by a killed agent
      const sent = process.hrtime.bigint();
      app.child.kill(signal);
      const exit = await app.exited;
      for (const file of marks) fs.rmSync(file, { force: true });
      return { exit, out: app.out, err: app.err, ms: Number(process.hrtime.bigint() - sent) / 1e6 };
    } finally {
      await h.stopApp(app);
    }
  }

  // SIGUSR2 too: the agent needs no kick, and kill -USR2 ends a process
  // that has no handler of its own.
  it('end the process as without the agent: status, output and time, with a signal-exit handler and stuck in JavaScript', async (t) => {
    for (const [name, code] of [['signal-exit handler', SIGNAL_EXIT], ['stuck', STUCK]]) {
      for (const signal of ['SIGTERM', 'SIGINT', 'SIGHUP', 'SIGUSR2']) {
        const plain = await endBySignal(code, signal, false);
        const agent = await endBySignal(code, signal, true);
        const what = `${name}, ${signal}`;
        assert.deepEqual(plain.exit, { code: null, signal }, what);
        assert.deepEqual([agent.exit, agent.out, agent.err], [plain.exit, plain.out, plain.err], what);
        t.diagnostic(`${what}: ${plain.ms.toFixed(1)} ms without the agent, ${agent.ms.toFixed(1)} ms with it`);
        assert.ok(agent.ms < plain.ms + 100, `${what}: ended ${agent.ms.toFixed(0)} ms after the signal, ${plain.ms.toFixed(0)} ms without the agent`);
      }
    }
  });
});

describe('as PID 1 of a pid namespace', () => {
  // node as PID 1 with a /tmp of its own: a staging directory, bind-mounted
  // there, that holds a copy of the agent (the checkout itself may lie under
  // /tmp). It echoes its standard input, so that a line sent after a signal
  // comes back only once the signal was handled.
  const ECHO = "process.stdin.on('data', (d) => process.stdout.write(d))";
  const unshare = spawnSync('unshare', ['--pid', '--fork', '--kill-child', '--mount', '--mount-proc', 'true'], { encoding: 'utf8' });
  const skip = unshare.status === 0 ? false : `unshare --pid --mount is not permitted here: ${(unshare.stderr || String(unshare.error)).trim()}`;
  const started = [];
  const stages = [];

  // A directory to be some namespaces' /tmp, with the agent in it at /tmp/agent.
  function stage() {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrun-pid1-'));
    stages.push(dir);
    fs.mkdirSync(path.join(dir, 'agent'));
    for (const name of ['kestrun-agent.js', 'package.json', 'lib']) {
      fs.cpSync(path.join(path.dirname(h.AGENT), name), path.join(dir, 'agent', name), { recursive: true });
    }
    return dir;
  }

  // Every namespace ends with its unshare (--kill-child), on every path.
  after(async () => {
    for (const app of started) {
      app.child.kill('SIGKILL');
      await app.exited;
    }
    for (const dir of stages) fs.rmSync(dir, { recursive: true, force: true });
  });

  async function startPid1(withAgent, tmp = stage()) {
    const node = [process.execPath, ...(withAgent ? ['--require', '/tmp/agent/kestrun-agent.js'] : []), '-e', ECHO];
    const child = spawn('unshare', ['--pid', '--fork', '--kill-child', '--mount', '--mount-proc', 'sh', '-c', 'mount --bind "$0" /tmp && exec "$@"', tmp, ...node], {
      env: h.cleanEnv({ ENABLE_NODE_LOG: 'YES' }), stdio: ['pipe', 'pipe', 'pipe'],
    });
    const app = { child, out: '', err: '', tmp };
    started.push(app);
    child.stdout.on('data', (d) => { app.out += d; });
    child.stderr.on('data', (d) => { app.err += d; });
    app.exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
    // The host pid of the namespace's PID 1: unshare's only child, once it runs node.
    app.pid = await h.waitFor(() => {
      let kids = '';
      try { kids = fs.readFileSync(`/proc/${child.pid}/task/${child.pid}/children`, 'utf8').trim(); } catch (_) { return null; }
      const pid = Number(kids.split(' ')[0]);
      try { return pid && fs.readlinkSync(`/proc/${pid}/exe`) === process.execPath ? pid : null; } catch (_) { return null; }
    }, 'node as PID 1');
    app.socket = path.join(tmp, 'kestrun-uds-path-1');
    return app;
  }

  async function echoes(app, line) {
    app.child.stdin.write(line + '\n');
    await h.waitFor(() => app.out.includes(line + '\n'), `the echo of ${line}`);
  }

  // force_gc through socket: two replies, no signal.
  async function answers(socket) {
    const client = await new Promise((resolve, reject) => {
      const sock = require('net').connect(socket);
      sock.once('connect', () => resolve(new h.Client(sock)));
      sock.once('error', reject);
    });
    try {
      client.send(h.message({ mask: 0x2 }));
      assert.ok(h.parseReply(await client.read(h.MSG_SIZE)).noKick);
      assert.equal(h.parseReply(await client.read(h.MSG_SIZE)).verdict, 'Y');
    } finally {
      client.close();
    }
  }

  it('SIGTERM, SIGINT, SIGHUP and SIGUSR2 are ignored as without the agent, and the agent stays reachable', { skip }, async () => {
    const plain = await startPid1(false);
    const agent = await startPid1(true);
    await h.waitFor(() => h.isSocket(agent.socket), 'the control socket inside');
    for (const app of [plain, agent]) {
      for (const signal of ['SIGTERM', 'SIGINT', 'SIGHUP', 'SIGUSR2']) {
        process.kill(app.pid, signal);
        await echoes(app, `after ${signal}`);
      }
    }
    assert.equal(plain.out, agent.out);
    assert.equal(plain.err + agent.err, '');
    await answers(agent.socket);
  });

  it('a sidecar with the same pid and /tmp does not take over the served socket, and serves once it is free', { skip }, async () => {
    const first = await startPid1(true);
    await h.waitFor(() => h.isSocket(first.socket), 'the first control socket');
    const ino = fs.statSync(first.socket).ino;
    const sidecar = await startPid1(true, first.tmp);
    await h.waitFor(() => sidecar.err.includes('is served by another process'), 'the sidecar to say the path is taken');
    assert.match(sidecar.err, /^kestrun-agent\[\d+\]: control socket \/tmp\/kestrun-uds-path-1 is served by another process: this process serves nothing until that path is free \(tried again every \d+ s\)\n$/);
    assert.equal(fs.statSync(first.socket).ino, ino);
    await answers(first.socket);
    // A process that ends while it serves nothing removes only its own
    // private bind directories: a link of their shape leads nowhere.
    fs.mkdirSync(path.join(first.tmp, 'victim'));
    fs.writeFileSync(path.join(first.tmp, 'victim', 'socket'), '');
    fs.symlinkSync('victim', path.join(first.tmp, 'kestrun-bind-1-planted'));
    const third = await startPid1(true, first.tmp);
    await h.waitFor(() => third.err.includes('is served by another process'), 'the third to say the path is taken');
    third.child.stdin.end();
    assert.deepEqual(await third.exited, { code: 0, signal: null });
    assert.ok(fs.existsSync(path.join(first.tmp, 'victim', 'socket')));
    first.child.stdin.end(); // PID 1 ends when its input ends, and removes its socket
    assert.deepEqual(await first.exited, { code: 0, signal: null });
    await h.waitFor(() => h.isSocket(first.socket) && fs.statSync(first.socket).ino !== ino, 'the sidecar to serve the free path', 15000);
    await answers(sidecar.socket);
  });
});
