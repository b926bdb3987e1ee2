// The ledger of deferred stops, kept in a directory of the user's own.
#ifndef QUELLIX_DEPS_INSPECTOR_LEDGER_H_
#define QUELLIX_DEPS_INSPECTOR_LEDGER_H_

#include <stddef.h>
#include <sys/types.h>

// Records that stopper will send the stop of stop_kind to pid; path is the
// activity's result file, or empty.
void RecordPendingStop(int pid, int stop_kind, pid_t stopper, const char* path);
// The stopper's own entry goes when it fires.
void ForgetPendingStop(int pid, pid_t stopper);
// After a stop in mask was delivered to pid: ends the deferred stops of the
// same activities without them sending anything, and writes the result
// path of the last one ended into path (size bytes; untouched when none).
void EndPendingStops(int pid, unsigned int mask, char* path, size_t size);

#endif  // QUELLIX_DEPS_INSPECTOR_LEDGER_H_
