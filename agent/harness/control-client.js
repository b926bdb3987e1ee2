'use strict';
// Shared by the agent's tests: start an application with the agent, talk to
// its control socket the way quellix does, wait for files, clean up.
const fs = require('fs');
const os = require('os');
const net = require('net');
const path = require('path');
const { spawn } = require('child_process');

const AGENT = path.resolve(__dirname, '..', 'kestrun-agent.js');
const APP = path.resolve(__dirname, 'app.js');
const STUCK_APP = path.resolve(__dirname, 'stuck-app.js');
// The DevTools heap snapshot loader, a test-only package (.ci/run installs it
// with `npm install --prefix agent/test`).
const LOADER = 'heap-snapshot-toolkit';
const MSG_SIZE = 512;
const EXT_MSG_SIZE = 1024;
const STATUS_QUERY = 0x10000;

function socketPath(pid) { return `/tmp/kestrun-uds-path-${pid}`; }

function isSocket(file) {
  try { return fs.statSync(file).isSocket(); } catch (_) { return false; }
}

// Polls cond() until it returns a truthy value or the deadline passes.
async function waitFor(cond, what, timeoutMs = 15000, stepMs = 20) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await cond();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, stepMs));
  }
}

// The environment of a process under test, without the caller's own preload.
function cleanEnv(extra) {
  const env = Object.assign({}, process.env);
  delete env.NODE_OPTIONS;
  delete env.NODE_TEST_CONTEXT;
  return Object.assign(env, extra);
}

// Starts app.js (or args) with the agent and ENABLE_NODE_LOG=YES, and waits
// for its control socket. The returned app owns a temporary directory.
// wrap: a command line that runs the app in its own process, such as
// ['unshare', '--mount', ...]; limits: shell commands run before it, such as
// 'umask 000' or 'ulimit -f 512'; cwd: its working directory (default: the
// test's); node: the executable (default: this one).
async function startApp({ env = {}, args = [APP], serve = true, preload = true, wrap = [], limits = null, cwd = undefined, node = process.execPath } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrun-test-'));
  let argv = [...wrap, node, ...(preload ? ['--require', AGENT, ...args] : args)];
  if (limits) argv = ['/bin/sh', '-c', `${limits}; exec "$0" "$@"`, ...argv];
  const child = spawn(argv[0], argv.slice(1), {
    env: cleanEnv(Object.assign({ ENABLE_NODE_LOG: 'YES', NODE_LOG_DIR: dir }, env)),
    stdio: ['ignore', 'pipe', 'pipe', 'ipc'],
    cwd,
  });
  const app = { child, pid: child.pid, dir, out: '', err: '', exit: null, replies: new Map(), nextId: 1 };
  child.stdout.on('data', (d) => { app.out += d; });
  child.stderr.on('data', (d) => { app.err += d; });
  app.exited = new Promise((resolve) => child.on('exit', (code, signal) => { app.exit = { code, signal }; resolve(app.exit); }));
  child.on('message', (m) => app.replies.set(m.id, m));
  if (serve) {
    try {
      await waitFor(() => isSocket(socketPath(app.pid)) || app.exit, `control socket of pid ${app.pid}`);
      if (app.exit) throw new Error(`app ended before serving: ${JSON.stringify(app.exit)} ${app.err}`);
    } catch (err) {
      await stopApp(app);
      throw err;
    }
  }
  return app;
}

// Evaluates code in the app and returns its value.
async function evalInApp(app, code) {
  const id = app.nextId++;
  app.child.send({ id, code });
  const reply = await waitFor(() => app.replies.get(id), `answer to ${code}`);
  if (reply.error) throw new Error(reply.error);
  return reply.value;
}

