'use strict';
// The control socket, served by the agent's worker thread:
//
//   client                                 agent
//   512-byte message  ------------------>  parse, check, reserve
//                     <------------------  first reply: 'N' + text, or
//                                          'Y', "NK", "no kick needed..."
//   (no signal: the client waits)          still connected COMMIT_MS later:
//                     <------------------  second reply, then the commands run
//
// or the one-shot extended message: 1024 bytes in, one reply out.
// The extended message also carries the status query (lib/status.js), which
// the worker answers by itself, whatever the main thread is doing.
// Both messages start with the same two fields, so they are told apart by
// length: a message that stops at 512 bytes for EXTENDED_GRACE_MS is a normal
// message (its sender is now waiting for the reply and sends nothing more); a
// sender of the extended message writes all 1024 bytes in one piece, which a
// local stream socket delivers at once.
//
// The worker serves the socket by itself, so it needs no kick signal, and
// the agent installs no SIGUSR2 listener: a listener would change what the
// signal does to the application (its own handler, node's
// --heapsnapshot-signal and --report-on-signal, or the end of a process
// without one). Its accepting first reply carries the no-kick mark, on
// which quellix sends no signal. A client that is still connected
// COMMIT_MS after that reply has committed to its message; one that leaves
// before (an older quellix, which will not kick a process that does not
// catch SIGUSR2, closes at once) gets nothing run.
const fs = require('fs');
const net = require('net');
const path = require('path');
const wire = require('./wire');
const commands = require('./commands');
const status = require('./status');
const { log, warn, stderr, guard } = require('./log');
const { bindDirPrefix } = require('./shared');

// Time a 512-byte message is given to grow into an extended one.
const EXTENDED_GRACE_MS = 20;
// A message still incomplete this long after its first byte is refused.
const INCOMPLETE_MS = 500;
// A connection that sends nothing at all is closed, without a reply, after this.
const SILENT_MS = 5000;
// After its last reply a connection is closed by the agent at the latest this
// long later, so that clients that never close cannot pile up descriptors.
const LINGER_MS = 2000;
// The main thread is busy when it does not answer a ping within this time.
const PING_MS = 50;
// For the way a heap snapshot is written, it is free when it answers within this.
const FREE_WAIT_MS = 250;
// A client still connected this long after its first reply has committed to
// its message: well inside the second that quellix waits for the second
// reply, and well beyond the moment an older quellix hangs up.
const COMMIT_MS = 200;
// While another process serves the socket's path, binding is tried again this often.
const TAKEN_RETRY_MS = 5000;

let port = null;       // to the main thread
let closing = false;
const takenSaid = new Set(); // the kinds of taken path said so far
// The private directories the socket is bound in are named after this id,
// which the main thread chose and knows: it removes only its own.
let bindId = null;
let bindAttempts = 0;

// ---------------------------------------------------------------- main thread

const ping = { seq: 0, outstanding: null, callbacks: [], timer: null };

// Calls back with true when the main thread answers a ping within PING_MS.
function mainAnswers(cb) {
  ping.callbacks.push(cb);
  if (ping.outstanding === null) sendPing();
  if (ping.timer) return;
  ping.timer = setTimeout(() => {
    ping.timer = null;
    for (const fn of ping.callbacks.splice(0)) guard(() => fn(false));
  }, PING_MS);
}

function sendPing() {
  ping.outstanding = ++ping.seq;
  port.postMessage({ ping: ping.seq });
}

function onPong(seq) {
  if (seq !== ping.outstanding) return;
  ping.outstanding = null;
  clearTimeout(ping.timer);
  ping.timer = null;
  for (const fn of ping.callbacks.splice(0)) guard(() => fn(true));
}

// ---------------------------------------------------------------- connections

function armTimer(conn, ms, fn) {
  clearTimeout(conn.timer);
  conn.timer = setTimeout(() => guard(fn), ms);
}

function endWith(conn, reply) {
  finishConnection(conn);
  conn.sock.end(reply);
  const linger = setTimeout(() => conn.sock.destroy(), LINGER_MS);
  conn.sock.once('close', () => clearTimeout(linger));
}

function refuse(conn, size, text, mark = null) {
  log(`refused: ${text}`);
  endWith(conn, wire.replyBuffer(size, false, text, mark));
}

function finishConnection(conn) {
  clearTimeout(conn.timer);
  conn.state = 'done';
}

// The client went away or broke the protocol: whatever it asked for is dropped.
function dropConnection(conn) {
  if (conn.state === 'waiting' || conn.state === 'deciding') {
    const why = 'the client left before its command ran; command dropped';
    if (conn.plan) commands.releasePlan(conn.plan, why);
    log(why);
  }
  finishConnection(conn);
  conn.sock.destroy();
}

