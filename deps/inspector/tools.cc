// Shared tools of quellix: the small operations the command line needs, the
// platform lookups, and the shared-memory channel and extended control
// message that other programs built on this module use.
#include "tools.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <libproc.h>
#include <sys/sysctl.h>
#include <sys/ucred.h>
#else
#include <sched.h>
#include <sys/prctl.h>
#endif

namespace {

const int SHM_SIZE = 4096;
const int SHM_TEXT_OFFSET = 4;
const int SHM_CREATE_FLAGS = IPC_CREAT | IPC_EXCL | 0666;
const int EXT_MESSAGE_SIZE = 1024;
const int EXT_TEXT_OFFSET = 8;
const int REPLY_WAIT_MS = 1000;

}  // namespace

// ---------------------------------------------------------------------------
// String tests
// ---------------------------------------------------------------------------

bool StrContains(const char* text, const char* needle) {
  int n = static_cast<int>(strlen(text));
  int m = static_cast<int>(strlen(needle));
  if (m > n) return false;
  for (int i = 0; i <= n - m; i++) {
    if (strncmp(text + i, needle, m) == 0) return true;
  }
  return false;
}

bool StrStartsWith(const char* text, const char* prefix) {
  if (text == nullptr || prefix == nullptr) return false;
  return strstr(text, prefix) == text;
}

bool StrEndsWith(const char* text, const char* suffix) {
  if (text == nullptr || suffix == nullptr) return false;
  int n = static_cast<int>(strlen(text));
  int m = static_cast<int>(strlen(suffix));
  if (n < m) return false;
  return strncmp(text + n - m, suffix, m) == 0;
}

static bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

void RemoveCRNL(char* text) {
  int n = static_cast<int>(strlen(text));
  if (n == 0) return;
  if (n == 1) {
    if (IsLineEnd(text[0])) text[0] = '\0';
    return;
  }
  if (IsLineEnd(text[n - 1])) text[n - 1] = '\0';
  // A line end before the last byte cuts the text there as well.
  if (IsLineEnd(text[n - 2])) text[n - 2] = '\0';
}

void AppendFormat(char* buf, size_t size, const char* fmt, ...) {
  size_t len = strnlen(buf, size);
  if (len + 1 >= size) return;
  va_list args;
  va_start(args, fmt);
  vsnprintf(buf + len, size - len, fmt, args);
  va_end(args);
}

// ---------------------------------------------------------------------------
// Option-text classifiers
// ---------------------------------------------------------------------------

// Every pattern ends in the blank that follows each flag of the option text,
// so a longer flag with the same beginning does not match.
bool IsTraceGcCommand(const char* text) {
  static const char* const kPatterns[] = {"--trace_gc ", "--trace_gc_nvp ", "--trace_gc_verbose ",
                                          "--trace_fragmentation "};
  for (const char* pattern : kPatterns) {
    if (strstr(text, pattern) != nullptr) return true;
  }
  return false;
}

bool IsProfCommand(const char* text) { return strstr(text, "--prof ") != nullptr; }

bool IsBasicProfCommand(const char* text) { return strstr(text, "--perf_basic_prof ") != nullptr; }

bool IsOtherCommandNeedLogFile(const char* text) {
  if (strstr(text, "time=") == nullptr) return strchr(text, '=') == nullptr;
  // A flag that only looks like a duration is no value: blank its '=' in a
  // copy, the option text itself stays as it is.
  char copy[4096];
  snprintf(copy, sizeof(copy), "%s", text);
  char* time = strstr(copy, "time=");
  if (time != nullptr) time[4] = ' ';
  return strchr(copy, '=') == nullptr;
}

bool IsDurationInput(const char* text) {
  if (!StrStartsWith(text, "time=")) return false;
  return StrEndsWith(text, "h") || StrEndsWith(text, "m") || StrEndsWith(text, "s");
}

void AttachTimeStamp(char* path, const char* extension, unsigned char precision) {
  const size_t size = 1024;
  struct timeval now;
  gettimeofday(&now, nullptr);
  time_t seconds = now.tv_sec;
  struct tm local;
  localtime_r(&seconds, &local);

  const char* format = "%Y%m%d-%H%M%S";
  if (precision == 1) format = "%Y%m%d";
  if (precision == 2) format = "%Y%m%d-%H";
  if (precision == 4) format = "%Y%m%d-%H%M";
  char stamp[32];
  strftime(stamp, sizeof(stamp), format, &local);

  AppendFormat(path, size, "-");
  AppendFormat(path, size, "%s", stamp);
  AppendFormat(path, size, ".%s", extension);
}

