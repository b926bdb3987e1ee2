'use strict';
// The census of the heap's objects that the snapshot's memory estimate may
// take: it runs none of the application's code, says nothing, and sees what
// makes V8's snapshot large (many strings, the indices of large containers).
// It runs here, in the test's own process, as it runs in the application's
// main thread.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { HOOK_KEY } = require('../lib/shared');
const need = require('../lib/need');

const key = Symbol.for(HOOK_KEY);
const kept = [];

before(() => { globalThis[key] = { tally: need.tally }; });
after(() => { delete globalThis[key]; kept.length = 0; });

// The census with `make`'s objects kept, against the census without them.
function added(make) {
  const without = need.census();
  kept.push(make());
  const withThem = need.census();
  return { nodes: withThem.nodes - without.nodes, names: withThem.names, objects: withThem.objects - without.objects };
}

describe('the census', () => {
  it('calls no getter, proxy trap, iterator or method of the application, and says nothing', () => {
    const calls = [];
    const record = (what) => () => { calls.push(what); throw new Error(`${what} was called`); };
    const traps = {};
    for (const trap of ['get', 'has', 'ownKeys', 'getOwnPropertyDescriptor', 'getPrototypeOf']) traps[trap] = record(`proxy ${trap}`);
    class LoudMap extends Map {
      get size() { return record('size getter')(); }
      entries() { return record('entries')(); }
      [Symbol.iterator]() { return record('iterator')(); }
    }
    const loud = new LoudMap();
    for (let i = 0; i < 5000; i++) Map.prototype.set.call(loud, i, { i });
    const indexed = Array.from({ length: 5000 }, (_, i) => ({ i }));
    Object.defineProperty(indexed, 0, { get: record('index getter'), enumerable: true });
    const revoked = Proxy.revocable({}, {});
    revoked.revoke();
    kept.push(new Proxy({}, traps), new Proxy([1, 2, 3], traps), revoked.proxy, loud, indexed,
      Object.defineProperty({}, 'x', { get: record('property getter'), enumerable: true }));
    const writes = [];
    const stderrWrite = process.stderr.write;
    process.stderr.write = (chunk, ...rest) => { writes.push(String(chunk)); return stderrWrite.call(process.stderr, chunk, ...rest); };
    let result;
    try {
      result = need.census();
    } finally {
      process.stderr.write = stderrWrite;
    }
    assert.deepEqual(calls, []);
    assert.deepEqual(writes, []);
    assert.ok(result.objects > 10000, `objects ${result.objects}`);
    assert.ok(result.names >= 10000, `the Map and the array were looked into: names ${result.names}`);
  });

  it('takes the indices of a large array of objects as names, and of a large array of numbers not', () => {
    const numbers = added(() => Array.from({ length: 300000 }, (_, i) => i * 1.5));
    assert.ok(numbers.names < 300000, `names ${numbers.names} for numbers`);
    const objects = added(() => Array.from({ length: 300000 }, (_, i) => ({ i })));
    assert.ok(objects.names >= 300000, `names ${objects.names} for objects`);
    assert.ok(objects.objects >= 300000, `objects ${objects.objects}`);
  });

  it('counts the strings that small arrays and objects hold, from a sample of them', () => {
    const strings = added(() => Array.from({ length: 300 }, (_, j) => Array.from({ length: 1000 }, (_, i) => `s${j * 1000 + i}`)));
    assert.ok(strings.nodes > 270000 && strings.nodes < 340000, `nodes ${strings.nodes} for 300000 strings`);
    const records = added(() => Array.from({ length: 200 }, (_, j) => Array.from({ length: 500 }, (_, i) => ({ a: `a${i}`, b: `b${j}`, n: i }))));
    // Each record, and its two strings.
    assert.ok(records.nodes > 270000 && records.nodes < 340000, `nodes ${records.nodes} for 100000 records of two strings`);
  });
});
