'use strict';
// Room for a heap snapshot: the disk its file goes to and the memory V8
// needs while it builds it. Measured with bench/heap-shapes-bench.js over
// three heap shapes (many small objects, large strings and arrays, a web
// service's heap) and a worst case of tiny objects, with the agent's own
// paths: the file is 0.05 to 2.3 times the heap's used size, and the
// process's peak RSS grows by up to 8.9 times the heap's used size while the
// snapshot is built (6.5 to 7.6 times for the typical heaps). The estimates
// take the worst, and a little more.
// Used by the worker before it accepts a snapshot or timeline, and by the
// main thread right before it writes one. Nothing here throws.
const fs = require('fs');
const path = require('path');

const FILE_RATIO = 2.4;
const MEMORY_FACTOR = 9.5;
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

// Why a snapshot (what: "heap snapshot" or "heap timeline") of a heap with
// `used` bytes cannot be written into dir now, or null. ignoreMemory: the
// application accepts the risk of running out of memory.
function refusal(what, dir, used, ignoreMemory) {
  const file = used * FILE_RATIO;
  const d = disk(dir);
  if (d && d.free < file + d.floor) {
    return `not enough space for the ${what} in ${dir}: about ${mb(file + d.floor)} MB needed, ${mb(d.free)} MB free`;
  }
  if (ignoreMemory) return null;
  const onTmpfs = d !== null && d.tmpfs;
  const need = used * MEMORY_FACTOR + (onTmpfs ? file : 0);
  const room = memoryRoom();
  if (need <= room.bytes) return null;
  const limit = room.where === 'container' ? 'the container\'s limit leaves' : 'the host\'s available memory leaves';
  return `${what} needs about ${Math.ceil(need / MB)} MB${onTmpfs ? ' (its file on tmpfs included)' : ''}; ${limit} ${Math.max(0, Math.floor(room.bytes / MB))} MB`;
}

module.exports = { refusal, disk, memoryRoom, rssBytes, mb, FILE_RATIO, MEMORY_FACTOR };