// ---------------------------------------------------------------------------
// Platform lookups: everything that differs between macOS and Linux.
// ---------------------------------------------------------------------------
#if defined(__APPLE__)

bool GetExecPathfromPid(int pid, char* path) {
  if (pid <= 0) {
    errno = ESRCH;
    return false;
  }
  return proc_pidpath(pid, path, 1024) > 0;
}

// No namespaces here: every target shares the tool's view.
static void LearnTargetPlace(int, TargetPlace*) {}

int EnterNamespaces(int) {
  errno = ENOSYS;
  return -1;
}

void EndWithParent() {}

static bool GetKinfoProc(int pid, struct kinfo_proc* info) {
  int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
  size_t size = sizeof(*info);
  if (sysctl(mib, 4, info, &size, nullptr, 0) != 0 || size == 0) return false;
  return true;
}

bool GetProcessOwner(int pid, uid_t* uid, gid_t* gid) {
  struct kinfo_proc info;
  if (pid <= 0 || !GetKinfoProc(pid, &info)) return false;
  *uid = info.kp_eproc.e_pcred.p_ruid;
  *gid = info.kp_eproc.e_pcred.p_rgid;
  return true;
}

int GetSocketPeerPid(int fd) {
  pid_t peer = -1;
  socklen_t len = sizeof(peer);
  if (getsockopt(fd, SOL_LOCAL, LOCAL_PEERPID, &peer, &len) != 0) return -1;
  return peer;
}

bool IsSignalCaught(int pid, int signo) {
  struct kinfo_proc info;
  if (pid <= 0 || !GetKinfoProc(pid, &info)) return false;
  return (info.kp_proc.p_sigcatch & sigmask(signo)) != 0;
}

#else  // Linux

bool GetExecPathfromPid(int pid, char* path) {
  if (pid <= 0) {
    errno = ESRCH;
    return false;
  }
  char link[256];
  snprintf(link, sizeof(link), "/proc/%d/exe", pid);
  ssize_t len = readlink(link, path, 1023);
  if (len < 0) return false;
  // A path that fills the whole buffer may have been cut: refuse it.
  if (len == 0 || len >= 1023) {
    errno = ENAMETOOLONG;
    return false;
  }
  path[len] = '\0';
  return true;
}

// The mount namespaces are compared by their inode; a target whose namespace
// may not be looked at counts as sharing ours. Its own pid is the last field
// of the NSpid line (the innermost pid namespace); kernels without that line
// have no pid namespaces to tell apart.
static void LearnTargetPlace(int pid, TargetPlace* place) {
  char path[64];
  struct stat own, target;
  snprintf(path, sizeof(path), "/proc/%d/ns/mnt", pid);
  place->other_mount = stat("/proc/self/ns/mnt", &own) == 0 && stat(path, &target) == 0 &&
                       (own.st_dev != target.st_dev || own.st_ino != target.st_ino);
  snprintf(path, sizeof(path), "/proc/%d/status", pid);
  FILE* file = fopen(path, "r");
  if (file == nullptr) return;
  // Room for the deepest nesting (32 pid namespaces of 10 digits each), so
  // the last field is never cut off into a next read.
  char line[512];
  while (fgets(line, sizeof(line), file) != nullptr) {
    if (strncmp(line, "NSpid:", 6) != 0) continue;
    char* cursor = line + 6;
    for (;;) {
      char* end;
      long value = strtol(cursor, &end, 10);
      if (end == cursor) break;
      if (value > 0 && value <= INT32_MAX) place->inner_pid = static_cast<int>(value);
      cursor = end;
    }
    break;
  }
  fclose(file);
}

// Opens /proc/<pid>/ns/<name>; -1 with errno set.
static int OpenNamespace(int pid, const char* name) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/ns/%s", pid, name);
  return open(path, O_RDONLY | O_CLOEXEC);
}

// Both namespaces are opened first: once the mount namespace changes, /proc
// is the target's own, with other pids. setns needs CAP_SYS_ADMIN (and, for
// the mount namespace, CAP_SYS_CHROOT and a single-threaded caller); the
// working directory is left pointing into the old namespace, so it moves to
// the new root. A program run in the target's pid namespace sees its own
// /proc/self there.
int EnterNamespaces(int pid) {
  int mount_fd = OpenNamespace(pid, "mnt");
  if (mount_fd == -1) return -1;
  int pid_fd = OpenNamespace(pid, "pid");
  struct stat own, target;
  bool other_pids = pid_fd != -1 && stat("/proc/self/ns/pid", &own) == 0 && fstat(pid_fd, &target) == 0 &&
                    (own.st_dev != target.st_dev || own.st_ino != target.st_ino);
  int entered = 0;
  if (other_pids) entered = setns(pid_fd, CLONE_NEWPID);
  if (entered == 0) entered = setns(mount_fd, CLONE_NEWNS);
  int saved = errno;
  close(mount_fd);
  if (pid_fd != -1) close(pid_fd);
  errno = saved;
  if (entered != 0 || chdir("/") != 0) return -1;
  return other_pids ? 1 : 0;
}

