// --attach: the agent loaded into a plain node process.
#ifndef QUELLIX_DEPS_INSPECTOR_ATTACH_H_
#define QUELLIX_DEPS_INSPECTOR_ATTACH_H_

// Loads the agent into pid through its inspector, unless pid serves its
// control socket already: 0 when the agent runs there, -1 after a message.
// *handle becomes a handle of pid's process (or -1), for the kick after it.
// guarded: an inspector opened here is guarded with nftables, or not opened.
int AttachAgent(int pid, int* handle, bool guarded);

#endif  // QUELLIX_DEPS_INSPECTOR_ATTACH_H_
