// What follows a result file that the runtime has written: its summary,
// and its copy where -o says, in the format its extension names.
#ifndef QUELLIX_DEPS_INSPECTOR_RESULT_H_
#define QUELLIX_DEPS_INSPECTOR_RESULT_H_

// Prints the summary of the result file at path (pid's own view of it):
// for a CPU profile, a heap profile, a heap snapshot or timeline, a
// diagnostic report. Then copies it to output (null: none), unless force
// only where nothing is. Returns the run's exit status: 1 when the copy
// failed (the file stays where the runtime wrote it), else 0.
int ConcludeResult(int pid, const char* path, const char* output, bool force);
// Opens the file at path (pid's own view: inside a container resolved
// within its root) for reading, never through a link and only when it is a
// regular file (a device is never opened); -1 with errno set.
int OpenResultFile(int pid, const char* path);

#endif  // QUELLIX_DEPS_INSPECTOR_RESULT_H_
