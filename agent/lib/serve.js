'use strict';
// The control socket, served by the agent's worker thread:
//
//   client                                 agent
//   512-byte message  ------------------>  parse, check, reserve
//                     <------------------  first reply ('Y' or 'N' + text)
//   SIGUSR2 (the kick) ----------------->  second reply, then the commands run
//
// or the one-shot extended message: 1024 bytes in, one reply out, no kick.
// The extended message also carries the status query (lib/status.js), which
// the worker answers by itself, whatever the main thread is doing.
// Both messages start with the same two fields, so they are told apart by
// length: a message that stops at 512 bytes for EXTENDED_GRACE_MS is a normal
// message (its sender is now waiting for the reply and sends nothing more); a
// sender of the extended message writes all 1024 bytes in one piece, which a
// local stream socket delivers at once.
//
// The kick reaches JavaScript only through the main thread's event loop. While
// the main thread is free its SIGUSR2 listener passes the kick on. While it is
// busy (it does not answer a ping within PING_MS) the worker takes a client
// that is still connected INFER_KICK_MS after its first reply as kicked:
// quellix sends the kick as soon as it has read the first reply and then
// waits a second for the second one, and a client that leaves before its kick
// still gets nothing run. The signal itself arrives once the main thread is
// free again and is then not counted a second time.
const fs = require('fs');
const net = require('net');
const path = require('path');
const wire = require('./wire');
const commands = require('./commands');
const status = require('./status');
const { log, stderr, guard } = require('./log');
const { bindDirPrefix } = require('./shared');

// Time a 512-byte message is given to grow into an extended one.
const EXTENDED_GRACE_MS = 20;
// A message still incomplete this long after its first byte is refused.
const INCOMPLETE_MS = 500;
// A connection that sends nothing at all is closed, without a reply, after this.
const SILENT_MS = 5000;
// An accepted message whose kick never comes is dropped, its command unrun.
const KICK_TIMEOUT_MS = 10000;
// After its last reply a connection is closed by the agent at the latest this
// long later, so that clients that never close cannot pile up descriptors.
const LINGER_MS = 2000;
// The main thread is busy when it does not answer a ping within this time.
const PING_MS = 50;
// For the way a heap snapshot is written, it is free when it answers within this.
const FREE_WAIT_MS = 250;
// A waiting client is taken as kicked this long after its first reply, when
// the main thread is busy.
const INFER_KICK_MS = 100;
// While a client waits for its kick, the main thread is pinged this often.
const RECHECK_MS = 100;
// While another process serves the socket's path, binding is tried again this often.
const TAKEN_RETRY_MS = 5000;

const pendingKick = new Set();
let port = null;       // to the main thread
let closing = false;
let takenSaid = false;
// The private directories the socket is bound in are named after this id,
// which the main thread chose and knows: it removes only its own.
let bindId = null;
let bindAttempts = 0;

// ---------------------------------------------------------------- main thread

const ping = { seq: 0, outstanding: null, callbacks: [], timer: null, debt: 0, settling: 0 };

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
  // Kicks taken while the main thread was busy: their signals have come by
  // the time the main thread answers a ping sent after it came back.
  if (ping.debt > 0 && ping.settling !== 0) {
    ping.debt = 0;
    ping.settling = 0;
  } else if (ping.debt > 0) {
    sendPing();
    ping.settling = ping.outstanding;
  }
}

