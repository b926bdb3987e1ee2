'use strict';
// What a heap snapshot costs in memory while V8 builds it: estimated from
// the heap's space sizes, from a census of its objects when the sizes alone
// leave the answer open, and from the growth the process showed at its
// previous snapshot. Measured with bench/snapshot-need-bench.js.
//
// V8's snapshot keeps, for every heap object (a node of its graph), an
// entry, its edges and its id: 200 to 420 bytes a node, unique short strings
// the dearest. And it names every element index by which a large array, or
// a Map's, Set's, WeakMap's or object's table, refers to an object or string
// with a string of its own ("0", "1", ...) in a buffer of 1 KB: about 1.2 KB
// an index, once for all containers. One million small objects need about
// 1.5 GB in one array, 0.35 GB in a thousand arrays of a thousand.
//
// The census pauses the main thread (V8 collects garbage and lists every
// JavaScript object, 0.5 to 4 s for a heap of 100 to 200 MB): it looks at
// each object, at some of the items or properties of each (the others taken
// to be like them), and counts the strings and numbers they hold and the
// indices of the large containers. It takes memory itself: a handle and an
// array slot per object, and what the process keeps of them. Large bytes
// it cannot account for (a WeakMap's table, a script's source) are taken at
// the worst: a table of references to strings.
//
// heapFigures, census and the snapshot's record run on the main thread; the
// rest anywhere. Nothing here throws into the application.
const v8 = require('v8');
const fs = require('fs');
const util = require('util');
const { HOOK_KEY } = require('./shared');

const MB = 1024 * 1024;
// What the snapshot of a heap with nothing of the application's needs.
const FIXED = 40 * MB;
// The least a heap's snapshot needs, per byte of the heap outside the
// large-object spaces (heaps of large strings), beyond a small fixed part.
const LOW_PER_BYTE = 0.3;
const LOW_FIXED = 4 * MB;
// Per node of the graph, with its edges, id and (strings) name.
const PER_NODE = 480;
// Per distinct element index that V8 names.
const PER_NAME = 1200;
// V8 keeps objects of this size and more in its large-object spaces; a
// container below it has fewer slots than SMALL_NAMES.
const LARGE_OBJECT_BYTES = 128 * 1024;
const SMALL_NAMES = LARGE_OBJECT_BYTES / 8;
// Of containers of this many items and more (a Map's table reaches the
// large-object size at about 5000) the indices are counted.
const LARGE_ITEMS = 4096;
// The most a byte of small objects costs (unique short strings, 24 bytes a
// node), and a byte of the large-object spaces (an array of references: an
// index name per 8 bytes).
const PER_SMALL_BYTE = 16;
const PER_LARGE_BYTE = PER_NAME / 8;
// Large bytes the census cannot account for are taken as a table of
// references to strings: a name and a node each 8 bytes.
const PER_HIDDEN_BYTE = (PER_NAME + PER_NODE) / 8;
// What the census itself takes: V8's handles and list of the objects, and
// what the process keeps of them, measured at 1.35 to 2.25 bytes per byte of
// the heap outside the large-object spaces.
const CENSUS_PER_BYTE = 4;
const CENSUS_FIXED = 16 * MB;
// The census: the items or properties it looks at in each object (the
// others are taken to be like them), and how long its figures stand in for
// a new one.
const SAMPLE_ITEMS = 32;
const CENSUS_TTL_MS = 60000;
// A previous snapshot's growth, scaled to the heap's size now, with this margin.
const PRIOR_MARGIN = 1.25;
const CENSUS_GROUP = 'kestrun-census';

