'use strict';
// An application stuck in JavaScript: spinInRequestHandler serves quick
// requests, one per turn of the event loop, until it is optimized like the
// code of a long-running service; then one request spins for SPIN_MS
// (default 25 s) without yielding. "spinning" on stdout when it starts,
// "done" when it ends, and then the process ends.
const spinMs = Number(process.env.SPIN_MS || 25000);
const QUICK_REQUESTS = 3000;

function spinInRequestHandler(until) {
  let n = 0;
  for (let i = 0; i < 1000 || Date.now() < until; i++) n += Math.sqrt(i) > 0 ? 1 : 0;
  return n;
}

let served = 0;
function serve() {
  if (++served < QUICK_REQUESTS) {
    spinInRequestHandler(0);
    setImmediate(serve);
    return;
  }
  process.stdout.write('spinning\n');
  spinInRequestHandler(Date.now() + spinMs);
  process.stdout.write('done\n');
}
setImmediate(serve);
