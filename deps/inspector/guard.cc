// The guard of --attach: an nftables table in the target's network
// namespace that, while quellix holds the target's inspector open, resets
// other users' new connections to the namespace's local ports that nobody
// listened on before (and drops other hosts' attempts), so that only root
// and the target's own user can reach the inspector. It is written by the
// nft program, run in a child that joins the namespace; its rules lapse by
// themselves after GUARD_SECONDS. Uses the tools.
#include "guard.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "tools.h"

static const char kTablePrefix[] = "quellix_";

bool FormatGuardRules(const char* table, unsigned long owner, const int* ports, int count, long long until,
                      const char* stale, char* out, size_t size) {
  // Ports that listened before stay open to everyone.
  static char open_ports[65536];
  open_ports[0] = '\0';
  for (int i = 0; i < count; i++) {
    AppendFormat(open_ports, sizeof(open_ports), "%s%d", i == 0 ? "tcp dport != { " : ", ", ports[i]);
  }
  if (count > 0) AppendFormat(open_ports, sizeof(open_ports), " } ");
  char allowed[64];
  if (owner == 0) {
    snprintf(allowed, sizeof(allowed), "0");
  } else {
    snprintf(allowed, sizeof(allowed), "{ 0, %lu }", owner);
  }
  // A new connection is a SYN without ACK: matching every packet would also
  // cut connections whose answers go to the local side's ephemeral ports.
  const char* syn = "tcp flags & (syn | ack) == syn fib daddr type local";
  snprintf(out, size,
           "%s"
           "table inet %s {\n"
           "  chain output {\n"
           "    type filter hook output priority filter; policy accept;\n"
           "    meta time < %lld %s %smeta skuid != %s reject with tcp reset\n"
           "  }\n"
           "  chain input {\n"
           "    type filter hook input priority filter; policy accept;\n"
           "    meta time < %lld iifname != \"lo\" %s %sdrop\n"
           "  }\n"
           "}\n",
           stale, table, until, syn, open_ports, allowed, until, syn, open_ports);
  const size_t len = strlen(out);
  return len + 1 < size && strlen(open_ports) + 1 < sizeof(open_ports) && out[len - 1] == '\n';
}

// True when the table is a guard of a run that has ended: its name holds the
// run's pid and start time, and no process has both now.
static bool IsStaleGuard(const char* table) {
  int pid;
  unsigned long long start, now;
  int end = 0;
  if (sscanf(table, "quellix_%d_%llu%n", &pid, &start, &end) != 2 || table[end] != '\0' || pid <= 0) return false;
  return !GetProcessStartTime(pid, &now) || now != start;
}

void FormatStaleDeletions(const char* tables, char* out, size_t size) {
  for (const char* line = tables; line != nullptr && *line != '\0';) {
    char table[128];
    if (sscanf(line, "table inet %127s", table) == 1 && StrStartsWith(table, kTablePrefix) && IsStaleGuard(table)) {
      AppendFormat(out, size, "delete table inet %s\n", table);
    }
    line = strchr(line, '\n');
    if (line != nullptr) line++;
  }
}

#if defined(__APPLE__)

// No nftables here.
const char* MissingGuardPiece() { return "nft"; }

bool InstallGuard(int, unsigned long, const int*, int, Guard* guard, char* why, size_t size) {
  guard->installed = false;
  snprintf(why, size, "no nftables on this system");
  return false;
}

bool RemoveGuard(Guard* guard, char*, size_t) {
  guard->installed = false;
  return true;
}

#else  // Linux

#include <sched.h>

// nft, where Debian and others install it; a PATH of the caller's is not
// trusted for a program that runs as root.
static const char* NftPath() {
  static const char* const kPaths[] = {"/usr/sbin/nft", "/sbin/nft", "/usr/local/sbin/nft"};
  for (const char* path : kPaths) {
    struct stat info;
    if (stat(path, &info) == 0 && S_ISREG(info.st_mode) && access(path, X_OK) == 0) return path;
  }
  return nullptr;
}

const char* MissingGuardPiece() {
  if (geteuid() != 0) return "root";
  if (NftPath() == nullptr) return "nft";
  return nullptr;
}

// nft's whole run, within this time.
static const int NFT_WAIT_MS = 5000;

// The child: joins the namespace, takes the pipes as its standard
// descriptors and becomes nft. Never returns.
static void ExecNftIn(int namespace_fd, int input, int output, const char* nft, char* const argv[]) {
  if (setns(namespace_fd, CLONE_NEWNET) != 0) _exit(126);
  if (dup2(input, STDIN_FILENO) == -1 || dup2(output, STDOUT_FILENO) == -1 || dup2(output, STDERR_FILENO) == -1) {
    _exit(126);
  }
  CloseDescriptorsAbove2(-1);
  // The tool holds its ending signals back while it attaches; nft need not.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  char path_variable[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
  char* const envp[] = {path_variable, nullptr};
  execve(nft, argv, envp);
  _exit(127);
}

// Writes all of text into fd; false when it cannot.
static bool WriteAll(int fd, const char* text, size_t len) {
  while (len > 0) {
    ssize_t done = write(fd, text, len);
    if (done == -1 && errno == EINTR) continue;
    if (done <= 0) return false;
    text += done;
    len -= static_cast<size_t>(done);
  }
  return true;
}

