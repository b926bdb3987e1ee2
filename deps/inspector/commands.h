// The bits of the command mask and the stop of each stop kind, for the road
// of cmds.cc and the extensions that act on commands (the ledger, the wait).
// The command table itself, with the names, is cmds.cc's.
#ifndef QUELLIX_DEPS_INSPECTOR_COMMANDS_H_
#define QUELLIX_DEPS_INSPECTOR_COMMANDS_H_

#include <limits.h>

const unsigned int HEAPDUMP = 0x1;
const unsigned int FORCE_GC = 0x2;
const unsigned int ENABLE_NODE_LOG = 0x4;
const unsigned int DISABLE_NODE_LOG = 0x8;
const unsigned int START_TIMELINE = 0x10;
const unsigned int STOP_TIMELINE = 0x20;
const unsigned int START_PROFILING = 0x40;
const unsigned int STOP_PROFILING = 0x80;
const unsigned int START_HEAP_PROFILING = 0x100;
const unsigned int STOP_HEAP_PROFILING = 0x200;
const unsigned int V8_OPTIONS = 0x400;
const unsigned int STOP_V8_OPTIONS = 0x800;
const unsigned int PRINT_V8FLAGS = 0x1000;
const unsigned int DIAG_REPORT = 0x2000;
// The duration without a limit: nothing stops the activity but a stop command.
const int NO_LIMIT = INT_MAX;
// Commands that run until the deferred stop ends them.
const unsigned int TIMED_COMMANDS = START_TIMELINE | START_PROFILING | START_HEAP_PROFILING | V8_OPTIONS;
// The status query's own bit: no row of the command table uses it.
const unsigned int STATUS_QUERY = 0x10000;
// --stack's own bit, above the rows too: the main thread's stack, written to
// a private result file.
const unsigned int STACK = 0x20000;

// The stop command of each stop kind 1 to 4; 0 for any other kind.
inline unsigned int StopMask(int stop_kind) {
  static const unsigned int kStopMasks[] = {STOP_PROFILING, STOP_V8_OPTIONS, STOP_TIMELINE, STOP_HEAP_PROFILING};
  return stop_kind >= 1 && stop_kind <= 4 ? kStopMasks[stop_kind - 1] : 0;
}

#endif  // QUELLIX_DEPS_INSPECTOR_COMMANDS_H_
