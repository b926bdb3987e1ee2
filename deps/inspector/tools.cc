// Shared tools of quellix: the small operations the command line needs, the
// platform lookups in one block per platform, the control socket helpers,
// and the shared-memory channel and extended control message that other
// programs built on this module use. Uses the C library and nothing else.
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
#include <dirent.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
// Opening within a process's root needs openat2 (Linux 5.6).
#if defined(SYS_openat2) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define QUELLIX_HAVE_OPENAT2 1
#endif
#endif

namespace {

const int SHM_SIZE = 4096;
const int SHM_TEXT_OFFSET = 4;
const int SHM_CREATE_FLAGS = IPC_CREAT | IPC_EXCL | 0666;
const int EXT_MESSAGE_SIZE = 1024;
const int EXT_TEXT_OFFSET = 8;
const int REPLY_WAIT_MS = 1000;
// A peer that hangs up early must not end the calling program by SIGPIPE.
#if defined(MSG_NOSIGNAL)
const int SEND_FLAGS = MSG_NOSIGNAL;
#else
const int SEND_FLAGS = 0;
#endif

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

// Off while the output is gathered into a JSON object, whose own string
// escaping takes the place of this one.
static bool g_escape_controls = true;

void SetControlEscaping(bool on) { g_escape_controls = on; }

void EscapeControls(const char* text, char* out, size_t size) {
  if (size == 0) return;
  size_t len = 0;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; c++) {
    // The C1 controls U+0080 to U+009F in UTF-8 (C2 80 to C2 9F) steer
    // many terminals as ESC does (U+009B is CSI): both bytes are escaped.
    bool c1 = g_escape_controls && c[0] == 0xc2 && c[1] >= 0x80 && c[1] <= 0x9f;
    bool control = g_escape_controls && (*c < 0x20 || *c == 0x7f);
    // Whole escapes only: a cut never leaves half of one.
    size_t need = c1 ? 8 : control ? 4 : 1;
    if (len + need >= size) break;
    if (c1) {
      snprintf(out + len, size - len, "\\x%02x\\x%02x", c[0], c[1]);
      c++;
    } else if (control) {
      snprintf(out + len, size - len, "\\x%02x", *c);
    } else {
      out[len] = static_cast<char>(*c);
    }
    len += need;
  }
  out[len] = '\0';
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

int OpenRunningExecutable(int pid, char* path, size_t size) {
  if (pid <= 0) {
    errno = ESRCH;
    return -1;
  }
  char found[PROC_PIDPATHINFO_MAXSIZE];
  if (proc_pidpath(pid, found, sizeof(found)) <= 0) return -1;
  if (strlen(found) >= size) {
    errno = ENAMETOOLONG;
    return -1;
  }
  snprintf(path, size, "%s", found);
  return open(path, O_RDONLY | O_CLOEXEC);
}

// No execution from a descriptor here: the path that was opened is run.
void ExecuteOpenFile(int, const char* path, char* const argv[], char* const envp[]) { execve(path, argv, envp); }

// No process descriptors here: the kick goes by pid.
int OpenProcessHandle(int) { return -1; }
int SignalProcess(int pid, int, int signo) { return kill(pid, signo); }

// No other roots here: every target shares the tool's view.
bool ResolveInTargetRoot(int, const char*, char*, size_t) { return false; }
int OpenRegular(int path_fd) {
  if (path_fd != -1) close(path_fd);
  errno = ENOSYS;
  return -1;
}
int OpenInRoot(int, const char*, int, int*) {
  errno = ENOSYS;
  return -1;
}
static int OpenUnderProcessRoot(const char*) { return -2; }

void CloseDescriptorsAbove2(int keep) {
  const long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = 3; fd < limit; fd++) {
    if (fd != keep) close(static_cast<int>(fd));
  }
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

// No /proc here: the inspector of a process cannot be found from outside.
ssize_t ReadProcessFile(int, const char*, char*, size_t) {
  errno = ENOSYS;
  return -1;
}

// Microseconds since the epoch at which the process started.
bool GetProcessStartTime(int pid, unsigned long long* start) {
  struct kinfo_proc info;
  if (pid <= 0 || !GetKinfoProc(pid, &info)) return false;
  const struct timeval& at = info.kp_proc.p_starttime;
  *start = static_cast<unsigned long long>(at.tv_sec) * 1000000ULL + static_cast<unsigned long long>(at.tv_usec);
  return true;
}

int OpenScratchFile() {
  FILE* file = tmpfile();
  if (file == nullptr) return -1;
  int fd = fcntl(fileno(file), F_DUPFD_CLOEXEC, 3);
  fclose(file);
  return fd;
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

int OpenRunningExecutable(int pid, char* path, size_t size) {
  if (pid <= 0) {
    errno = ESRCH;
    return -1;
  }
  char link[64];
  snprintf(link, sizeof(link), "/proc/%d/exe", pid);
  int fd = open(link, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return -1;
  ssize_t len = readlink(link, path, size - 1);
  // A path that fills the whole buffer may have been cut: refuse it.
  if (len <= 0 || static_cast<size_t>(len) >= size - 1) {
    int saved = len < 0 ? errno : ENAMETOOLONG;
    close(fd);
    errno = saved;
    return -1;
  }
  path[len] = '\0';
  // A replaced or removed executable still runs; the system marks its path.
  static const char kDeleted[] = " (deleted)";
  if (StrEndsWith(path, kDeleted)) path[len - (sizeof(kDeleted) - 1)] = '\0';
  return fd;
}

// From the descriptor: nothing can be swapped in at the path in between.
// The descriptor is close-on-exec, which an ELF executable does not mind.
void ExecuteOpenFile(int fd, const char* path, char* const argv[], char* const envp[]) {
#if defined(SYS_execveat)
  syscall(SYS_execveat, fd, "", argv, envp, AT_EMPTY_PATH);
  (void)path;
#else
  fexecve(fd, argv, envp);
  (void)path;
#endif
}

int OpenProcessHandle(int pid) {
#if defined(SYS_pidfd_open)
  if (pid > 0) return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
  (void)pid;
  return -1;
}

int SignalProcess(int pid, int handle, int signo) {
#if defined(SYS_pidfd_send_signal)
  if (handle >= 0) {
    if (syscall(SYS_pidfd_send_signal, handle, signo, nullptr, 0) == 0) return 0;
    // Older kernels answer ENOSYS, and older seccomp profiles EPERM; any
    // other error (the process has ended) sends nothing.
    if (errno != ENOSYS && errno != EPERM) return -1;
  }
#endif
  (void)handle;
  return kill(pid, signo);
}

void CloseDescriptorsAbove2(int keep) {
#if defined(SYS_close_range)
  if (keep < 3 && syscall(SYS_close_range, 3, ~0U, 0) == 0) return;
  if (keep >= 3 && (keep == 3 || syscall(SYS_close_range, 3, keep - 1, 0) == 0) &&
      syscall(SYS_close_range, keep + 1, ~0U, 0) == 0) {
    return;
  }
#endif
  // Without close_range: the descriptors this process has, or every possible one.
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    const long limit = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < limit; fd++) {
      if (fd != keep) close(static_cast<int>(fd));
    }
    return;
  }
  while (struct dirent* entry = readdir(dir)) {
    int fd = atoi(entry->d_name);
    if (fd > 2 && fd != keep && fd != dirfd(dir)) close(fd);
  }
  closedir(dir);
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

// Older C libraries lack the name; its number is the generic one.
#if !defined(SO_PEERPIDFD) && \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__) || defined(__riscv))
#define SO_PEERPIDFD 77
#endif

int GetSocketPeerPid(int fd) {
  struct ucred cred;
  socklen_t len = sizeof(cred);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return -1;
#if defined(SO_PEERPIDFD) && defined(SYS_pidfd_send_signal)
  // The pid is that of the process that called listen(), kept after it
  // ended: by then its number may be another process's, the target's
  // included. The kernel's own handle on that process tells whether it
  // still lives (kernels without the option answer ENOPROTOOPT).
  int peer = -1;
  socklen_t peer_len = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &peer, &peer_len) != 0) return errno == ENOPROTOOPT ? cred.pid : -1;
  bool alive = syscall(SYS_pidfd_send_signal, peer, 0, nullptr, 0) == 0 || errno == EPERM;
  close(peer);
  if (!alive) return -1;
#endif
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

// Upgrades a descriptor opened with O_PATH to a readable one, only for a
// regular file: opening a device or a fifo could block or act on it. Closes
// path_fd; -1 when it is no regular file.
int OpenRegular(int path_fd) {
  if (path_fd == -1) return -1;
  struct stat info;
  int fd = -1;
  if (fstat(path_fd, &info) == 0 && S_ISREG(info.st_mode)) {
    char self[64];
    snprintf(self, sizeof(self), "/proc/self/fd/%d", path_fd);
    fd = open(self, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  close(path_fd);
  return fd;
}

// Opens path as pid sees it, within its root: a symlink inside a container
// resolves inside the container and cannot lead out of it. root, when
// given, receives the root's descriptor (O_PATH), else it is closed.
int OpenInRoot(int pid, const char* path, int flags, int* root) {
  char root_path[64];
  snprintf(root_path, sizeof(root_path), "/proc/%d/root", pid);
  int root_fd = open(root_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root_fd == -1) return -1;
  int fd = -1;
#if defined(QUELLIX_HAVE_OPENAT2)
  struct open_how how;
  memset(&how, 0, sizeof(how));
  how.flags = static_cast<uint64_t>(flags) | O_CLOEXEC;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  fd = static_cast<int>(syscall(SYS_openat2, root_fd, path, &how, sizeof(how)));
#else
  (void)path;
  (void)flags;
  errno = ENOSYS;
#endif
  int saved = errno;
  if (root != nullptr && fd != -1) {
    *root = root_fd;
  } else {
    close(root_fd);
  }
  errno = saved;
  return fd;
}

// The path the system gives for an open descriptor: for one in another
// mount namespace, its path from that namespace's root.
static bool DescriptorPath(int fd, char* path, size_t size) {
  char link[64];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  ssize_t len = readlink(link, path, size - 1);
  if (len <= 0 || static_cast<size_t>(len) >= size - 1) return false;
  path[len] = '\0';
  return true;
}

bool ResolveInTargetRoot(int pid, const char* dir, char* host, size_t size) {
  int root = -1;
  int fd = OpenInRoot(pid, dir, O_PATH | O_DIRECTORY, &root);
  if (fd == -1) return false;
  // Both paths are the namespace's own: the directory's, less the root's,
  // lies under /proc/<pid>/root. The result is checked to be the directory.
  char root_text[1024], dir_text[1024];
  bool resolved = DescriptorPath(root, root_text, sizeof(root_text)) && DescriptorPath(fd, dir_text, sizeof(dir_text));
  size_t root_len = strcmp(root_text, "/") == 0 ? 0 : strlen(root_text);
  resolved = resolved && strncmp(dir_text, root_text, root_len) == 0 &&
             (dir_text[root_len] == '/' || dir_text[root_len] == '\0');
  struct stat found, shown;
  if (resolved) {
    snprintf(host, size, "/proc/%d/root%s", pid, strcmp(dir_text + root_len, "/") == 0 ? "" : dir_text + root_len);
    resolved = fstat(fd, &found) == 0 && stat(host, &shown) == 0 && found.st_dev == shown.st_dev &&
               found.st_ino == shown.st_ino;
  }
  close(fd);
  close(root);
  return resolved;
}

// A path under a process's root (/proc/<pid>/root/...) opened with O_PATH
// within that root, so that a symlink in it stays inside: an absolute one
// would otherwise be followed from the tool's own root. -2 for any other
// path, and where the system cannot resolve within a root (the path is then
// used as it is); -1 when it cannot be opened there.
static int OpenUnderProcessRoot(const char* path) {
  int pid = 0, rest = 0;
  if (sscanf(path, "/proc/%d/root%n", &pid, &rest) != 1 || rest == 0 || path[rest] != '/') return -2;
  int fd = OpenInRoot(pid, path + rest, O_PATH);
  return fd == -1 && errno == ENOSYS ? -2 : fd;
}

ssize_t ReadProcessFile(int pid, const char* name, char* buf, size_t size) {
  char path[128];
  snprintf(path, sizeof(path), "/proc/%d/%s", pid, name);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return -1;
  size_t len = 0;
  ssize_t got = 0;
  while (len + 1 < size && ((got = read(fd, buf + len, size - 1 - len)) > 0 || (got == -1 && errno == EINTR))) {
    if (got > 0) len += static_cast<size_t>(got);
  }
  int saved = errno;
  close(fd);
  if (got == -1) {
    errno = saved;
    return -1;
  }
  if (size > 0) buf[len] = '\0';
  return static_cast<ssize_t>(len);
}

bool GetProcessStartTime(int pid, unsigned long long* start) {
  char stat[1024];
  if (pid <= 0 || ReadProcessFile(pid, "stat", stat, sizeof(stat)) <= 0) return false;
  // "pid (comm) state ppid ...": the name may hold blanks and parentheses,
  // the last ')' ends it; the start time is field 22.
  const char* rest = strrchr(stat, ')');
  return rest != nullptr &&
         sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu", start) ==
             1;
}

int OpenScratchFile() { return memfd_create("quellix-output", MFD_CLOEXEC); }

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

// A local stream socket connected to path, silently: -1 for a failed
// connect, -2 for a path too long for the address, -3 when no socket can be
// made.
static int ConnectSocketPath(const char* path) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  // A cut path would name another socket: refuse it instead.
  size_t len = strlen(path);
  if (len >= sizeof(addr.sun_path)) return -2;
  // A socket inside a target's root is connected through a descriptor found
  // within that root: a symlink there must not lead to a socket of the host.
  int held = OpenUnderProcessRoot(path);
  if (held == -1) return -1;
  char through[64];
  if (held >= 0) {
    snprintf(through, sizeof(through), "/proc/self/fd/%d", held);
    path = through;
    len = strlen(path);
  }
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd != -1) {
    // A listener whose backlog is full holds a blocking connect for as long
    // as it does not accept: the connect, and each send after it, end
    // within the reply's wait.
    struct timeval limit = {REPLY_WAIT_MS / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, len + 1);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
      close(fd);
      fd = -1;
    }
  } else {
    fd = -3;
  }
  if (held >= 0) close(held);
  return fd;
}