// Waits for child until deadline, then kills it; its wait status, or -1.
static int ReapBy(pid_t child, int64_t deadline) {
  int status = 0;
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return status;
    if (done == -1 && errno != EINTR) return -1;
    if (MonotonicMs() >= deadline) break;
    usleep(2000);
  }
  kill(child, SIGKILL);
  while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
  }
  return -1;
}

// Runs nft with args (argv[0] included) and input on its standard input in
// pid's network namespace; its output and errors into output (size bytes).
// True when it exited with 0.
static bool RunNft(int pid, const char* const* args, const char* input, char* output, size_t size) {
  output[0] = '\0';
  const char* nft = NftPath();
  if (nft == nullptr) {
    snprintf(output, size, "nft is not installed");
    return false;
  }
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/ns/net", pid);
  int namespace_fd = open(path, O_RDONLY | O_CLOEXEC);
  if (namespace_fd == -1) {
    snprintf(output, size, "cannot open %s: %s", path, strerror(errno));
    return false;
  }
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    snprintf(output, size, "%s", strerror(errno));
    close(namespace_fd);
    return false;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    snprintf(output, size, "%s", strerror(errno));
    close(namespace_fd);
    close(in[0]);
    close(in[1]);
    return false;
  }
  char* argv[8] = {};
  for (int i = 0; i < 7 && args[i] != nullptr; i++) argv[i] = const_cast<char*>(args[i]);
  fflush(stdout);
  pid_t child = fork();
  if (child == 0) ExecNftIn(namespace_fd, in[0], out[1], nft, argv);
  const int saved = errno;
  close(namespace_fd);
  close(in[0]);
  close(out[1]);
  if (child == -1) {
    close(in[1]);
    close(out[0]);
    snprintf(output, size, "cannot start nft: %s", strerror(saved));
    return false;
  }
  // A ruleset bigger than the pipe is read while it is written.
  signal(SIGPIPE, SIG_IGN);
  WriteAll(in[1], input, strlen(input));
  close(in[1]);
  const int64_t deadline = MonotonicMs() + NFT_WAIT_MS;
  size_t len = 0;
  for (;;) {
    int64_t left = deadline - MonotonicMs();
    if (left <= 0 || WaitReadable(out[0], static_cast<int>(left)) <= 0) break;
    char chunk[512];
    ssize_t got = read(out[0], chunk, sizeof(chunk));
    if (got == -1 && errno == EINTR) continue;
    if (got <= 0) break;
    // What does not fit is read and let go.
    for (ssize_t i = 0; i < got && len + 1 < size; i++) output[len++] = chunk[i];
    output[len] = '\0';
  }
  close(out[0]);
  int status = ReapBy(child, deadline);
  if (status == -1)
    AppendFormat(output, size, "%snft did not finish within %d s", len > 0 ? "; " : "", NFT_WAIT_MS / 1000);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The first line of nft's complaint, for a message.
static void FirstLine(const char* output, const char* fallback, char* why, size_t size) {
  const char* text = output[0] != '\0' ? output : fallback;
  char line[512];
  snprintf(line, sizeof(line), "%.*s", static_cast<int>(strcspn(text, "\n")), text);
  EscapeControls(line, why, size);
}

bool InstallGuard(int pid, unsigned long owner, const int* ports, int count, Guard* guard, char* why, size_t size) {
  // Installed again, the table is replaced in the same transaction, so that
  // the namespace is never without it.
  const bool renew = guard->installed && guard->pid == pid;
  guard->pid = pid;
  unsigned long long start = 0;
  if (!GetProcessStartTime(getpid(), &start)) start = 0;
  snprintf(guard->table, sizeof(guard->table), "%s%d_%llu", kTablePrefix, static_cast<int>(getpid()), start);
  static char tables[65536], stale[16384], rules[262144];
  static const char* const kList[] = {"nft", "list", "tables", nullptr};
  stale[0] = '\0';
  if (renew) snprintf(stale, sizeof(stale), "delete table inet %s\n", guard->table);
  if (RunNft(pid, kList, "", tables, sizeof(tables))) FormatStaleDeletions(tables, stale, sizeof(stale));
  const long long until = static_cast<long long>(time(nullptr)) + GUARD_SECONDS;
  if (!FormatGuardRules(guard->table, owner, ports, count, until, stale, rules, sizeof(rules))) {
    snprintf(why, size, "too many listening ports (%d)", count);
    return false;
  }
  static const char* const kApply[] = {"nft", "-f", "-", nullptr};
  static char output[4096];
  bool done = RunNft(pid, kApply, rules, output, sizeof(output));
  // Another run may have removed a stale table first: without the deletions.
  if (!done && stale[0] != '\0' && !renew) {
    FormatGuardRules(guard->table, owner, ports, count, until, "", rules, sizeof(rules));
    done = RunNft(pid, kApply, rules, output, sizeof(output));
  }
  if (!done) {
    // A guard that was in place stays so until it lapses or is removed.
    guard->installed = renew;
    FirstLine(output, "nft failed", why, size);
    return false;
  }
  guard->installed = true;
  return true;
}

bool RemoveGuard(Guard* guard, char* why, size_t size) {
  if (!guard->installed) return true;
  char rules[128], output[4096];
  snprintf(rules, sizeof(rules), "delete table inet %s\n", guard->table);
  static const char* const kApply[] = {"nft", "-f", "-", nullptr};
  if (!RunNft(guard->pid, kApply, rules, output, sizeof(output))) {
    FirstLine(output, "nft failed", why, size);
    return false;
  }
  guard->installed = false;
  return true;
}

#endif
