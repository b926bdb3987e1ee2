// --wait: the run stays until the result file is published.
#ifndef QUELLIX_DEPS_INSPECTOR_WAIT_H_
#define QUELLIX_DEPS_INSPECTOR_WAIT_H_

// Stays until the result file at path (the runtime's own view) is
// published by pid (handle: its process handle, or -1): 0 then, 1 when it
// failed, the target ended first, limit (seconds; 0: none) passed or the
// wait was interrupted. A timed activity (stop_kind not 0) is stopped after
// duration through stop, which returns whether the stop was delivered.
int WaitForResult(int pid, int handle, const char* path, int limit, int stop_kind, int duration,
                  bool (*stop)(int pid, int stop_kind));

#endif  // QUELLIX_DEPS_INSPECTOR_WAIT_H_