// The kernel clears this on a change of identity: call it after the drop.
void EndWithParent() { prctl(PR_SET_PDEATHSIG, SIGKILL); }

bool GetProcessOwner(int pid, uid_t* uid, gid_t* gid) {
  if (pid <= 0) return false;
  char status[256];
  snprintf(status, sizeof(status), "/proc/%d/status", pid);
  FILE* file = fopen(status, "r");
  if (file == nullptr) return false;
  char line[256];
  bool have_uid = false, have_gid = false;
  while (fgets(line, sizeof(line), file) != nullptr) {
    unsigned long value;
    if (sscanf(line, "Uid: %lu", &value) == 1) {
      *uid = static_cast<uid_t>(value);
      have_uid = true;
    } else if (sscanf(line, "Gid: %lu", &value) == 1) {
      *gid = static_cast<gid_t>(value);
      have_gid = true;
    }
  }
  fclose(file);
  return have_uid && have_gid;
}

int GetSocketPeerPid(int fd) {
  struct ucred cred;
  socklen_t len = sizeof(cred);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return -1;
  return cred.pid;
}

bool IsSignalCaught(int pid, int signo) {
  if (pid <= 0 || signo <= 0 || signo > 64) return false;
  char status[256];
  snprintf(status, sizeof(status), "/proc/%d/status", pid);
  FILE* file = fopen(status, "r");
  if (file == nullptr) return false;
  char line[256];
  unsigned long long caught = 0;
  bool found = false;
  while (!found && fgets(line, sizeof(line), file) != nullptr) {
    found = sscanf(line, "SigCgt: %llx", &caught) == 1;
  }
  fclose(file);
  return found && (caught & (1ULL << (signo - 1))) != 0;
}

#endif

const TargetPlace& GetTargetPlace(int pid) {
  static TargetPlace known = {0, false, 0};
  if (known.pid != pid || pid <= 0) {
    known.pid = pid;
    known.other_mount = false;
    known.inner_pid = pid;
    if (pid > 0) LearnTargetPlace(pid, &known);
  }
  return known;
}

// ---------------------------------------------------------------------------
// Control socket helpers
// ---------------------------------------------------------------------------

// The listener check and the kick keep the pid the user gave: the kernel
// reports the listener's pid in the tool's own pid namespace.
void FormatSocketPath(char* path, size_t size, int pid) {
  const TargetPlace& place = GetTargetPlace(pid);
  if (place.other_mount) {
    snprintf(path, size, "/proc/%d/root/tmp/kestrun-uds-path-%d", pid, place.inner_pid);
  } else {
    snprintf(path, size, "/tmp/kestrun-uds-path-%d", place.inner_pid);
  }
}

int OpenSocketPath(const char* path) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  // A cut path would name another socket: refuse it instead.
  size_t len = strlen(path);
  if (len >= sizeof(addr.sun_path)) {
    printf("Socket path too long for a local socket (%d bytes, at most %d): %s\n", static_cast<int>(len),
           static_cast<int>(sizeof(addr.sun_path)) - 1, path);
    return -2;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd == -1) {
    printf("Request socket failed\n");
    return -2;
  }
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, len + 1);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Anyone may create a socket under /tmp: only the target itself may receive
// what is meant for it.
bool IsServedByTarget(int fd, const char* path, int pid) {
  if (GetSocketPeerPid(fd) == pid) return true;
  printf("Socket %s is not served by pid %d.\n", path, pid);
  return false;
}

static int64_t NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int WaitReadable(int fd, int timeout_ms) {
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    struct pollfd entry = {fd, POLLIN, 0};
    int64_t left = deadline - NowMs();
    int ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready >= 0 || errno != EINTR) return ready;
  }
}

void PrintRefusal(const char* reply, ssize_t received) {
  // The text ends at its NUL or at the last byte received, whichever is first.
  int len = 0;
  if (received > 3) len = static_cast<int>(strnlen(reply + 3, static_cast<size_t>(received) - 3));
  printf("%.*s\n\n", len, reply + 3);
}

// ---------------------------------------------------------------------------
// Shared-memory channel
// ---------------------------------------------------------------------------