// The marks a live agent listens on (in its log directory and /tmp), which
// a process killed by a signal leaves behind. Each is bound under a private
// name (which /proc/net/unix shows) and renamed to its public one.
function agentMarks(pid) {
  const inodes = new Set();
  try {
    for (const fd of fs.readdirSync(`/proc/${pid}/fd`)) {
      try {
        const m = /^socket:\[(\d+)\]$/.exec(fs.readlinkSync(`/proc/${pid}/fd/${fd}`));
        if (m) inodes.add(m[1]);
      } catch (_) { /* closed meanwhile */ }
    }
  } catch (_) { /* ended */ }
  const marks = [];
  for (const line of fs.readFileSync('/proc/net/unix', 'utf8').split('\n').slice(1)) {
    const f = line.trim().split(/\s+/);
    const m = f.length >= 8 && inodes.has(f[6]) && /^(.*)\/\.kestrun-agent\.([0-9a-f]{16})\.[0-9a-f]{8}\.new$/.exec(f[7]);
    if (m) marks.push(`${m[1]}/.kestrun-agent.${m[2]}.sock`);
  }
  return marks;
}

// Ends the app (if it still runs), waits for it and removes its files.
async function stopApp(app) {
  if (!app) return;
  const marks = app.exit ? [] : agentMarks(app.pid);
  if (!app.exit) app.child.kill('SIGKILL');
  await app.exited;
  fs.rmSync(app.dir, { recursive: true, force: true });
  for (const file of [socketPath(app.pid), ...marks]) fs.rmSync(file, { force: true });
}

// The control message: mask at 0, sender pid (or parameter) at 4, text at 8.
function message({ mask, text = '', size = MSG_SIZE, param = process.pid }) {
  const buf = Buffer.alloc(size);
  buf.writeUInt32LE(mask >>> 0, 0);
  buf.writeInt32LE(param, 4);
  buf.write(text, 8, size - 9, 'utf8');
  return buf;
}

// noKick, only when true: an accepting first reply with the no-kick mark
// ("NK" in bytes 1-2, a text that begins with "no kick needed"); askAgain,
// only when true: a refusal marked "AA", which asks to be asked again.
function parseReply(buf) {
  const nul = buf.indexOf(0, 3);
  const text = buf.toString('utf8', 3, nul < 0 ? buf.length : nul);
  const mark = buf.toString('latin1', 1, 3);
  const noKick = buf[0] !== 0x4e && mark === 'NK' && text.startsWith('no kick needed');
  const askAgain = buf[0] === 0x4e && mark === 'AA';
  return Object.assign({ verdict: String.fromCharCode(buf[0]), text, length: buf.length }, noKick ? { noKick } : {},
    askAgain ? { askAgain } : {});
}

// A client connection that collects what the agent sends.
class Client {
  static connect(pid) {
    return new Promise((resolve, reject) => {
      const sock = net.connect(socketPath(pid));
      sock.once('connect', () => resolve(new Client(sock)));
      sock.once('error', reject);
    });
  }

  constructor(sock) {
    this.sock = sock;
    this.data = Buffer.alloc(0);
    this.closed = false;
    sock.on('data', (d) => { this.data = Buffer.concat([this.data, d]); });
    sock.on('close', () => { this.closed = true; });
    sock.on('error', () => { this.closed = true; });
  }

  send(buf) { this.sock.write(buf); }

  // Resolves with the next n bytes, or what is left when the agent closes;
  // null when nothing came within timeoutMs.
  async read(n, timeoutMs = 2000) {
    try {
      await waitFor(() => this.data.length >= n || this.closed, `${n} reply bytes`, timeoutMs, 5);
    } catch (_) {
      return null;
    }
    const out = this.data.subarray(0, n);
    this.data = this.data.subarray(out.length);
    return out.length > 0 ? out : null;
  }

  close() { this.sock.destroy(); }
}