// Built-ins taken when the agent starts, before the application can replace
// them: the census never runs the application's code (no getter, no proxy
// trap, no iterator of its own).
const mapSize = Object.getOwnPropertyDescriptor(Map.prototype, 'size').get;
const setSize = Object.getOwnPropertyDescriptor(Set.prototype, 'size').get;
const mapEntries = Map.prototype.entries;
const setValues = Set.prototype.values;
const mapNext = Object.getPrototypeOf(new Map().entries()).next;
const setNext = Object.getPrototypeOf(new Set().values()).next;
const ownKeys = Object.keys;
const ownDescriptor = Reflect.getOwnPropertyDescriptor;
const isArray = Array.isArray;
const isView = ArrayBuffer.isView;
const isInteger = Number.isInteger;
const { isProxy, isMap, isSet, isDate, isWeakMap, isWeakSet, isBoxedPrimitive } = util.types;
const setAdd = Set.prototype.add;
const setHas = Set.prototype.has;

// ---------------------------------------------------------------- main thread

// The heap's used bytes outside and inside the large-object spaces.
function heapFigures() {
  let small = 0, large = 0;
  for (const s of v8.getHeapSpaceStatistics()) {
    if (s.space_name.includes('large_object')) large += s.space_used_size;
    else small += s.space_used_size;
  }
  return { small, large, at: Date.now() };
}

// What the census has seen so far: nodes of the snapshot graph, element
// indices that V8 will name (a sum over the large containers, and the
// largest index), the large-object bytes it can account for, and the large
// strings it met (each counted once).
function newTally() {
  return { nodes: 0, named: 0, range: SMALL_NAMES, explained: 0, strings: new Set() };
}

// Nodes of the snapshot graph that a value adds besides itself: a string
// (longer ones may be concatenations of two more), or a number that is not
// a small integer. A large string accounts for large-object bytes.
function seeValue(t, v) {
  if (typeof v === 'string') {
    if (v.length >= LARGE_OBJECT_BYTES && !setHas.call(t.strings, v)) {
      setAdd.call(t.strings, v);
      t.explained += v.length;
    }
    return v.length >= 13 ? 3 : 1;
  }
  if (typeof v === 'number') return isInteger(v) && v >= -(2 ** 30) && v < 2 ** 30 ? 0 : 1;
  return 0;
}

// A large table's slots that V8 names by index: `named` of them, spread up
// to `range`, over `bytes` of the large-object spaces at least.
function largeTable(t, named, range, bytes) {
  t.named += named;
  t.range = Math.max(t.range, range);
  if (bytes >= LARGE_OBJECT_BYTES) t.explained += bytes;
}

// An array, Map or Set of `count` items, from SAMPLE_ITEMS of them (spread
// over an array, the first of a table): the nodes of its table and of the
// strings and numbers it holds, and for a large one the indices V8 names
// (those of objects and strings, and of boxed numbers: an array of numbers
// alone holds them unboxed) and its table's bytes.
function lookInto(t, o, count) {
  let items = 0, nodes = 0, refs = false, boxed = false, other = false;
  const see = (v) => {
    const n = seeValue(t, v);
    nodes += n;
    if (typeof v === 'number') boxed = boxed || n > 0;
    else other = true;
    if ((typeof v === 'object' && v !== null) || typeof v === 'function' || typeof v === 'string') refs = true;
  };
  const array = isArray(o);
  const map = !array && isMap(o);
  if (array) {
    items = Math.min(count, SAMPLE_ITEMS);
    for (let i = 0; i < items; i++) {
      const d = ownDescriptor(o, Math.floor(i * count / items));
      if (d && 'value' in d) see(d.value);
    }
    if (!other) nodes = 0;
  } else {
    const it = map ? mapEntries.call(o) : setValues.call(o);
    const next = map ? mapNext : setNext;
    for (let r = next.call(it); !r.done && items < SAMPLE_ITEMS; r = next.call(it), items++) {
      if (map) { see(r.value[0]); see(r.value[1]); } else { see(r.value); }
    }
  }
  t.nodes += (count > 0 ? 1 : 0) + (items > 0 ? nodes * count / items : 0);
  if (count < LARGE_ITEMS) return;
  const named = refs || (boxed && (other || !array));
  if (array) {
    largeTable(t, named ? count : 0, named ? count : 0, 8 * count);
  } else {
    // A hash table's capacity is a power of two, with half as many buckets,
    // and three (Map) or two (Set) slots an entry.
    const capacity = 2 ** Math.ceil(Math.log2(count));
    const slots = 3 + capacity / 2 + (map ? 3 : 2) * capacity;
    largeTable(t, named ? (map ? 2 : 1) * count : 0, named ? slots : 0, 8 * slots);
  }
}

