// What a target is doing right now and the memory it has left, read from
// /proc and the cgroup file system before --attach sends a signal: where
// its main thread waits, whether an event loop of it has stopped serving
// its wake-ups, and the smallest room over its memory cgroups. Uses the
// tools' /proc reader.
#include "target_state.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tools.h"

bool IsEpollWait(const char* syscall_text, char state) {
  if (state != 'S') return false;
  char* end;
  long number = strtol(syscall_text, &end, 10);
  if (end == syscall_text || (*end != ' ' && *end != '\0' && *end != '\n')) return false;
  static const long kEpollWaits[] = {
#if defined(SYS_epoll_wait)
    SYS_epoll_wait,
#endif
#if defined(SYS_epoll_pwait)
    SYS_epoll_pwait,
#endif
    441,  // epoll_pwait2, the same number on every architecture
  };
  for (long wait : kEpollWaits) {
    if (number == wait) return true;
  }
  return false;
}

// Copies the line that begins at text into line (size bytes); the start of
// the next line, or null at the end.
static const char* NextLine(const char* text, char* line, size_t size) {
  if (*text == '\0') return nullptr;
  const char* end = strchr(text, '\n');
  size_t len = end != nullptr ? static_cast<size_t>(end - text) : strlen(text);
  snprintf(line, size, "%.*s", static_cast<int>(len < size ? len : size - 1), text);
  return end != nullptr ? end + 1 : text + len;
}

// Undoes mountinfo's octal escapes (a blank is \040) in place.
static void Unescape(char* text) {
  char* out = text;
  for (const char* in = text; *in != '\0'; in++) {
    if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' && in[3] >= '0' && in[3] <= '7') {
      *out++ = static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
      in += 3;
    } else {
      *out++ = *in;
    }
  }
  *out = '\0';
}

// True when the comma-separated list holds word.
static bool ListHas(const char* list, const char* word) {
  const size_t len = strlen(word);
  for (const char* at = list;; at++) {
    if (strncmp(at, word, len) == 0 && (at[len] == ',' || at[len] == '\0')) return true;
    at = strchr(at, ',');
    if (at == nullptr) return false;
  }
}

// The path of the memory cgroup in a /proc/<pid>/cgroup text, for v1 or v2.
static bool CgroupPath(const char* cgroups, bool v1, char* path, size_t size) {
  char line[4096];
  for (const char* at = cgroups; (at = NextLine(at, line, sizeof(line))) != nullptr;) {
    char* first = strchr(line, ':');
    char* second = first != nullptr ? strchr(first + 1, ':') : nullptr;
    if (second == nullptr) continue;
    *second = '\0';
    bool matches = v1 ? ListHas(first + 1, "memory") : (first == line + 1 && line[0] == '0' && first[1] == '\0');
    // A cgroup outside the reader's cgroup namespace shows as "/..".
    if (matches && second[1] == '/' && strstr(second + 1, "/..") == nullptr) {
      snprintf(path, size, "%s", second + 1);
      return true;
    }
  }
  return false;
}

bool FindMemoryCgroup(const char* cgroups, const char* mountinfo, char* dir, char* top, size_t size, bool* v1) {
  // A v1 memory hierarchy comes first: on a hybrid host the v2 one has no
  // memory controller.
  for (int pass = 0; pass < 2; pass++) {
    const bool want_v1 = pass == 0;
    char path[1024];
    if (!CgroupPath(cgroups, want_v1, path, sizeof(path))) continue;
    char line[4096];
    for (const char* at = mountinfo; (at = NextLine(at, line, sizeof(line))) != nullptr;) {
      // id parent major:minor root mountpoint options ... - fstype source superoptions
      char root[1024], point[1024], fstype[64], super[1024];
      const char* dash = strstr(line, " - ");
      if (dash == nullptr || sscanf(line, "%*s %*s %*s %1023s %1023s", root, point) != 2 ||
          sscanf(dash + 3, "%63s %*s %1023s", fstype, super) != 2) {
        continue;
      }
      if (want_v1 ? strcmp(fstype, "cgroup") != 0 || !ListHas(super, "memory") : strcmp(fstype, "cgroup2") != 0) {
        continue;
      }
      Unescape(root);
      Unescape(point);
      // The cgroup lies under this mount's root, or the mount does not show it.
      size_t root_len = strcmp(root, "/") == 0 ? 0 : strlen(root);
      if (strncmp(path, root, root_len) != 0 || (path[root_len] != '/' && path[root_len] != '\0')) continue;
      snprintf(dir, size, "%s%s", point, strcmp(path + root_len, "/") == 0 ? "" : path + root_len);
      snprintf(top, size, "%s", point);
      *v1 = want_v1;
      return true;
    }
  }
  return false;
}

#if defined(__APPLE__)

bool MainThreadWaitsInLoop(int) { return false; }
bool HasUnreadWakeup(int) { return true; }
MemoryRoom GetMemoryRoom(int) { return {INT64_MAX, false}; }

#else  // Linux

// Limits at or above this are no limit (cgroup v1 writes 2^63 - 4096).
static const int64_t NO_LIMIT = INT64_C(1) << 62;