function onConnection(sock) {
  const conn = { sock, chunks: [], size: 0, timer: null, state: 'reading', plan: null, deadline: 0 };
  sock.on('error', () => guard(() => dropConnection(conn)));
  sock.on('close', () => guard(() => { if (conn.state !== 'done') dropConnection(conn); }));
  sock.on('data', (chunk) => guard(() => onData(conn, chunk)));
  sock.on('end', () => guard(() => onEnd(conn)));
  // A client that connects and says nothing may be starved of CPU: it gets
  // seconds, and then the connection closes without a reply.
  armTimer(conn, SILENT_MS, () => { finishConnection(conn); sock.destroy(); });
}

function refuseIncomplete(conn) {
  refuse(conn, wire.MSG_SIZE, `malformed message: ${conn.size} bytes received, a message has ${wire.MSG_SIZE} or ${wire.EXT_MSG_SIZE}`);
}

function onData(conn, chunk) {
  if (conn.state === 'done') return;
  if (conn.state !== 'reading') { dropConnection(conn); return; } // bytes after a whole message
  if (conn.size === 0) {
    // A message is timed from its first byte.
    conn.deadline = Date.now() + INCOMPLETE_MS;
    armTimer(conn, INCOMPLETE_MS, () => refuseIncomplete(conn));
  }
  conn.chunks.push(chunk);
  conn.size += chunk.length;
  if (conn.size > wire.EXT_MSG_SIZE) {
    refuse(conn, wire.MSG_SIZE, `malformed message: more than ${wire.EXT_MSG_SIZE} bytes`);
  } else if (conn.size === wire.EXT_MSG_SIZE) {
    takeMessage(conn, wire.EXT_MSG_SIZE);
  } else if (conn.size === wire.MSG_SIZE) {
    armTimer(conn, EXTENDED_GRACE_MS, () => takeMessage(conn, wire.MSG_SIZE));
  } else if (conn.size > wire.MSG_SIZE) {
    armTimer(conn, Math.max(0, conn.deadline - Date.now()), () => refuseIncomplete(conn));
  }
}

// A client that shuts down its sending side has left: nothing it asked for
// runs. An incomplete message still gets its refusal, in case it listens.
function onEnd(conn) {
  conn.peerEnded = true;
  if (conn.state === 'waiting') dropConnection(conn);
  else if (conn.state !== 'reading') return;
  else if (conn.size === wire.MSG_SIZE) takeMessage(conn, wire.MSG_SIZE);
  else refuseIncomplete(conn);
}

function takeMessage(conn, size) {
  clearTimeout(conn.timer);
  conn.state = 'deciding';
  const msg = wire.parseMessage(Buffer.concat(conn.chunks, conn.size));
  conn.chunks = null;
  if (msg.error) { refuse(conn, size, msg.error); return; }
  const extended = size === wire.EXT_MSG_SIZE;
  // Not logged: a client waiting for a file asks again and again.
  if (msg.mask & wire.STATUS_QUERY) { answerQuery(conn, size, msg); return; }
  log(`message of ${size} bytes: mask 0x${msg.mask.toString(16)}, ${extended ? 'parameter' : 'sender'} ${msg.param}, text "${msg.text}"`);
  if (closing) { refuse(conn, size, 'the process is ending'); return; }
  commands.makePlan(msg.mask, msg.text, extended ? msg.param : 0).then(
    (plan) => guard(() => decide(conn, size, plan)),
    (err) => guard(() => decide(conn, size, { error: `internal error: ${err.message}` })));
}

// The status query starts, stops and changes nothing: it is answered at
// once, also while the process is ending.
function answerQuery(conn, size, msg) {
  const bit = `0x${wire.STATUS_QUERY.toString(16)}`;
  if (size !== wire.EXT_MSG_SIZE) {
    refuse(conn, size, `the status query (bit ${bit}) comes in the ${wire.EXT_MSG_SIZE}-byte extended message, not in a ${size}-byte one`);
  } else if (msg.mask !== wire.STATUS_QUERY) {
    refuse(conn, size, `the status query (bit ${bit}) goes alone: mask 0x${msg.mask.toString(16)} carries other bits`);
  } else {
    endWith(conn, wire.replyBuffer(size, true, status.answer(msg.text)));
  }
}

function decide(conn, size, plan) {
  if (conn.state !== 'deciding') { // the client left while the message was checked
    if (!plan.error) commands.releasePlan(plan);
    return;
  }
  if (plan.error) { refuse(conn, size, plan.error, plan.askAgain ? wire.ASK_AGAIN_MARK : null); return; }
  conn.plan = plan;
  if (size === wire.EXT_MSG_SIZE) {
    // One reply and no kick: the command runs right after the reply.
    // It runs even if the client leaves now: its message was complete.
    commands.acceptPlan(plan);
    endWith(conn, wire.replyBuffer(size, true, 'accepted'));
    setImmediate(() => commands.runPlan(plan));
    return;
  }
  conn.state = 'waiting';
  if (conn.peerEnded) { dropConnection(conn); return; }
  commands.acceptPlan(plan);
  conn.sock.write(wire.replyBuffer(wire.MSG_SIZE, true, `${wire.NO_KICK_TEXT}: accepted, the second reply follows`, wire.NO_KICK_MARK));
  armTimer(conn, COMMIT_MS, () => commit(conn));
}

