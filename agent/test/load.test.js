'use strict';
// The agent under load: many real quellix processes at once, a long run of
// commands, and a first --v8-options while both cores are busy.
const { describe, it, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const { spawn } = require('child_process');
const h = require('../harness/control-client');

const QUELLIX = process.env.QUELLIX_BIN;
const skip = !QUELLIX || !fs.existsSync(QUELLIX) ? 'QUELLIX_BIN is not set or does not exist: the load tests need the quellix binary' : false;
if (skip) console.log(`# skipping load tests: ${skip}`);

function descriptors(pid) { return fs.readdirSync(`/proc/${pid}/fd`).length; }

function children(pid) {
  try { return fs.readFileSync(`/proc/${pid}/task/${pid}/children`, 'utf8').trim(); } catch (_) { return ''; }
}

describe('load', { skip }, () => {
  let app;
  const spinners = [];
  after(async () => {
    for (const s of spinners) s.kill('SIGKILL');
    await h.stopApp(app);
  });

  it('the first --v8-options answers while both cores are busy', async () => {
    for (let i = 0; i < os.cpus().length; i++) {
      spinners.push(spawn(process.execPath, ['-e', 'for (;;) {}'], { env: h.cleanEnv({}), stdio: 'ignore' }));
    }
    app = await h.startApp();
    const run = await h.runQuellix(['--v8-options', '--trace_gc', 'time=2s', `--pid=${app.pid}`]);
    for (const s of spinners.splice(0)) s.kill('SIGKILL');
    assert.equal(run.status, 0, run.out + run.err);
  });

  it('100 quellix processes at once are each delivered or told the runtime is busy', async (t) => {
    const runs = await Promise.all(Array.from({ length: 100 }, () => h.runQuellix(['--force_gc', String(app.pid)])));
    for (const run of runs) {
      if (run.status !== 0) assert.match(run.out, /^Runtime is busy, please try later\. \d+$/m);
    }
    const delivered = runs.filter((r) => r.status === 0).length;
    t.diagnostic(`${delivered} of 100 delivered`);
    assert.ok(delivered > 0, 'nothing was delivered');
  });

  it('200 commands in a row are all delivered and leave no descriptor behind', async () => {
    await h.waitFor(() => children(app.pid) === '', 'the agent\'s flag list reader to end');
    const baseline = descriptors(app.pid);
    for (let i = 0; i < 200; i++) {
      const file = `${app.dir}/row-${i}.diag`;
      const mask = i % 2 ? 0x2 : 0x2000; // --force_gc, --diag_report
      const { first, second } = await h.exchange(app.pid, { mask, text: mask === 0x2000 ? `--specified_log_path=${file} ` : '' });
      assert.deepEqual([first.verdict, second && second.verdict], ['Y', 'Y'], `command ${i}: ${first.text}`);
    }
    await h.waitFor(() => fs.readdirSync(app.dir).filter((f) => f.endsWith('.diag')).length === 100, 'the reports');
    await h.waitFor(() => descriptors(app.pid) <= baseline, `the descriptors to fall back to ${baseline}`, 10000);
  });
});