bool MainThreadWaitsInLoop(int pid) {
  char name[64], syscall_text[256], stat[1024];
  snprintf(name, sizeof(name), "task/%d/syscall", pid);
  if (ReadProcessFile(pid, name, syscall_text, sizeof(syscall_text)) <= 0) return false;
  snprintf(name, sizeof(name), "task/%d/stat", pid);
  if (ReadProcessFile(pid, name, stat, sizeof(stat)) <= 0) return false;
  // "tid (comm) state ...": the name may hold blanks and parentheses.
  const char* rest = strrchr(stat, ')');
  return rest != nullptr && rest[1] == ' ' && IsEpollWait(syscall_text, rest[2]);
}

bool HasUnreadWakeup(int pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/fd", pid);
  DIR* dir = opendir(path);
  if (dir == nullptr) return true;
  bool unread = false;
  for (int n = 0; !unread && n < 65536; n++) {
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    char target[64];
    ssize_t len = readlinkat(dirfd(dir), entry->d_name, target, sizeof(target) - 1);
    if (len <= 0) continue;
    target[len] = '\0';
    if (strcmp(target, "anon_inode:[eventfd]") != 0) continue;
    char name[300], info[1024];
    snprintf(name, sizeof(name), "fdinfo/%s", entry->d_name);
    if (ReadProcessFile(pid, name, info, sizeof(info)) <= 0) continue;
    // The kernel prints the count in hex.
    const char* count = strstr(info, "eventfd-count:");
    unread = count != nullptr && strtoull(count + strlen("eventfd-count:"), nullptr, 16) != 0;
  }
  closedir(dir);
  return unread;
}

// Reads a small file whole into buf (NUL-ended); false when it cannot.
static bool ReadSmallFile(const char* path, char* buf, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return false;
  size_t len = 0;
  while (len + 1 < size) {
    ssize_t got = read(fd, buf + len, size - 1 - len);
    if (got == -1 && errno == EINTR) continue;
    if (got <= 0) break;
    len += static_cast<size_t>(got);
  }
  close(fd);
  buf[len] = '\0';
  return len > 0;
}

// A number file of a cgroup; "max" is no limit. -1 when it cannot be read.
static int64_t ReadCgroupNumber(const char* dir, const char* name) {
  char path[1200], text[64];
  snprintf(path, sizeof(path), "%s/%s", dir, name);
  if (!ReadSmallFile(path, text, sizeof(text))) return -1;
  if (strncmp(text, "max", 3) == 0) return INT64_MAX;
  char* end;
  long long value = strtoll(text, &end, 10);
  return end == text || value < 0 ? -1 : static_cast<int64_t>(value);
}

// One field of a cgroup's memory.stat; 0 when it has none.
static int64_t StatField(const char* stat, const char* name) {
  const size_t len = strlen(name);
  for (const char* at = stat; at != nullptr && *at != '\0'; at = strchr(at, '\n') ? strchr(at, '\n') + 1 : nullptr) {
    if (strncmp(at, name, len) == 0 && at[len] == ' ') return strtoll(at + len + 1, nullptr, 10);
  }
  return 0;
}

// Room left under one cgroup's limit, or INT64_MAX. Page cache that the
// kernel drops before it kills (inactive file pages) does not count as used.
static int64_t CgroupRoom(bool v1, const char* dir) {
  const int64_t limit = ReadCgroupNumber(dir, v1 ? "memory.limit_in_bytes" : "memory.max");
  const int64_t usage = ReadCgroupNumber(dir, v1 ? "memory.usage_in_bytes" : "memory.current");
  if (limit < 0 || usage < 0 || limit >= NO_LIMIT) return INT64_MAX;
  static char stat[16384];
  char path[1200];
  snprintf(path, sizeof(path), "%s/memory.stat", dir);
  if (!ReadSmallFile(path, stat, sizeof(stat))) stat[0] = '\0';
  const int64_t inactive = StatField(stat, v1 ? "total_inactive_file" : "inactive_file");
  const int64_t used = usage > inactive ? usage - inactive : 0;
  int64_t room = limit - used;
  // The limit of ancestors that this mount does not show.
  const int64_t hierarchical = v1 ? StatField(stat, "hierarchical_memory_limit") : 0;
  if (hierarchical > 0 && hierarchical < NO_LIMIT && hierarchical - used < room) room = hierarchical - used;
  return room;
}

MemoryRoom GetMemoryRoom(int pid) {
  MemoryRoom best = {INT64_MAX, false};
  static char cgroups[8192], mountinfo[262144];
  char dir[1024], top[1024];
  bool v1 = false;
  if (ReadProcessFile(pid, "cgroup", cgroups, sizeof(cgroups)) > 0 &&
      ReadSmallFile("/proc/self/mountinfo", mountinfo, sizeof(mountinfo)) &&
      FindMemoryCgroup(cgroups, mountinfo, dir, top, sizeof(dir), &v1)) {
    // From the cgroup up to the top of its mount.
    for (int depth = 0; depth < 64; depth++) {
      const int64_t room = CgroupRoom(v1, dir);
      if (room < best.bytes) best = {room, true};
      char* slash = strrchr(dir, '/');
      if (strcmp(dir, top) == 0 || slash == nullptr || slash == dir) break;
      *slash = '\0';
    }
  }
  char meminfo[4096];
  const char* available =
      ReadSmallFile("/proc/meminfo", meminfo, sizeof(meminfo)) ? strstr(meminfo, "MemAvailable:") : nullptr;
  if (available != nullptr) {
    const int64_t bytes = strtoll(available + strlen("MemAvailable:"), nullptr, 10) * 1024;
    if (bytes < best.bytes) best = {bytes, false};
  }
  return best;
}

#endif
