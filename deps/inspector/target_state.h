// What a target is doing, and the memory it has left.
#ifndef QUELLIX_DEPS_INSPECTOR_TARGET_STATE_H_
#define QUELLIX_DEPS_INSPECTOR_TARGET_STATE_H_

#include <stddef.h>
#include <stdint.h>

// True when the main thread of pid sleeps in an epoll wait (an event loop
// that waits for work); false when it runs, waits elsewhere, or cannot be
// read. Always false on macOS.
bool MainThreadWaitsInLoop(int pid);
// True when an eventfd of pid holds a wake-up that nobody has read: an
// event loop of it is not running. Also true when pid's descriptors cannot
// be read (the safe answer). Always true on macOS.
bool HasUnreadWakeup(int pid);
// Parses the text of /proc/<pid>/task/<tid>/syscall and the state letter
// of its stat: true for a sleep in epoll_wait, epoll_pwait or epoll_pwait2.
bool IsEpollWait(const char* syscall_text, char state);

// The memory a process may still take before the kernel kills something:
// the smallest room over its memory cgroup, the cgroup's ancestors, and
// the host's available memory.
struct MemoryRoom {
  int64_t bytes;  // INT64_MAX when nothing limits it
  bool cgroup;    // the smallest room is a cgroup's, not the host's
};
// The room of pid; cgroups that cannot be read do not count. Always
// unlimited on macOS.
MemoryRoom GetMemoryRoom(int pid);
// The cgroup directory that mountinfo (the text of /proc/self/mountinfo)
// shows for the memory line of cgroups (the text of /proc/<pid>/cgroup),
// into dir (size bytes), and where that mount begins into top; *v1 tells the
// version. False when no mount shows it.
bool FindMemoryCgroup(const char* cgroups, const char* mountinfo, char* dir, char* top, size_t size, bool* v1);

#endif  // QUELLIX_DEPS_INSPECTOR_TARGET_STATE_H_
