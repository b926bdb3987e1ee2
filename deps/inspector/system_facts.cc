// What the system says about a target, for the extensions and the road's
// identification: whether it is node, whether it serves its control socket,
// its TCP listeners and socket inodes, its children, the processes there
// are. Read from /proc without running anything of the target, within
// bounds; uses the ELF reader and the tools' platform lookups.
#include "system_facts.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <libproc.h>
#include <sys/random.h>
#else
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/random.h>
#include <sys/syscall.h>
#if defined(SYS_openat2) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define QUELLIX_FACTS_HAVE_OPENAT2 1
#endif
#endif

#include "elf_reader.h"
#include "tools.h"

// Reads hex digits of a /proc/net/tcp address into bytes in network order:
// the kernel prints each 32-bit word as the number it is in host order.
static bool ParseProcAddress(const char* hex, size_t len, unsigned char* address) {
  if (len != 8 && len != 32) return false;
  for (size_t word = 0; word * 8 < len; word++) {
    char digits[9];
    memcpy(digits, hex + word * 8, 8);
    digits[8] = '\0';
    char* end;
    uint32_t value = static_cast<uint32_t>(strtoul(digits, &end, 16));
    if (end != digits + 8) return false;
    memcpy(address + word * 4, &value, 4);
  }
  return true;
}

bool ParseTcpLine(const char* line, TcpSocket* socket) {
  char local[40], remote[40];
  unsigned int port, state;
  unsigned long inode;
  // "sl: local:port remote:port st tx:rx tr:when retrnsmt uid timeout inode"
  if (sscanf(line, " %*u: %39[0-9A-Fa-f]:%x %39[0-9A-Fa-f]:%*x %x %*x:%*x %*x:%*x %*x %*u %*u %lu", local, &port,
             remote, &state, &inode) != 5) {
    return false;
  }
  memset(socket, 0, sizeof(*socket));
  size_t len = strlen(local);
  if (!ParseProcAddress(local, len, socket->address) || port > 65535) return false;
  socket->family = len == 8 ? AF_INET : AF_INET6;
  socket->port = static_cast<int>(port);
  socket->state = static_cast<int>(state);
  socket->inode = inode;
  return true;
}

bool IsLoopbackSocket(const TcpSocket& socket) {
  const unsigned char* a = socket.address;
  if (socket.family == AF_INET) return a[0] == 127;
  static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return memcmp(a, kLoopback6, 16) == 0 || (memcmp(a, kMapped, 12) == 0 && a[12] == 127);
}

// Finds the first entry that begins with prefix in the environment of pid
// and writes the rest of it into value (cut to size); false when there is
// none or the environment cannot be read.
bool GetTargetVariable(int pid, const char* prefix, char* value, size_t size) {
  char environ_path[256];
  snprintf(environ_path, sizeof(environ_path), "/proc/%d/environ", pid);
  char* entry = nullptr;
  size_t capacity = 0;
  bool found = false;
  FILE* file = fopen(environ_path, "rb");
  if (file != nullptr) {
    while (!found && getdelim(&entry, &capacity, '\0', file) != -1) {
      if (strncmp(entry, prefix, strlen(prefix)) == 0) {
        snprintf(value, size, "%s", entry + strlen(prefix));
        found = true;
      }
    }
    fclose(file);
  }
  free(entry);
  return found;
}

// The name of a user, or its number.
void UserName(uid_t uid, char* name, size_t size) {
  struct passwd* entry = getpwuid(uid);
  if (entry != nullptr) {
    snprintf(name, size, "%s", entry->pw_name);
  } else {
    snprintf(name, size, "%lu", static_cast<unsigned long>(uid));
  }
}

// The words of pid's command line, NUL-separated in words (len bytes);
// false when it cannot be read.
bool ReadCommandLine(int pid, char* words, size_t size, size_t* len) {
  ssize_t got = ReadProcessFile(pid, "cmdline", words, size);
  *len = got > 0 ? static_cast<size_t>(got) : 0;
  return got > 0;
}

// The result path is the runtime's own view; from the tool's side it lies
// under the runtime's root. Its directory is resolved there, since a
// symlink in it names a directory of the container, not of the host; when
// that fails, the path is named under /proc/<pid>/root as it is. A target
// in the tool's own mount namespace shares its view.
void HostPathOf(int pid, const char* path, char* host, size_t size) {
  if (!GetTargetPlace(pid).other_mount) {
    snprintf(host, size, "%s", path);
    return;
  }
  char dir[1024];
  const char* name = strrchr(path, '/');
  bool resolved = false;
  if (name != nullptr) {
    snprintf(dir, sizeof(dir), "%.*s", name == path ? 1 : static_cast<int>(name - path), path);
    resolved = ResolveInTargetRoot(pid, dir, host, size);
  }
  if (resolved) {
    AppendFormat(host, size, "%s", name);
  } else {
    snprintf(host, size, "/proc/%d/root%s", pid, path);
  }
}