function onKickSignal() {
  if (ping.debt > 0) {
    if (--ping.debt === 0) ping.settling = 0;
    return;
  }
  for (const conn of pendingKick) kick(conn);
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

function refuse(conn, size, text) {
  log(`refused: ${text}`);
  endWith(conn, wire.replyBuffer(size, false, text));
}

function finishConnection(conn) {
  clearTimeout(conn.timer);
  conn.state = 'done';
  pendingKick.delete(conn);
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
  if (plan.error) { refuse(conn, size, plan.error); return; }
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
  pendingKick.add(conn);
  conn.sock.write(wire.replyBuffer(wire.MSG_SIZE, true, 'accepted, waiting for SIGUSR2'));
  conn.repliedAt = Date.now();
  armTimer(conn, KICK_TIMEOUT_MS, () => dropConnection(conn));
  watchMainThread(conn);
}

// While conn waits for its kick: is the main thread able to pass it on?
function watchMainThread(conn) {
  if (conn.state !== 'waiting') return;
  mainAnswers((answered) => {
    if (conn.state !== 'waiting') return;
    if (answered) {
      setTimeout(() => guard(() => watchMainThread(conn)), RECHECK_MS);
      return;
    }
    setTimeout(() => guard(() => {
      if (conn.state !== 'waiting' || conn.peerEnded) return;
      ping.debt++;
      log('main thread busy: the kick is taken from the waiting client');
      kick(conn);
    }), Math.max(0, conn.repliedAt + INFER_KICK_MS - Date.now()));
  });
}

// The second reply goes out first; the commands run after it, so a slow heap
// snapshot never keeps a client waiting.
function kick(conn) {
  const plan = conn.plan;
  endWith(conn, wire.replyBuffer(wire.MSG_SIZE, true, 'done'));
  setImmediate(() => commands.runPlan(plan));
}

// ---------------------------------------------------------------- the socket

// Binds in a private directory, makes the socket owner-only and only then
// moves it to its public path: the path never names a socket that others may
// use or that refuses a connection. A path that a live process serves (a
// sidecar in another pid namespace with the same pid, sharing /tmp) is never
// replaced. Calls back with (error), (null, { taken: true }) or (null, { ino }).
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
  server.listen(bindPath, () => guard(() => servedByOther(socketPath, (taken) => guard(() => {
    // The private directory goes before anything else can happen.
    let res;
    try {
      if (!taken) {
        fs.chmodSync(bindPath, 0o600);
        fs.renameSync(bindPath, socketPath); // replaces a file that nobody serves
        res = { ino: fs.lstatSync(socketPath, { bigint: true }).ino };
      }
    } catch (err) {
      res = { err };
    }
    cleanup();
    if (!res || res.err) server.close();
    if (res && res.err) done(res.err);
    else done(null, res || { taken: true });
  }))));
}

// Calls back with true when a live process serves path: a connection is
// taken, or refused for a reason other than "nobody listens" (a full backlog,
// another user's socket).
function servedByOther(path, cb) {
  const sock = net.connect(path);
  sock.once('connect', () => { sock.destroy(); cb(true); });
  sock.once('error', (err) => cb(err.code !== 'ENOENT' && err.code !== 'ECONNREFUSED'));
}

// Calls back once the socket is at socketPath with (null, ino), or with an
// error. While another process serves the path, this process serves nothing,
// says so once, and tries again every TAKEN_RETRY_MS (the worker never keeps
// the process alive, so neither does the timer).
function start(mainPort, socketPath, id, done) {
  port = mainPort;
  bindId = id;
  listen(socketPath, (err, res) => guard(() => {
    if (err || !res.taken) {
      if (!err && takenSaid) log(`control socket ${socketPath} was free again and is served now`);
      done(err || null, res && res.ino);
      return;
    }
    if (!takenSaid) {
      takenSaid = true;
      stderr(`control socket ${socketPath} is served by another process: this process serves nothing until that path is free (tried again every ${TAKEN_RETRY_MS / 1000} s)`);
    }
    setTimeout(() => guard(() => start(mainPort, socketPath, id, done)), TAKEN_RETRY_MS);
  }));
}

// Calls back with true when the main thread answers a ping within
// FREE_WAIT_MS: it is free, not busy in JavaScript or blocked. Longer than
// the kick's PING_MS: on a loaded machine an idle thread may wait its turn.
function mainIsFree(cb, tries = FREE_WAIT_MS / PING_MS) {
  mainAnswers((answered) => {
    if (answered || tries <= 1) cb(answered);
    else mainIsFree(cb, tries - 1);
  });
}

function onMainMessage(msg) {
  if (msg.kick) onKickSignal();
  else if (msg.pong) onPong(msg.pong);
}

function setClosing() { closing = true; }

module.exports = { start, onMainMessage, setClosing, mainIsFree };
