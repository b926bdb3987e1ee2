// The ledger of deferred stops: which background process will stop which
// activity, so that a stop given by hand or by --wait ends the process
// that waits to send the same stop. Uses the tools' process lookups.
#include "ledger.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commands.h"
#include "tools.h"

// The ledger of pending deferred stops: a directory of this user's own
// ($XDG_RUNTIME_DIR/quellix, else /tmp/quellix-<uid>), one file per stop. A
// stop given by hand, or by --wait, finds there the deferred stop of the
// same activity and ends it, so that it does not linger for the rest of its
// duration. Nothing of it talks to the runtime. Where the directory cannot
// be had as ours alone (someone else made /tmp/quellix-<uid> first), the
// ledger is not kept, and nothing else changes.
static int OpenLedger(bool create) {
  char dir[1024];
  const char* runtime_dir = getenv("XDG_RUNTIME_DIR");
  struct stat info;
  if (runtime_dir != nullptr && runtime_dir[0] == '/' && stat(runtime_dir, &info) == 0 && S_ISDIR(info.st_mode) &&
      info.st_uid == geteuid()) {
    snprintf(dir, sizeof(dir), "%s/quellix", runtime_dir);
  } else {
    snprintf(dir, sizeof(dir), "/tmp/quellix-%lu", static_cast<unsigned long>(geteuid()));
  }
  if (create && mkdir(dir, 0700) != 0 && errno != EEXIST) return -1;
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd == -1) return -1;
  if (fstat(fd, &info) != 0 || info.st_uid != geteuid() || (info.st_mode & 07777) != 0700) {
    close(fd);
    return -1;
  }
  return fd;
}

// One pending stop: its target and activity, and the process that will
// send it. Start times tell a process from a later one with its pid.
struct PendingStop {
  int target;
  unsigned long long target_start;
  int stop_kind;
  int stopper;
  unsigned long long stopper_start;
  char path[1024];
};

static void LedgerName(char* name, size_t size, int target, int stopper) {
  snprintf(name, size, "stop-%d-%d", target, stopper);
}

// Writes the entry of a deferred stop (a new file, renamed into place);
// path is the result file of the activity, or empty.
void RecordPendingStop(int pid, int stop_kind, pid_t stopper, const char* path) {
  PendingStop entry;
  memset(&entry, 0, sizeof(entry));
  entry.target = pid;
  entry.stop_kind = stop_kind;
  entry.stopper = stopper;
  snprintf(entry.path, sizeof(entry.path), "%s", path);
  if (!GetProcessStartTime(pid, &entry.target_start) || !GetProcessStartTime(stopper, &entry.stopper_start)) return;
  int dir = OpenLedger(true);
  if (dir == -1) return;
  char line[1200], temp[64], name[64];
  snprintf(line, sizeof(line), "%d %llu %d %d %llu %s\n", entry.target, entry.target_start, entry.stop_kind,
           entry.stopper, entry.stopper_start, entry.path[0] != '\0' ? entry.path : "-");
  snprintf(temp, sizeof(temp), ".new-%d", stopper);
  LedgerName(name, sizeof(name), pid, stopper);
  int fd = openat(dir, temp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd != -1) {
    bool written = write(fd, line, strlen(line)) == static_cast<ssize_t>(strlen(line));
    close(fd);
    if (!written || renameat(dir, temp, dir, name) != 0) unlinkat(dir, temp, 0);
  }
  close(dir);
}

// The stopper removes its own entry when it fires.
void ForgetPendingStop(int pid, pid_t stopper) {
  int dir = OpenLedger(false);
  if (dir == -1) return;
  char name[64];
  LedgerName(name, sizeof(name), pid, stopper);
  unlinkat(dir, name, 0);
  close(dir);
}

static bool ReadPendingStop(int dir, const char* name, PendingStop* entry) {
  int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) return false;
  char line[1200];
  ssize_t got = read(fd, line, sizeof(line) - 1);
  close(fd);
  if (got <= 0) return false;
  line[got] = '\0';
  return sscanf(line, "%d %llu %d %d %llu %1023s", &entry->target, &entry->target_start, &entry->stop_kind,
                &entry->stopper, &entry->stopper_start, entry->path) == 6;
}

// True while the stopper is the process that was recorded: the same start
// time, and this user's.
static bool IsOurStopper(const PendingStop& entry) {
  unsigned long long start;
  uid_t uid;
  gid_t gid;
  return GetProcessStartTime(entry.stopper, &start) && start == entry.stopper_start &&
         GetProcessOwner(entry.stopper, &uid, &gid) && uid == geteuid();
}

// After a stop was delivered here: ends the deferred stops of the same
// target and activity without them sending anything, and forgets them, and
// entries whose stopper is gone; path receives the result path of the last
// activity ended (nothing when none was).
void EndPendingStops(int pid, unsigned int mask, char* path, size_t size) {
  unsigned long long target_start = 0;
  if ((mask & (STOP_PROFILING | STOP_V8_OPTIONS | STOP_TIMELINE | STOP_HEAP_PROFILING)) == 0 ||
      !GetProcessStartTime(pid, &target_start)) {
    return;
  }
  int dir = OpenLedger(false);
  if (dir == -1) return;
  int listing = dup(dir);
  DIR* entries = listing == -1 ? nullptr : fdopendir(listing);
  if (entries == nullptr && listing != -1) close(listing);
  for (struct dirent* item = entries == nullptr ? nullptr : readdir(entries); item != nullptr;
       item = readdir(entries)) {
    PendingStop entry;
    if (!StrStartsWith(item->d_name, "stop-")) continue;
    if (!ReadPendingStop(dir, item->d_name, &entry) || !IsOurStopper(entry)) {
      unlinkat(dir, item->d_name, 0);
      continue;
    }
    if (entry.target != pid || entry.target_start != target_start || (mask & StopMask(entry.stop_kind)) == 0) continue;
    // Through a handle taken before the last check: a process that took the
    // stopper's pid meanwhile gets nothing.
    int handle = OpenProcessHandle(entry.stopper);
    if (IsOurStopper(entry)) SignalProcess(entry.stopper, handle, SIGKILL);
    if (handle != -1) close(handle);
    unlinkat(dir, item->d_name, 0);
    if (strcmp(entry.path, "-") != 0) snprintf(path, size, "%s", entry.path);
  }
  if (entries != nullptr) closedir(entries);
  close(dir);
}