// One exchange as quellix makes it: message, first reply, the kick (none
// after a first reply with the no-kick mark), second reply. kick: false
// stops after the first reply.
async function exchange(pid, opts) {
  const size = opts.size || MSG_SIZE;
  const client = await Client.connect(pid);
  try {
    client.send(message(opts));
    const raw = await client.read(size);
    const first = raw && parseReply(raw);
    if (!first || first.verdict === 'N' || size === EXT_MSG_SIZE || opts.kick === false) return { first };
    if (!first.noKick) process.kill(pid, 'SIGUSR2');
    const raw2 = await client.read(MSG_SIZE);
    return { first, second: raw2 && parseReply(raw2) };
  } finally {
    client.close();
  }
}

// The names in dir, without the marks that live agents keep there.
function filesIn(dir) {
  return fs.readdirSync(dir).filter((name) => !/^\.kestrun-agent\.[0-9a-f]{16}\.sock$/.test(name));
}

// The status query for a result path, as quellix sends it: the reply, or
// null when none came.
async function statusOf(pid, file) {
  const { first } = await exchange(pid, { mask: STATUS_QUERY, size: EXT_MSG_SIZE, param: 0, text: file });
  return first;
}

// Waits for a complete result file and returns its text.
async function waitForFile(file, timeoutMs = 15000) {
  await waitFor(() => fs.existsSync(file), `result file ${file}`, timeoutMs);
  return fs.readFileSync(file, 'utf8');
}

// The /proc/<pid>/status mask of caught signals (hex), as quellix reads it before a kick.
function caughtSignals(pid) {
  return /^SigCgt:\s*([0-9a-f]+)$/m.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1];
}

// The process's descriptors on its control socket: the listener and every
// connection it accepted (they carry the listener's address; the agent binds
// it in a private directory before moving it to the public path).
function controlSockets(pid) {
  const bound = new Set();
  for (const line of fs.readFileSync('/proc/net/unix', 'utf8').split('\n').slice(1)) {
    const f = line.trim().split(/\s+/);
    if (f.length >= 8 && /\/kestrun-bind-[^/]+\/socket$/.test(f[7])) bound.add(f[6]);
  }
  let n = 0;
  for (const fd of fs.readdirSync(`/proc/${pid}/fd`)) {
    try {
      const m = /^socket:\[(\d+)\]$/.exec(fs.readlinkSync(`/proc/${pid}/fd/${fd}`));
      if (m && bound.has(m[1])) n++;
    } catch (_) { /* closed meanwhile */ }
  }
  return n;
}

// Loads a heap snapshot or timeline the way DevTools does; resolves to its
// statistics, rejects when the loader does. null when the loader is missing.
async function loadInDevTools(file) {
  let loader;
  try {
    loader = await import(require.resolve(LOADER, { paths: [path.join(__dirname, '..', 'test')] }));
  } catch (_) {
    return null;
  }
  const parsed = await loader.parse(fs.createReadStream(file, 'utf8'));
  return parsed.getStatistics();
}

// Runs the quellix binary named by QUELLIX_BIN with the agent in its own
// NODE_OPTIONS, so that its probe of the target's node loads the agent too;
// resolves with { status, out, err }.
function runQuellix(args) {
  return new Promise((resolve) => {
    const child = spawn(process.env.QUELLIX_BIN, args, { env: cleanEnv({ NODE_OPTIONS: `--require ${AGENT}` }) });
    const run = { out: '', err: '' };
    child.stdout.on('data', (d) => { run.out += d; });
    child.stderr.on('data', (d) => { run.err += d; });
    child.on('close', (status) => resolve(Object.assign(run, { status })));
  });
}

module.exports = {
  AGENT, APP, STUCK_APP, LOADER, MSG_SIZE, EXT_MSG_SIZE, STATUS_QUERY, socketPath, isSocket, waitFor, cleanEnv, startApp,
  evalInApp, stopApp, agentMarks, message, parseReply, Client, exchange, filesIn, statusOf, waitForFile, caughtSignals,
  controlSockets, loadInDevTools,
  runQuellix,
};