int OpenSocketPath(const char* path) {
  int fd = ConnectSocketPath(path);
  if (fd == -2) {
    printf("Socket path too long for a local socket (%d bytes, at most %d): %s\n", static_cast<int>(strlen(path)),
           static_cast<int>(sizeof(sockaddr_un::sun_path)) - 1, path);
  } else if (fd == -3) {
    printf("Request socket failed\n");
    return -2;
  }
  return fd;
}

// Anyone may create a socket under /tmp: only the target itself may receive
// what is meant for it.
bool IsServedByTarget(int fd, const char* path, int pid, int handle) {
  // A process that ended has its pid free for another, which may serve the
  // path by now (a deferred stop waits long).
  bool ended = handle != -1 && SignalProcess(pid, handle, 0) != 0 && errno == ESRCH;
  if (!ended && GetSocketPeerPid(fd) == pid) return true;
  printf("Socket %s is not served by pid %d.\n", path, pid);
  return false;
}

int64_t MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int WaitReadable(int fd, int timeout_ms) {
  const int64_t deadline = MonotonicMs() + timeout_ms;
  for (;;) {
    struct pollfd entry = {fd, POLLIN, 0};
    int64_t left = deadline - MonotonicMs();
    int ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready >= 0 || errno != EINTR) return ready;
  }
}

