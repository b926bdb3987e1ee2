'use strict';
// Room for a heap snapshot: the disk its file goes to and the memory V8
// needs while it builds it (lib/need.js estimates that). Measured with
// bench/snapshot-need-bench.js: the file is 0.05 to 2.3 times the heap's used
// size; the memory V8 takes grows with the heap's objects and the length of
// its largest containers, from 0.2 to 40 times the heap's used size.
// Used by the worker before it accepts a snapshot or timeline, and by the
// main thread right before it writes one. Nothing here throws.
const fs = require('fs');
const path = require('path');
const need = require('./need');

const FILE_RATIO = 2.4;
// The disk is never left with less than this: 5% of the file system or
// 64 MB, whichever is smaller.
const FLOOR_SHARE = 0.05;
const FLOOR_MAX = 64 * 1024 * 1024;
const TMPFS_MAGIC = 0x01021994;
// Memory limits at or above this are "no limit" (cgroup v1 writes 2^63 - 4096).
const NO_LIMIT = 2 ** 62;
const MB = 1024 * 1024;

function mb(bytes) { return (bytes / MB).toFixed(1); }

// { free, floor, tmpfs } of the file system of dir, or null when unknown.
function disk(dir) {
  try {
    const st = fs.statfsSync(dir);
    return {
      free: st.bavail * st.bsize,
      floor: Math.min(FLOOR_MAX, st.blocks * st.bsize * FLOOR_SHARE),
      tmpfs: st.type === TMPFS_MAGIC,
    };
  } catch (_) {
    return null;
  }
}

function readText(file) {
  try { return fs.readFileSync(file, 'utf8'); } catch (_) { return null; }
}

function readNumber(file) {
  const text = readText(file);
  if (text === null) return null;
  const value = text.trim();
  return value === 'max' ? Infinity : Number(value);
}

function statField(file, name) {
  const m = new RegExp(`^${name} (\\d+)$`, 'm').exec(readText(file) || '');
  return m ? Number(m[1]) : 0;
}

// The directory of this process's memory cgroup as mounted here, with its
// version and the mount point above which nothing is visible; or null. A
// v1 memory hierarchy comes first: on a hybrid host the v2 one has no memory
// controller.
function cgroupDir() {
  const cgroups = readText('/proc/self/cgroup');
  const mounts = readText('/proc/self/mountinfo');
  if (cgroups === null || mounts === null) return null;
  let found = null;
  for (const line of mounts.split('\n')) {
    // id parent major:minor root mountpoint options - fstype source superoptions
    const [left, right] = line.split(' - ');
    if (!right) continue;
    const f = left.split(' '), r = right.split(' ');
    const v1 = r[0] === 'cgroup' && (r[2] || '').split(',').includes('memory');
    if (!v1 && (r[0] !== 'cgroup2' || found)) continue;
    const m = v1 ? /^\d+:[^:]*\bmemory\b[^:]*:(.*)$/m.exec(cgroups) : /^0::(.*)$/m.exec(cgroups);
    if (!m) continue;
    const rel = path.relative(f[3], m[1]);
    if (rel.startsWith('..')) continue; // this mount does not show our cgroup
    found = { v1, dir: path.join(f[4], rel), top: f[4] };
    if (v1) break;
  }
  return found;
}

// Room left under one cgroup's limit, or Infinity. Page cache that the
// kernel drops before it kills (inactive file pages) does not count as used.
function cgroupRoom(v1, dir) {
  const limit = readNumber(path.join(dir, v1 ? 'memory.limit_in_bytes' : 'memory.max'));
  const usage = readNumber(path.join(dir, v1 ? 'memory.usage_in_bytes' : 'memory.current'));
  if (limit === null || usage === null || !(limit < NO_LIMIT)) return Infinity;
  const inactive = statField(path.join(dir, 'memory.stat'), v1 ? 'total_inactive_file' : 'inactive_file');
  let room = limit - Math.max(0, usage - inactive);
  if (v1) {
    // The limit of ancestors that this mount does not show.
    const hierarchical = statField(path.join(dir, 'memory.stat'), 'hierarchical_memory_limit');
    if (hierarchical > 0 && hierarchical < NO_LIMIT) room = Math.min(room, hierarchical - Math.max(0, usage - inactive));
  }
  return room;
}

