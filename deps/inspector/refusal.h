// Why a target was refused, in one line after the refusal, and the notes
// that follow a delivery.
#ifndef QUELLIX_DEPS_INSPECTOR_REFUSAL_H_
#define QUELLIX_DEPS_INSPECTOR_REFUSAL_H_

#include <stddef.h>

// A dropped probe's standard error: its first line, cut at 200 characters.
static const size_t PROBE_SAID_SIZE = 201;

// Why the last identification refused its target, for the lines that
// follow the refusal.
struct ProbeOutcome {
  int path_error;              // errno of opening the running executable, or 0
  bool answered_undefined;     // the probe ran and said "undefined"
  char said[PROBE_SAID_SIZE];  // what a probe run as another user said on its standard error
  bool said_ended;             // its first line is complete
};

// Prints the first cause that applies to pid, refused by identification
// with outcome; nothing when none does.
void SayWhyRefused(int pid, const ProbeOutcome& outcome);
// After the status text: names the child of a package manager that runs
// the application, when pid is such a manager.
void NotePackageManager(int pid);
// After the messages of a missing socket: says so when pid preloads the
// agent but was started without ENABLE_NODE_LOG=YES.
void NoteStartedWithoutLog(int pid);

#endif  // QUELLIX_DEPS_INSPECTOR_REFUSAL_H_