// Any other object: a closure's context, a date's value, a view's store,
// or the strings and numbers of its own properties (from SAMPLE_ITEMS of
// them). One with many properties keeps them in a table (a dictionary, or
// its elements), whose slots V8 names by index.
function lookAt(t, o) {
  if (typeof o === 'function' || isDate(o) || isWeakMap(o) || isWeakSet(o) || isView(o) || isBoxedPrimitive(o)) {
    t.nodes += 1;
    return;
  }
  let keys;
  try { keys = ownKeys(o); } catch (_) { return; }
  const n = Math.min(keys.length, SAMPLE_ITEMS);
  let held = 0;
  for (let i = 0; i < n; i++) {
    let d;
    try { d = ownDescriptor(o, keys[Math.floor(i * keys.length / n)]); } catch (_) { continue; }
    if (d && 'value' in d) held += seeValue(t, d.value);
  }
  if (n > 0) t.nodes += held * keys.length / n;
  if (keys.length >= LARGE_ITEMS) largeTable(t, 2 * keys.length, 12 * keys.length, 8 * keys.length);
}

// Items of an array, Map or Set; -1 for anything else.
function itemCount(o) {
  if (isArray(o)) return o.length;
  if (isMap(o)) return mapSize.call(o);
  if (isSet(o)) return setSize.call(o);
  return -1;
}

// The census of the objects V8 listed, each looked at. Runs on the main
// thread, inside Runtime.callFunctionOn, right after V8 collected garbage
// and listed them: the heap's figures then are the live heap's and the
// list's own array.
function tally(objects) {
  const n = objects.length;
  const figures = heapFigures();
  if (8 * n >= LARGE_OBJECT_BYTES) figures.large = Math.max(0, figures.large - 8 * n);
  const t = newTally();
  t.nodes = n;
  for (let i = 0; i < n; i++) {
    const o = objects[i];
    if (isProxy(o)) continue;
    const count = itemCount(o);
    if (count >= 0) lookInto(t, o, count);
    else lookAt(t, o);
  }
  return Object.assign(figures, {
    objects: n, nodes: Math.ceil(t.nodes), names: Math.min(t.range, SMALL_NAMES + t.named), explained: t.explained,
  });
}

// Posts to a session connected to this thread, which answers at once.
function postNow(session, method, params) {
  let out = null, failure = null;
  session.post(method, params, (err, res) => { failure = err; out = res; });
  if (failure) throw failure;
  return out;
}

let lastCensus = null;

// Lists every JavaScript object (V8 collects garbage first) and tallies
// them: { objects, nodes, names, explained, small, large, at, ms }.
function census() {
  const started = Date.now();
  const before = heapFigures();
  const session = new (require('inspector').Session)();
  session.connect();
  try {
    const proto = postNow(session, 'Runtime.evaluate', { expression: 'Object.prototype', objectGroup: CENSUS_GROUP });
    const list = postNow(session, 'Runtime.queryObjects', { prototypeObjectId: proto.result.objectId, objectGroup: CENSUS_GROUP });
    const res = postNow(session, 'Runtime.callFunctionOn', {
      objectId: list.objects.objectId,
      functionDeclaration: `function () { return globalThis[Symbol.for(${JSON.stringify(HOOK_KEY)})].tally(this); }`,
      returnByValue: true,
    });
    if (res.exceptionDetails) throw new Error(res.exceptionDetails.exception ? res.exceptionDetails.exception.description : res.exceptionDetails.text);
    const c = res.result.value;
    // The heap's figures as the agent will see them again: with the garbage
    // of before the census, or with the census's own list, until V8 collects
    // it.
    const seen = { small: Math.max(before.small, c.small), large: Math.max(before.large, c.large + 8 * c.objects) };
    lastCensus = Object.assign(c, { seen, ms: Date.now() - started });
    return lastCensus;
  } finally {
    try { postNow(session, 'Runtime.releaseObjectGroup', { objectGroup: CENSUS_GROUP }); } catch (_) { /* gone with the session */ }
    session.disconnect();
  }
}