// The memory this process may still take: the smallest room over its cgroup
// and the cgroup's ancestors, and the host's MemAvailable. { bytes, where }.
function memoryRoom() {
  let best = { bytes: Infinity, where: 'container' };
  const cg = cgroupDir();
  if (cg) {
    for (let dir = cg.dir; ; dir = path.dirname(dir)) {
      const room = cgroupRoom(cg.v1, dir);
      if (room < best.bytes) best = { bytes: room, where: 'container' };
      if (dir === cg.top || dir === path.dirname(dir)) break;
    }
  }
  const m = /^MemAvailable:\s+(\d+) kB$/m.exec(readText('/proc/meminfo') || '');
  if (m && Number(m[1]) * 1024 < best.bytes) best = { bytes: Number(m[1]) * 1024, where: 'host' };
  return best;
}

// This process's resident size, the estimate of last resort for its heap.
function rssBytes() {
  const m = /^VmRSS:\s+(\d+) kB$/m.exec(readText('/proc/self/status') || '');
  return m ? Number(m[1]) * 1024 : null;
}

// What the operator can ask for instead of a snapshot that does not fit.
const INSTEAD = 'without a snapshot: --start_heap_profiling (where memory is allocated) or --diag_report (the heap\'s spaces)';

function roomText(room) {
  const limit = room.where === 'container' ? 'the container\'s limit leaves' : 'the host\'s available memory leaves';
  return `${limit} ${Math.max(0, Math.floor(room.bytes / MB))} MB`;
}

// Whether a snapshot (what: "heap snapshot" or "heap timeline") of a heap
// fits into dir and into the memory left, by what the main thread told
// (lib/need.js): { figures, census, prior }, or { rss } when nothing is
// known. Returns null when it fits, { refusal } when it does not, and
// { open } when only a census of the heap's objects can tell; with
// `decide`, the highest plausible need decides instead. ignoreMemory: the
// application accepts the risk of running out of memory.
function check(what, dir, heap, ignoreMemory, decide = false) {
  const used = heap.figures ? heap.figures.small + heap.figures.large : heap.rss || 0;
  const file = used * FILE_RATIO;
  const d = disk(dir);
  if (d && d.free < file + d.floor) {
    return { refusal: `not enough space for the ${what} in ${dir}: about ${mb(file + d.floor)} MB needed, ${mb(d.free)} MB free` };
  }
  if (ignoreMemory) return null;
  const onTmpfs = d !== null && d.tmpfs;
  const room = memoryRoom();
  const left = room.bytes - (onTmpfs ? file : 0);
  if (!heap.figures) return decide ? null : { open: { what, room, onTmpfs, low: 0, high: Infinity } };
  const { low, high, census } = need.bounds(heap.figures, heap.prior);
  let estimate = null;
  if (high <= left) return null;
  if (low > left) estimate = low;
  else if (heap.census) estimate = Math.min(high, need.fromCensus(heap.figures, heap.census));
  else if (decide || census > left) estimate = high; // a census would not fit either
  else return { open: { what, room, onTmpfs, low, high } };
  if (estimate <= left) return null;
  const needText = `${Math.ceil((estimate + (onTmpfs ? file : 0)) / MB)} MB${onTmpfs ? ' (its file on tmpfs included)' : ''}`;
  return { refusal: `${what} needs about ${needText}; ${roomText(room)}; ${INSTEAD}` };
}

// The refusal while a census of the heap's objects is under way.
function countingText(open) {
  const range = `between ${Math.ceil(open.low / MB)} and ${Math.ceil(open.high / MB)} MB${open.onTmpfs ? ' and its file on tmpfs' : ''}`;
  return `${open.what} needs ${range}; ${roomText(open.room)}: the heap's objects are being counted to tell (a pause of the main thread); ask again in a few seconds`;
}

module.exports = { check, countingText, disk, memoryRoom, rssBytes, mb, FILE_RATIO };
