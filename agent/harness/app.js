'use strict';
// Workload for the agent's tests: keeps the CPU and the heap busy, answers
// { id, code } messages on its IPC channel with the value of the code, and
// ends by itself after APP_LIFETIME_MS so that no test can leave it behind.
const vm = require('vm');

globalThis.require = require; // for the code the tests send

const lifetime = Number(process.env.APP_LIFETIME_MS || 60000);
setTimeout(() => process.exit(0), lifetime);

const kept = [];
function fib(n) { return n < 2 ? n : fib(n - 1) + fib(n - 2); }
globalThis.fib = fib;
setInterval(() => {
  kept.push({ at: Date.now(), text: 'x'.repeat(64), n: fib(18) });
  if (kept.length > 2000) kept.splice(0, 1000);
}, 2);

if (process.send) {
  process.on('message', (msg) => {
    new Promise((resolve) => resolve(vm.runInThisContext(msg.code))).then(
      (value) => process.send({ id: msg.id, value }),
      (err) => process.send({ id: msg.id, error: String(err) }));
  });
}
if (process.env.APP_HANDLES_SIGTERM === '1') {
  process.on('SIGTERM', () => process.send && process.send({ id: 'sigterm' }));
}
// A service's graceful shutdown on SIGUSR2, a common reload convention.
if (process.env.APP_SIGUSR2_SHUTDOWN === '1') {
  process.on('SIGUSR2', () => {
    process.stdout.write('graceful shutdown\n');
    process.exit(0);
  });
}