// ---------------------------------------------------------------------------
// Platform facts: /proc on Linux; on macOS the safe answers.
// ---------------------------------------------------------------------------
#if defined(__APPLE__)

// Neither ELF files nor /proc exist here, so no process can be shown to be
// node or to serve its socket: the safe answer is no, and the probe is never
// started.
bool IsNodeProcess(int) { return false; }
// No user namespaces here.
bool SharesUserNamespace(int) { return true; }
// No /proc here.
bool CrossesProcessRoot(const char*) { return false; }
bool ServesControlSocket(int) { return false; }

int GetSocketInodes(int, unsigned long*, int) {
  errno = ENOSYS;
  return -1;
}

int GetTcpListeners(int, TcpSocket*, int) {
  errno = ENOSYS;
  return -1;
}

int SocketInNamespace(int, int domain, int type, int protocol) { return socket(domain, type, protocol); }

int TcpSocketInNamespace(int, int family) { return socket(family, SOCK_STREAM, 0); }

// No /proc to find it in.
int FindSocketHolder(unsigned long) { return -1; }

bool RandomBytes(unsigned char* data, size_t len) {
  // getentropy gives at most 256 bytes a call.
  for (size_t done = 0; done < len; done += 256) {
    if (getentropy(data + done, len - done < 256 ? len - done : 256) != 0) return false;
  }
  return true;
}

// Not looked for here: no cause line names a child.
int GetChildProcesses(int, int*, int) { return 0; }

// The start time here is already microseconds since the epoch.
bool ProcessStartedAtMs(int pid, int64_t* ms) {
  unsigned long long start = 0;
  if (!GetProcessStartTime(pid, &start)) return false;
  *ms = static_cast<int64_t>(start / 1000);
  return true;
}

void ForEachProcess(void (*visit)(int pid, void* context), void* context) {
  static int pids[65536];
  int count = proc_listallpids(pids, sizeof(pids));
  for (int i = 0; i < count && i < 65536; i++) {
    if (pids[i] > 0) visit(pids[i], context);
  }
}

#else  // Linux

// Reads one line of a /proc file into line; a longer line is cut and its
// rest skipped. False at the end.
static bool ReadProcLine(FILE* file, char* line, size_t size) {
  if (fgets(line, static_cast<int>(size), file) == nullptr) return false;
  size_t len = strlen(line);
  if (len > 0 && line[len - 1] == '\n') {
    line[len - 1] = '\0';
  } else {
    int c;
    while ((c = fgetc(file)) != EOF && c != '\n') {
    }
  }
  return true;
}

// Enough for the kernel's default limit of 65530 mappings.
static const int MAX_PROC_LINES = 131072;

// True when the file open on fd exports the addon entry point. A binary
// that many processes run is read once per run: the answers for the last
// few files are kept, by device, inode, size and modification time.
static bool ExportsAddonEntry(int fd) {
  struct KnownFile {
    dev_t dev;
    ino_t ino;
    off_t size;
    struct timespec mtime;
    bool exports;
  };
  static KnownFile known[16];
  static unsigned next = 0;
  struct stat info;
  if (fstat(fd, &info) != 0) return false;
  for (const KnownFile& file : known) {
    if (file.ino == info.st_ino && file.dev == info.st_dev && file.size == info.st_size &&
        file.mtime.tv_sec == info.st_mtim.tv_sec && file.mtime.tv_nsec == info.st_mtim.tv_nsec && file.ino != 0) {
      return file.exports;
    }
  }
  bool exports = ElfExportsSymbol(fd, NODE_ADDON_ENTRY);
  known[next++ % 16] = {info.st_dev, info.st_ino, info.st_size, info.st_mtim, exports};
  return exports;
}