// The client is still there: the second reply goes out first, and the
// commands run after it, so a slow heap snapshot never keeps a client waiting.
function commit(conn) {
  if (conn.state !== 'waiting' || conn.peerEnded) return;
  const plan = conn.plan;
  endWith(conn, wire.replyBuffer(wire.MSG_SIZE, true, 'done'));
  setImmediate(() => commands.runPlan(plan));
}

// ---------------------------------------------------------------- the socket

// Binds in a private directory, makes the socket owner-only and only then
// moves it to its public path: the path never names a socket that others may
// use or that refuses a connection. A path that a live process serves (a
// sidecar in another pid namespace with the same pid, sharing /tmp), and a
// file of another user, are never replaced. Calls back with (error),
// (null, { taken: 'served' | 'foreign' }) or (null, { ino }).
function listen(socketPath, done) {
  let dir;
  try {
    dir = `${bindDirPrefix(process.pid)}${bindId}-${++bindAttempts}`;
    fs.mkdirSync(dir, 0o700);
  } catch (err) {
    done(err);
    return;
  }
  const bindPath = path.join(dir, 'socket');
  const cleanup = () => {
    try { fs.unlinkSync(bindPath); } catch (_) { /* moved or never made */ }
    try { fs.rmdirSync(dir); } catch (_) { /* already gone */ }
  };
  const server = net.createServer({ allowHalfOpen: true }, (sock) => guard(() => onConnection(sock)));
  server.on('error', (err) => guard(() => { cleanup(); done(err); }));
  server.listen(bindPath, () => guard(() => pathTaken(socketPath, (taken) => guard(() => {
    // The private directory goes before anything else can happen.
    let res;
    try {
      if (!taken) {
        fs.chmodSync(bindPath, 0o600);
        fs.renameSync(bindPath, socketPath); // replaces a file of ours that nobody serves
        res = { ino: fs.lstatSync(socketPath, { bigint: true }).ino };
      }
    } catch (err) {
      res = { err };
    }
    cleanup();
    if (!res || res.err) server.close();
    if (res && res.err) done(res.err);
    else done(null, res || { taken });
  }))));
}

// Calls back with 'foreign' when another user's file is at path (root, too,
// leaves it alone), 'served' when a live process serves it (a connection is
// taken, or refused for a reason other than "nobody listens": a full
// backlog), or null.
function pathTaken(file, cb) {
  try {
    if (fs.lstatSync(file).uid !== process.geteuid()) { cb('foreign'); return; }
  } catch (_) { /* nothing there, or nothing to be seen */ }
  const sock = net.connect(file);
  sock.once('connect', () => { sock.destroy(); cb('served'); });
  sock.once('error', (err) => cb(err.code !== 'ENOENT' && err.code !== 'ECONNREFUSED' ? 'served' : null));
}

const TAKEN_SAYS = {
  served: 'is served by another process',
  foreign: 'is a file of another user',
};

// Calls back once the socket is at socketPath with (null, ino), or with an
// error. While the path is taken (another process serves it, or it is
// another user's file), this process serves nothing, says so once, and tries
// again every TAKEN_RETRY_MS (the worker never keeps the process alive, so
// neither does the timer).
function start(mainPort, socketPath, id, done) {
  port = mainPort;
  bindId = id;
  listen(socketPath, (err, res) => guard(() => {
    if (err || !res.taken) {
      if (!err && takenSaid.size > 0) log(`control socket ${socketPath} was free again and is served now`);
      done(err || null, res && res.ino);
      return;
    }
    if (!takenSaid.has(res.taken)) {
      takenSaid.add(res.taken);
      const text = `control socket ${socketPath} ${TAKEN_SAYS[res.taken]}: this process serves nothing until that path is free (tried again every ${TAKEN_RETRY_MS / 1000} s)`;
      // Another user's file stays until someone removes it: the log keeps it too.
      if (res.taken === 'foreign') warn(text);
      else stderr(text);
    }
    setTimeout(() => guard(() => start(mainPort, socketPath, id, done)), TAKEN_RETRY_MS);
  }));
}

// Calls back with true when the main thread answers a ping within
// FREE_WAIT_MS: it is free, not busy in JavaScript or blocked. Longer than
// a single PING_MS: on a loaded machine an idle thread may wait its turn.
function mainIsFree(cb, tries = FREE_WAIT_MS / PING_MS) {
  mainAnswers((answered) => {
    if (answered || tries <= 1) cb(answered);
    else mainIsFree(cb, tries - 1);
  });
}

function onMainMessage(msg) {
  if (msg.pong) onPong(msg.pong);
}

function setClosing() { closing = true; }

module.exports = { start, onMainMessage, setClosing, mainIsFree };
