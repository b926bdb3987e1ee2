// --list: the Node.js processes on the machine.
#ifndef QUELLIX_DEPS_INSPECTOR_LIST_H_
#define QUELLIX_DEPS_INSPECTOR_LIST_H_

// Prints the Node.js processes the caller may see, as a table or (json) as
// one JSON object; the run's exit status.
int ListProcesses(bool json);

#endif  // QUELLIX_DEPS_INSPECTOR_LIST_H_