// True when a shared libnode mapped into pid exports the addon entry point.
// The mapped file itself is opened (map_files); where that is not permitted,
// the path the mapping shows, within the process's root.
static bool MapsSharedLibnode(int pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/maps", pid);
  FILE* maps = fopen(path, "re");
  if (maps == nullptr) return false;
  char line[4400], checked[4200] = "";
  bool found = false;
  for (int n = 0; !found && n < MAX_PROC_LINES && ReadProcLine(maps, line, sizeof(line)); n++) {
    unsigned long start, end;
    int name_at = 0;
    // Most lines name no libnode: they are passed over before they are parsed.
    if (strstr(line, "/libnode.so") == nullptr) continue;
    if (sscanf(line, "%lx-%lx %*s %*s %*s %*s %n", &start, &end, &name_at) != 2 || name_at == 0) continue;
    const char* name = line + name_at;
    const char* base = strrchr(name, '/');
    if (name[0] != '/' || base == nullptr || strncmp(base + 1, "libnode.so", 10) != 0 || strcmp(name, checked) == 0) {
      continue;
    }
    snprintf(checked, sizeof(checked), "%s", name);
    snprintf(path, sizeof(path), "/proc/%d/map_files/%lx-%lx", pid, start, end);
    int fd = OpenRegular(open(path, O_PATH | O_CLOEXEC));
    if (fd == -1) fd = OpenRegular(OpenInRoot(pid, name, O_PATH));
    if (fd == -1) continue;
    found = ExportsAddonEntry(fd);
    close(fd);
  }
  fclose(maps);
  return found;
}

bool IsNodeProcess(int pid) {
  if (pid <= 0) return false;
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/exe", pid);
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd != -1) {
    bool exported = ExportsAddonEntry(fd);
    close(fd);
    if (exported) return true;
  }
  return MapsSharedLibnode(pid);
}

// The inodes of the listening stream sockets bound at path, as pid's
// network namespace lists them; at most max of them.
// The names a control socket of inner_pid is bound with: its public path,
// or the private directory the agent binds it in before it moves it to
// that path (/proc/net/unix keeps the name a socket was bound with).
static bool IsControlSocketName(const char* bound, int inner_pid) {
  char name[64];
  snprintf(name, sizeof(name), "/tmp/kestrun-uds-path-%d", inner_pid);
  if (strcmp(bound, name) == 0) return true;
  snprintf(name, sizeof(name), "/tmp/kestrun-bind-%d-", inner_pid);
  const char* rest = bound + strlen(name);
  return StrStartsWith(bound, name) && strchr(rest, '/') != nullptr && strcmp(strchr(rest, '/'), "/socket") == 0;
}

static int ListeningSockets(int pid, int inner_pid, unsigned long* inodes, int max) {
  char unix_path[64];
  snprintf(unix_path, sizeof(unix_path), "/proc/%d/net/unix", pid);
  FILE* file = fopen(unix_path, "re");
  if (file == nullptr) return 0;
  // "Num: RefCount Protocol Flags Type St Inode Path"; the flag 0x10000
  // marks a socket that accepts connections.
  const unsigned long ACCEPTING = 0x10000, STREAM = 1;
  char line[256];
  int count = 0;
  for (int n = 0; count < max && n < MAX_PROC_LINES && ReadProcLine(file, line, sizeof(line)); n++) {
    unsigned long flags, type, state, inode;
    int path_at = 0;
    if (sscanf(line, "%*x: %*x %*x %lx %lx %lx %lu %n", &flags, &type, &state, &inode, &path_at) != 4 || path_at == 0) {
      continue;
    }
    if ((flags & ACCEPTING) != 0 && type == STREAM && IsControlSocketName(line + path_at, inner_pid)) {
      inodes[count++] = inode;
    }
  }
  fclose(file);
  return count;
}

// Whether pid's descriptor fd is a listening socket bound with a control
// socket name of inner_pid, asked of the socket itself (taken through a
// process handle): /proc/net/unix prints a socket's path as it is, so a path
// with a line feed in it adds lines of its own making to that table. 1 yes,
// 0 no, -1 where the socket cannot be taken (no system call, no permission),
// and only the table can tell.
static int IsHeldControlSocket(int pid, int fd, int inner_pid) {
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_getfd)
  int handle = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (handle == -1) return -1;
  int copy = static_cast<int>(syscall(SYS_pidfd_getfd, handle, fd, 0));
  int saved = errno;
  close(handle);
  if (copy == -1) return saved == EBADF ? 0 : -1;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  socklen_t len = sizeof(addr);
  int listening = 0;
  socklen_t listening_len = sizeof(listening);
  const size_t path_at = offsetof(struct sockaddr_un, sun_path);
  bool bound = getsockname(copy, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0 && addr.sun_family == AF_UNIX &&
               len > path_at && len <= sizeof(addr) &&
               getsockopt(copy, SOL_SOCKET, SO_ACCEPTCONN, &listening, &listening_len) == 0 && listening != 0;
  close(copy);
  if (!bound) return 0;
  char name[sizeof(addr.sun_path) + 1];
  snprintf(name, sizeof(name), "%.*s", static_cast<int>(len - path_at), addr.sun_path);
  return IsControlSocketName(name, inner_pid) ? 1 : 0;
#else
  (void)pid;
  (void)fd;
  (void)inner_pid;
  return -1;
#endif
}