void PrintRefusal(const char* reply, ssize_t received) {
  // The text ends at its NUL or at the last byte received, whichever is first.
  int len = 0;
  if (received > 3) len = static_cast<int>(strnlen(reply + 3, static_cast<size_t>(received) - 3));
  char text[EXT_MESSAGE_SIZE], shown[4 * EXT_MESSAGE_SIZE];
  snprintf(text, sizeof(text), "%.*s", len, reply + 3);
  // The runtime's text must not steer the user's terminal.
  EscapeControls(text, shown, sizeof(shown));
  printf("%s\n\n", shown);
}

bool IsClosedWithoutReply(ssize_t received) {
  if (received > 0) return false;
  printf("Runtime closed the connection without a reply.\n");
  return true;
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

// The 1024-byte extended message: zeros, then mask, parameter and text.
static void BuildExtendedMessage(char* message, unsigned int mask, int parameter, const char* text) {
  memset(message, 0, EXT_MESSAGE_SIZE);
  memcpy(message, &mask, sizeof(mask));
  memcpy(message + 4, &parameter, sizeof(parameter));
  snprintf(message + EXT_TEXT_OFFSET, EXT_MESSAGE_SIZE - EXT_TEXT_OFFSET, "%s", text);
}

int QueryRuntime(int pid, unsigned int mask, const char* text, char* answer, size_t size) {
  char path[256];
  FormatSocketPath(path, sizeof(path), pid);
  int fd = ConnectSocketPath(path);
  if (fd < 0) return -1;
  // Only the target itself is asked.
  if (GetSocketPeerPid(fd) != pid) {
    close(fd);
    return -1;
  }
#if defined(SO_NOSIGPIPE)
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#endif
  char message[EXT_MESSAGE_SIZE];
  BuildExtendedMessage(message, mask, 0, text);
  char reply[EXT_MESSAGE_SIZE];
  memset(reply, 0, sizeof(reply));
  ssize_t received = -1;
  if (send(fd, message, sizeof(message), SEND_FLAGS) == static_cast<ssize_t>(sizeof(message)) &&
      WaitReadable(fd, REPLY_WAIT_MS) > 0) {
    received = recv(fd, reply, sizeof(reply), 0);
  }
  close(fd);
  if (received <= 0) return -1;
  if (reply[0] == 'N') return 0;
  if (reply[0] != 'Y' || size == 0) return -1;
  int len = received > 3 ? static_cast<int>(strnlen(reply + 3, static_cast<size_t>(received) - 3)) : 0;
  snprintf(answer, size, "%.*s", len, reply + 3);
  return 1;
}

int sendUdsMsg(int pid, unsigned int mask, int parameter, const char* text) {
  char path[256];
  FormatSocketPath(path, sizeof(path), pid);
  if (access(path, F_OK) != 0) printf("%s does not exists.\n", path);

  int fd = OpenSocketPath(path);
  if (fd < 0) {
    if (fd == -1) printf("connect socket failed\n");
    return -1;
  }
  if (!IsServedByTarget(fd, path, pid, -1)) {
    close(fd);
    return -1;
  }

#if defined(SO_NOSIGPIPE)
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#endif
  char message[EXT_MESSAGE_SIZE];
  BuildExtendedMessage(message, mask, parameter, text);
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
  if (IsClosedWithoutReply(received)) return -1;
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
