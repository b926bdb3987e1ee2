'use strict';
// How the agent comes and goes with its process: identification, the control
// socket's life, signals, and never keeping the process alive.
const { describe, it, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const { execFileSync, spawnSync } = require('child_process');
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
  for (const signal of ['SIGTERM', 'SIGINT']) {
    it(`${signal} without an application handler removes the socket and kills as before`, async () => {
      const app = await h.startApp();
      try {
        app.child.kill(signal);
        assert.deepEqual(await app.exited, { code: null, signal });
        assert.ok(!fs.existsSync(h.socketPath(app.pid)));
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