// True when one of pid's descriptors is a socket with one of the inodes,
// and, where it can be asked, itself a listener bound as inner_pid's
// control socket.
static bool HoldsSocket(int pid, int inner_pid, const unsigned long* inodes, int count) {
  char fd_path[64];
  snprintf(fd_path, sizeof(fd_path), "/proc/%d/fd", pid);
  DIR* dir = opendir(fd_path);
  if (dir == nullptr) return false;
  bool held = false;
  int n = 0;
  while (!held && n++ < MAX_PROC_LINES) {
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    char target[64];
    ssize_t len = readlinkat(dirfd(dir), entry->d_name, target, sizeof(target) - 1);
    if (len <= 0) continue;
    target[len] = '\0';
    unsigned long inode;
    char close_bracket;
    if (sscanf(target, "socket:[%lu%c", &inode, &close_bracket) != 2 || close_bracket != ']') continue;
    for (int i = 0; i < count; i++) held = held || inodes[i] == inode;
    if (held) held = IsHeldControlSocket(pid, atoi(entry->d_name), inner_pid) != 0;
  }
  closedir(dir);
  return held;
}

bool ServesControlSocket(int pid) {
  if (pid <= 0) return false;
  // Reachable only through its public path.
  char path[256];
  struct stat info;
  FormatSocketPath(path, sizeof(path), pid);
  if (stat(path, &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
  unsigned long inodes[16];
  const int inner_pid = GetTargetPlace(pid).inner_pid;
  int count = ListeningSockets(pid, inner_pid, inodes, 16);
  return count > 0 && HoldsSocket(pid, inner_pid, inodes, count);
}

int GetSocketInodes(int pid, unsigned long* inodes, int max) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/fd", pid);
  DIR* dir = opendir(path);
  if (dir == nullptr) return -1;
  int count = 0;
  while (struct dirent* entry = readdir(dir)) {
    char target[64];
    ssize_t len = readlinkat(dirfd(dir), entry->d_name, target, sizeof(target) - 1);
    if (len <= 0) continue;
    target[len] = '\0';
    unsigned long inode;
    char end;
    if (sscanf(target, "socket:[%lu%c", &inode, &end) == 2 && end == ']' && count < max) inodes[count++] = inode;
  }
  closedir(dir);
  return count;
}

int GetTcpListeners(int pid, TcpSocket* listeners, int max) {
  static const char* const kTables[] = {"tcp", "tcp6"};
  int count = 0;
  for (const char* table : kTables) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/net/%s", pid, table);
    FILE* file = fopen(path, "re");
    if (file == nullptr) {
      // A kernel without IPv6 has no tcp6.
      if (strcmp(table, "tcp6") == 0 && errno == ENOENT) continue;
      return -1;
    }
    char line[256];
    while (fgets(line, sizeof(line), file) != nullptr) {
      TcpSocket socket;
      if (ParseTcpLine(line, &socket) && socket.state == TCP_LISTENING && count < max) listeners[count++] = socket;
    }
    fclose(file);
  }
  return count;
}

// The work of the thread that joins a network namespace to make a socket.
struct NamespaceSocket {
  int namespace_fd;
  int domain;
  int type;
  int protocol;
  int fd;
  int error;
};

static void* MakeSocketInNamespace(void* argument) {
  NamespaceSocket* job = static_cast<NamespaceSocket*>(argument);
  if (setns(job->namespace_fd, CLONE_NEWNET) != 0) {
    job->error = errno;
    return nullptr;
  }
  job->fd = socket(job->domain, job->type | SOCK_CLOEXEC, job->protocol);
  if (job->fd == -1) job->error = errno;
  return nullptr;
}

// A socket keeps the network namespace it was made in, whichever thread
// uses it later; the thread that joined the target's namespace then ends.
int SocketInNamespace(int pid, int domain, int type, int protocol) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/ns/net", pid);
  NamespaceSocket job = {open(path, O_RDONLY | O_CLOEXEC), domain, type, protocol, -1, 0};
  if (job.namespace_fd == -1) return -1;
  struct stat own, target;
  if (stat("/proc/self/ns/net", &own) == 0 && fstat(job.namespace_fd, &target) == 0 && own.st_dev == target.st_dev &&
      own.st_ino == target.st_ino) {
    close(job.namespace_fd);
    return socket(domain, type | SOCK_CLOEXEC, protocol);
  }
  pthread_t thread;
  job.error = pthread_create(&thread, nullptr, MakeSocketInNamespace, &job);
  if (job.error == 0) pthread_join(thread, nullptr);
  close(job.namespace_fd);
  if (job.fd == -1) errno = job.error;
  return job.fd;
}

