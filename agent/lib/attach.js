'use strict';
// The agent's start in a process that runs without it: quellix --attach
// evaluates the agent's single-file build in the process through node's
// inspector, and this module then starts the agent as a preload with
// ENABLE_NODE_LOG=YES would. The process keeps it until it ends.
const { HOOK_KEY } = require('./shared');

const VERSION = `kestrun-agent ${require('../package.json').version}`;

// 'loaded', or 'running' when an agent of this process already serves (a
// started agent has filled its hook). A preloaded agent that was left off
// (no ENABLE_NODE_LOG=YES) has an empty hook: that one is taken and started.
function start() {
  const key = Symbol.for(HOOK_KEY);
  let hook = globalThis[key];
  if (hook && Object.keys(hook).length > 0) return 'running';
  if (!hook) {
    hook = {};
    Object.defineProperty(globalThis, key, { value: hook, enumerable: false, configurable: true });
  }
  if (!Object.prototype.hasOwnProperty.call(process, 'kestrun')) {
    Object.defineProperty(process, 'kestrun', { value: VERSION, enumerable: false, configurable: true });
  }
  require('./main-thread').start(VERSION, hook);
  return 'loaded';
}

module.exports = { start };
