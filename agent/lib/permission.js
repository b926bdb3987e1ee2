'use strict';
// Under node's permission model (--experimental-permission) the agent asks
// first, with process.permission.has, whether it may do what it needs: an
// attempt that the model refuses throws, and the application's stderr would
// get a stack trace that is none of its business.

// What the agent needs, in the order it is named: [scope, reference, what,
// flag]. The inspector has no flag in some node versions (node 20 refuses
// every inspector session under the model): the flag is named only where
// this node knows it.
function needs(dirs, knownFlags) {
  const list = [['worker', undefined, 'worker threads', '--allow-worker']];
  for (const dir of dirs) {
    list.push(['fs.read', dir, `reading ${dir}`, `--allow-fs-read=${dir}`]);
    list.push(['fs.write', dir, `writing to ${dir}`, `--allow-fs-write=${dir}`]);
  }
  list.push(['inspector', undefined, 'inspector sessions', knownFlags.has('--allow-inspector') ? '--allow-inspector' : null]);
  return list;
}

// null when the agent may start (no permission model, or it allows all the
// agent needs); else the text after "not started: ", one line. dirs: the
// directories the agent writes to. A denial that no flag of this node lifts
// is named alone: no other flag would help.
function permissionDenial(permission, dirs, knownFlags = process.allowedNodeEnvironmentFlags) {
  if (!permission || typeof permission.has !== 'function') return null;
  const denied = needs(dirs, knownFlags).filter(([scope, reference]) => {
    try {
      return !(reference === undefined ? permission.has(scope) : permission.has(scope, reference));
    } catch (_) {
      return true; // a scope this node does not know is not granted
    }
  });
  if (denied.length === 0) return null;
  const hopeless = denied.find((d) => d[3] === null);
  if (hopeless) {
    return `node's permission model denies ${hopeless[2]}; allow it with --experimental-permission left off (node ${process.version} has no flag that allows them)`;
  }
  return `node's permission model denies ${denied.map((d) => d[2]).join(', ')}; allow it with ${denied.map((d) => d[3]).join(' ')}`;
}

module.exports = { permissionDenial };