// The last census while it still stands for the heap, or null.
function recentCensus(now = Date.now()) {
  return lastCensus && now - lastCensus.at < CENSUS_TTL_MS ? lastCensus : null;
}

function statusKb(name) {
  try {
    const m = new RegExp(`^${name}:\\s+(\\d+) kB$`, 'm').exec(fs.readFileSync('/proc/self/status', 'utf8'));
    return m ? Number(m[1]) * 1024 : null;
  } catch (_) {
    return null;
  }
}

// The process's resident size, before a snapshot; then, after it, what the
// snapshot took at most: the peak resident size since the process started
// (which the snapshot's peak may not have raised) minus the resident size
// before it.
function beforeSnapshot() { return { rss: statusKb('VmRSS'), figures: heapFigures() }; }

let lastSnapshot = null;

function afterSnapshot(before) {
  const peak = statusKb('VmHWM');
  if (before.rss === null || peak === null) return null;
  lastSnapshot = Object.assign({ growth: Math.max(0, peak - before.rss) }, before.figures);
  return lastSnapshot;
}

// What the main thread knows: its heap's figures now, its last census while
// it stands (any census, with `anyAge`; a new one, with `count`, when none
// stands), and its last snapshot's growth. A census that fails leaves none.
function mainAnswer(count, anyAge = false) {
  let counted = anyAge ? lastCensus : recentCensus();
  let failure = null;
  if (count && !counted) {
    try { counted = census(); } catch (err) { failure = String(err && err.message); }
  }
  return { figures: heapFigures(), census: counted, prior: lastSnapshot, failure };
}

// ---------------------------------------------------------------- anywhere

// Bytes a heap's snapshot needs at least, and at most, by its figures alone
// (or by a previous snapshot's growth when that is less), and the bytes a
// census would take.
function bounds(figures, prior) {
  const low = LOW_FIXED + LOW_PER_BYTE * figures.small;
  let high = FIXED + PER_SMALL_BYTE * figures.small + PER_LARGE_BYTE * figures.large + PER_NAME * SMALL_NAMES;
  // A growth below an empty heap's tells of a peak that was reset meanwhile.
  if (prior && prior.growth >= FIXED) high = Math.min(high, PRIOR_MARGIN * prior.growth * grown(prior, figures));
  return { low, high: Math.max(low, high), census: CENSUS_FIXED + CENSUS_PER_BYTE * figures.small };
}

// How much the heap has grown since `then`, at least 1.
function grown(then, now) {
  return Math.max(1, now.small / Math.max(then.small, 1), now.large / Math.max(then.large, 1));
}

// Bytes a heap's snapshot needs by a census, and the figures now: the
// census's nodes, grown as the heap did; its index names; and the large
// bytes it could not account for (a WeakMap's table, a script's source), or
// that were added since, taken as tables of references to strings.
function fromCensus(figures, c) {
  const nodes = c.nodes * Math.max(1, figures.small / Math.max(c.seen.small, 1));
  const hidden = Math.max(0, c.large - c.explained) + Math.max(0, figures.large - c.seen.large);
  return FIXED + PER_NODE * nodes + PER_NAME * c.names + PER_HIDDEN_BYTE * hidden;
}

module.exports = {
  heapFigures, tally, census, recentCensus, beforeSnapshot, afterSnapshot, mainAnswer, bounds, fromCensus, MB,
};