// Key 0 is IPC_PRIVATE: every call would make a new segment nobody can find
// again, so it is refused as an invalid key.
static int CreateSegment(int key) {
  if (key == IPC_PRIVATE) {
    errno = EINVAL;
    return -1;
  }
  return shmget(key, SHM_SIZE, SHM_CREATE_FLAGS);
}

bool ShareMemoryInit(int key) {
  if (CreateSegment(key) == -1) {
    perror("ShareMemoryInit shmget error");
    return false;
  }
  return true;
}

// A segment made under the key by another program may be smaller than ours;
// writing or reading it as 4096 bytes would run past its end.
static bool IsSegmentLargeEnough(int id) {
  struct shmid_ds info;
  if (shmctl(id, IPC_STAT, &info) != 0) {
    perror("shmctl error, please try later.");
    return false;
  }
  if (info.shm_segsz < static_cast<size_t>(SHM_SIZE)) {
    errno = EINVAL;
    perror("shared memory segment is smaller than 4096 bytes");
    return false;
  }
  return true;
}

bool ShareMemoryWrite(int value, const char* text, int key) {
  int id = CreateSegment(key);
  if (id == -1 && errno == EEXIST) {
    id = shmget(key, 0, 0);
    if (id != -1 && !IsSegmentLargeEnough(id)) return false;
  }
  if (id == -1) {
    perror("shmget error, please try later.\n");
    return false;
  }
  void* segment = shmat(id, nullptr, 0);
  if (segment == reinterpret_cast<void*>(-1)) {
    perror("shmat error, please try later.\n");
    return false;
  }
  // The value goes first, so a reader never takes an old value with a new text.
  memcpy(segment, &value, sizeof(value));
  if (text != nullptr) {
    snprintf(static_cast<char*>(segment) + SHM_TEXT_OFFSET, OPTION_TEXT_SIZE, "%s", text);
  }
  if (shmdt(segment) != 0) {
    perror("detach error, please try later.");
    return false;
  }
  return true;
}

bool ShareMemoryRead(char* text, int* value) {
  int id = shmget(getpid(), 0, 0);
  if (id == -1) {
    perror("shmget error, please try later.");
    return false;
  }
  if (!IsSegmentLargeEnough(id)) return false;
  void* segment = shmat(id, nullptr, 0);
  if (segment == reinterpret_cast<void*>(-1)) {
    perror("shmat error, please try later.\n");
    return false;
  }
  memcpy(value, segment, sizeof(*value));
  // The segment is writable by anyone: never trust it to hold a NUL.
  snprintf(text, OPTION_TEXT_SIZE, "%.*s", OPTION_TEXT_SIZE - 1, static_cast<const char*>(segment) + SHM_TEXT_OFFSET);
  if (shmdt(segment) != 0) {
    perror("detach error, please try later.");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Extended control message
// ---------------------------------------------------------------------------

#if defined(MSG_NOSIGNAL)
static const int SEND_FLAGS = MSG_NOSIGNAL;
#else
static const int SEND_FLAGS = 0;
#endif

int sendUdsMsg(int pid, unsigned int mask, int parameter, const char* text) {
  char path[256];
  FormatSocketPath(path, sizeof(path), pid);
  if (access(path, F_OK) != 0) printf("%s does not exists.\n", path);

  int fd = OpenSocketPath(path);
  if (fd < 0) {
    if (fd == -1) printf("connect socket failed\n");
    return -1;
  }
  if (!IsServedByTarget(fd, path, pid)) {
    close(fd);
    return -1;
  }

#if defined(SO_NOSIGPIPE)
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#endif
  char message[EXT_MESSAGE_SIZE];
  memset(message, 0, sizeof(message));
  memcpy(message, &mask, sizeof(mask));
  memcpy(message + 4, &parameter, sizeof(parameter));
  snprintf(message + EXT_TEXT_OFFSET, sizeof(message) - EXT_TEXT_OFFSET, "%s", text);
  // A runtime that hangs up early must not end the calling program by SIGPIPE.
  send(fd, message, sizeof(message), SEND_FLAGS);

  int ready = WaitReadable(fd, REPLY_WAIT_MS);
  if (ready <= 0) {
    printf("Runtime is busy, please try later. %d\n", ready);
    close(fd);
    return -1;
  }
  char reply[EXT_MESSAGE_SIZE];
  memset(reply, 0, sizeof(reply));
  ssize_t received = recv(fd, reply, sizeof(reply), 0);
  close(fd);
  if (reply[0] == 'N') {
    PrintRefusal(reply, received);
    return -1;
  }
  return 0;
}

void PrintVerson(const void* pointer) {
  printf("[%d:%p] ", getpid(), pointer);
  printf("version:%s, ", "10.16.0");
  printf("gitversion:%s\n", "7b5510fa");
}
