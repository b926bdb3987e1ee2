'use strict';
// How the agent comes and goes with its process: identification, the control
// socket's life, signals, and never keeping the process alive.
const { describe, it, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const { execFileSync, spawn, spawnSync } = require('child_process');
const h = require('../harness/control-client');

describe('identification probe', () => {
  it('prints the version line only and serves nothing under ENABLE_NODE_LOG=NO', () => {
    const code = "process.kestrun + ' ' + require('fs').existsSync('/tmp/kestrun-uds-path-' + process.pid)";
    const out = execFileSync(process.execPath, ['-p', code], {
      env: h.cleanEnv({ NODE_OPTIONS: `--require ${h.AGENT}`, ENABLE_NODE_LOG: 'NO' }),
    }).toString();
    assert.match(out, /^kestrun-agent \d+\.\d+\.\d+ false\n$/);
  });

  it('leaves process.kestrun undefined without the agent', () => {
    const out = execFileSync(process.execPath, ['-p', 'process.kestrun'], { env: h.cleanEnv({}) }).toString();
    assert.equal(out, 'undefined\n');
  });
});

describe('control socket', () => {
  let app;
  after(() => h.stopApp(app));

  it('is served at the pid path with SIGUSR2 caught', async () => {
    app = await h.startApp();
    assert.ok(h.isSocket(h.socketPath(app.pid)));
    assert.ok(h.catchesSignal(app.pid, 12), 'SIGUSR2 is not in SigCgt');
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

describe('terminating signals', () => {
  for (const signal of ['SIGTERM', 'SIGINT', 'SIGHUP']) {
    it(`${signal} without an application handler writes the running profile, removes the socket and kills as before`, async () => {
      const app = await h.startApp();
      try {
        const file = `${app.dir}/at-${signal}.cpuprofile`;
        const { second } = await h.exchange(app.pid, { mask: 0x40, text: `--specified_log_path=${file} ` });
        assert.equal(second.verdict, 'Y');
        await h.waitFor(async () => (await h.evalInApp(app, '1')) === 1, 'the profile to start');
        app.child.kill(signal);
        assert.deepEqual(await app.exited, { code: null, signal });
        assert.ok(!fs.existsSync(h.socketPath(app.pid)));
        assert.ok(JSON.parse(fs.readFileSync(file, 'utf8')).samples);
        assert.equal(app.err, '');
      } finally {
        await h.stopApp(app);
      }
    });
  }

  it('SIGTERM with an application handler is left to the application', async () => {
    const app = await h.startApp({ env: { APP_HANDLES_SIGTERM: '1' } });
    try {
      app.child.kill('SIGTERM');
      await h.waitFor(() => app.replies.get('sigterm'), 'the application handler');
      assert.equal(app.exit, null);
      assert.ok(h.isSocket(h.socketPath(app.pid)));
      await h.evalInApp(app, 'setImmediate(() => process.exit(3))');
      assert.deepEqual(await app.exited, { code: 3, signal: null });
      assert.ok(!fs.existsSync(h.socketPath(app.pid)));
    } finally {
      await h.stopApp(app);
    }
  });
});

describe('as PID 1 of a pid namespace', () => {
  // node as PID 1 with /tmp of its own; it echoes its standard input, so that
  // a line sent after a signal comes back only once the signal was handled.
  const ECHO = "process.stdin.on('data', (d) => process.stdout.write(d))";
  const unshare = spawnSync('unshare', ['--pid', '--fork', '--mount', '--mount-proc', 'true'], { encoding: 'utf8' });
  const skip = unshare.status === 0 ? false : `unshare --pid --mount is not permitted here: ${(unshare.stderr || String(unshare.error)).trim()}`;

  async function startPid1(withAgent) {
    const node = [process.execPath, ...(withAgent ? ['--require', h.AGENT] : []), '-e', ECHO];
    const child = spawn('unshare', ['--pid', '--fork', '--mount', '--mount-proc', 'sh', '-c', 'mount -t tmpfs none /tmp && exec "$0" "$@"', ...node], {
      env: h.cleanEnv({ ENABLE_NODE_LOG: 'YES' }), stdio: ['pipe', 'pipe', 'pipe'],
    });
    const app = { child, out: '', err: '' };
    child.stdout.on('data', (d) => { app.out += d; });
    child.stderr.on('data', (d) => { app.err += d; });
    app.exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
    // The host pid of the namespace's PID 1: unshare's only child, once it runs node.
    app.pid = await h.waitFor(() => {
      let kids = '';
      try { kids = fs.readFileSync(`/proc/${child.pid}/task/${child.pid}/children`, 'utf8').trim(); } catch (_) { return null; }
      const pid = Number(kids.split(' ')[0]);
      return pid && fs.readlinkSync(`/proc/${pid}/exe`) === process.execPath ? pid : null;
    }, 'node as PID 1');
    app.socket = `/proc/${app.pid}/root/tmp/kestrun-uds-path-1`;
    if (withAgent) await h.waitFor(() => h.isSocket(app.socket), 'the control socket inside');
    return app;
  }

  async function echoes(app, line) {
    app.child.stdin.write(line + '\n');
    await h.waitFor(() => app.out.includes(line + '\n'), `the echo of ${line}`);
  }

  it('SIGTERM, SIGINT and SIGHUP are ignored as without the agent, and the agent stays reachable', { skip }, async () => {
    const apps = [await startPid1(false), await startPid1(true)];
    try {
      for (const app of apps) {
        for (const signal of ['SIGTERM', 'SIGINT', 'SIGHUP']) {
          process.kill(app.pid, signal);
          await echoes(app, `after ${signal}`);
        }
      }
      const [plain, agent] = apps;
      assert.equal(plain.out, agent.out);
      assert.equal(plain.err + agent.err, '');
      const client = await new Promise((resolve, reject) => {
        const sock = require('net').connect(agent.socket);
        sock.once('connect', () => resolve(new h.Client(sock)));
        sock.once('error', reject);
      });
      try {
        client.send(h.message({ mask: 0x2 }));
        assert.equal(h.parseReply(await client.read(h.MSG_SIZE)).verdict, 'Y');
        process.kill(agent.pid, 'SIGUSR2');
        assert.equal(h.parseReply(await client.read(h.MSG_SIZE)).verdict, 'Y');
      } finally {
        client.close();
      }
    } finally {
      for (const app of apps) {
        app.child.stdin.end(); // PID 1 ends when its input ends and nothing else runs
        process.kill(app.pid, 'SIGKILL');
        await app.exited;
      }
    }
  });
});
