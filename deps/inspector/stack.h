// --stack: a runtime's main thread, printed now: its JavaScript stack, its
// idle event loop, or that it runs no JavaScript.
#ifndef QUELLIX_DEPS_INSPECTOR_STACK_H_
#define QUELLIX_DEPS_INSPECTOR_STACK_H_

#include <stddef.h>

// Asks pid (handle: its process handle, or -1) for its main thread's state
// through send, which delivers mask with text as the option text (0, or -1
// after a message); the runtime writes it to a private result file in
// log_dir (its own view, ending in '/'), which is read, printed and removed.
// The run's exit status: 0 for a stack or an idle event loop, 1 otherwise.
int ShowStack(int pid, int handle, const char* log_dir, int (*send)(int pid, unsigned int mask, const char* text));
// Prints the state that the text of a stack file (len bytes, NUL-ended)
// reports, and adds it to the report's members; the run's exit status.
int PrintStackFile(int pid, const char* json, size_t len);

#endif  // QUELLIX_DEPS_INSPECTOR_STACK_H_