int TcpSocketInNamespace(int pid, int family) { return SocketInNamespace(pid, family, SOCK_STREAM, 0); }

// Looks through the descriptors of every process; done once, when a
// socket's holder is to be named.
struct HolderSearch {
  unsigned long inode;
  int holder;
};

static void FindHolderIn(int pid, void* context) {
  HolderSearch* search = static_cast<HolderSearch*>(context);
  if (search->holder != -1) return;
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/fd", pid);
  DIR* dir = opendir(path);
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    char target[64];
    ssize_t len = readlinkat(dirfd(dir), entry->d_name, target, sizeof(target) - 1);
    if (len <= 0) continue;
    target[len] = '\0';
    unsigned long inode;
    char end;
    if (sscanf(target, "socket:[%lu%c", &inode, &end) == 2 && end == ']' && inode == search->inode) {
      search->holder = pid;
      break;
    }
  }
  closedir(dir);
}

int FindSocketHolder(unsigned long inode) {
  HolderSearch search = {inode, -1};
  if (inode != 0) ForEachProcess(FindHolderIn, &search);
  return search.holder;
}

bool RandomBytes(unsigned char* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t got = getrandom(data + done, len - done, 0);
    if (got == -1 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

// /proc/<pid>/task/<tid>/children lists the children that thread started.
int GetChildProcesses(int pid, int* children, int max) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/task", pid);
  DIR* dir = opendir(path);
  if (dir == nullptr) return 0;
  int count = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (count >= max) break;
    int tid = atoi(entry->d_name);
    if (tid <= 0) continue;
    char list[4096];
    char name[64];
    snprintf(name, sizeof(name), "task/%d/children", tid);
    if (ReadProcessFile(pid, name, list, sizeof(list)) <= 0) continue;
    for (char* at = list; count < max;) {
      char* end;
      long child = strtol(at, &end, 10);
      if (end == at) break;
      if (child > 0 && child <= INT32_MAX) children[count++] = static_cast<int>(child);
      at = end;
    }
  }
  closedir(dir);
  return count;
}

// The start time counts clock ticks since the boot, which /proc/stat
// names in seconds since the epoch (btime).
bool ProcessStartedAtMs(int pid, int64_t* ms) {
  unsigned long long start = 0;
  long ticks = sysconf(_SC_CLK_TCK);
  if (ticks <= 0 || !GetProcessStartTime(pid, &start)) return false;
  FILE* file = fopen("/proc/stat", "re");
  if (file == nullptr) return false;
  char line[256];
  long long boot = -1;
  while (boot < 0 && ReadProcLine(file, line, sizeof(line))) {
    if (sscanf(line, "btime %lld", &boot) != 1) boot = -1;
  }
  fclose(file);
  if (boot < 0) return false;
  *ms = static_cast<int64_t>(boot) * 1000 + static_cast<int64_t>(start * 1000 / static_cast<unsigned long long>(ticks));
  return true;
}

// /proc lists the processes in ascending pid order.
void ForEachProcess(void (*visit)(int pid, void* context), void* context) {
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9' || strspn(name, "0123456789") != strlen(name) || strlen(name) > 10) continue;
    long pid = strtol(name, nullptr, 10);
    if (pid <= INT32_MAX) visit(static_cast<int>(pid), context);
  }
  closedir(dir);
}

// The user namespaces are compared by their inode, as the mount namespaces
// are; one that may not be looked at counts as another.
bool SharesUserNamespace(int pid) {
  char path[64];
  struct stat own, target;
  snprintf(path, sizeof(path), "/proc/%d/ns/user", pid);
  return stat("/proc/self/ns/user", &own) == 0 && stat(path, &target) == 0 && own.st_dev == target.st_dev &&
         own.st_ino == target.st_ino;
}

// openat2 refuses a path that crosses a magic link (/proc/<pid>/root is
// one) with ELOOP; without openat2, only a path that names /proc itself is
// known to.
bool CrossesProcessRoot(const char* dir) {
#if defined(QUELLIX_FACTS_HAVE_OPENAT2)
  struct open_how how;
  memset(&how, 0, sizeof(how));
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_MAGICLINKS;
  int fd = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, dir, &how, sizeof(how)));
  if (fd >= 0) {
    close(fd);
    return false;
  }
  if (errno != ENOSYS) return errno == ELOOP;
#endif
  return StrStartsWith(dir, "/proc/");
}

#endif
