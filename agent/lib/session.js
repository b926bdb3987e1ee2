'use strict';
// The worker's inspector sessions with the main thread. V8 dispatches their
// messages by interrupting whatever the main thread runs, so profiles,
// snapshots and the report come while the main thread spins in JavaScript.
// A session is connected only while something uses it; connected sessions
// are counted in shared memory, so that the main thread knows at exit that it
// has to wait for the worker to disconnect them (a session still connected
// when the process ends makes node wait for "the debugger").
//
// V8 ends allocation tracking, and forgets its heap object ids, whenever any
// session disables the heap profiler, which closing a session does too.
const inspector = require('inspector');
const { HOOK_KEY, SHARED } = require('./shared');

class MainSession {
  constructor(shared) {
    this.shared = shared;
    this.session = null;
    this.users = 0;
  }

  acquire() {
    if (!this.session) {
      const session = new inspector.Session();
      session.connectToMainThread();
      this.session = session;
      Atomics.add(this.shared, SHARED.SESSION, 1);
    }
    this.users++;
    return this;
  }

  release() {
    if (--this.users > 0 || !this.session) return;
    this.disconnect();
  }

  disconnect() {
    if (this.session) {
      try { this.session.disconnect(); } catch (_) { /* already gone */ }
      Atomics.sub(this.shared, SHARED.SESSION, 1);
    }
    this.session = null;
    this.users = 0;
  }

  get connected() { return this.session !== null; }

  post(method, params) {
    return new Promise((resolve, reject) => {
      if (!this.session) { reject(new Error(`${method}: no inspector session`)); return; }
      this.session.post(method, params || {}, (err, res) => {
        if (err) reject(new Error(`${method}: ${err.message}`));
        else resolve(res);
      });
    });
  }

  // As post, but calls back (err, result) as the answer comes, in order with
  // the session's events: a promise would settle after the events that
  // arrived with its answer.
  postInOrder(method, params, callback) {
    if (!this.session) { callback(new Error(`${method}: no inspector session`)); return; }
    this.session.post(method, params || {}, callback);
  }

  on(event, fn) { this.session.on(event, fn); }
  off(event, fn) { if (this.session) this.session.removeListener(event, fn); }

  // Calls one of the agent's own main-thread functions and returns its value.
  async call(name, ...args) {
    const expression = `globalThis[Symbol.for(${JSON.stringify(HOOK_KEY)})].${name}(${args.map((a) => JSON.stringify(a)).join(', ')})`;
    const res = await this.post('Runtime.evaluate', { expression, returnByValue: true, silent: true });
    if (res.exceptionDetails) {
      const ex = res.exceptionDetails.exception;
      throw new Error((ex && ex.description) || res.exceptionDetails.text);
    }
    return res.result.value;
  }
}

// Runs fn with the session held, and lets it go afterwards.
async function withSession(session, fn) {
  session.acquire();
  try {
    return await fn(session);
  } finally {
    session.release();
  }
}

module.exports = { MainSession, withSession };
