// quellix: asks a running kestrun runtime to diagnose itself.
//
// The file reads as the road a command takes: the command table and usage,
// argument parsing, target identification, dispatch and result files, the
// control socket exchange, the deferred stop, the V8 options form and main.
// What the road does not know (--attach, --wait, --list, --json, the ledger,
// the cause lines of a refusal, a result's summary and -o) lives in a file
// of its own beside it, reached by one call where the road branches off; it
// uses those and the tools.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "attach.h"
#include "commands.h"
#include "elf_reader.h"
#include "english.h"
#include "ledger.h"
#include "list.h"
#include "options.h"
#include "output.h"
#include "refusal.h"
#include "report.h"
#include "result.h"
#include "stack.h"
#include "system_facts.h"
#include "tools.h"
#include "wait.h"

// The probe's environment; macOS declares it in no header.
extern char** environ;  // NOLINT(readability-redundant-declaration)

// ---------------------------------------------------------------------------
// Command table, constants and usage
// ---------------------------------------------------------------------------

namespace inspector {

// Row i stands for bit i of the command mask. The last row is the duration
// prefix, which is never matched as a command.
// clang-format off
const char CmdName[16][64] = {
    "--heapdump",       "--force_gc",           "--enable_node_log", "--disable_node_log",
    "--start_timeline", "--stop_timeline",      "--start_profiling", "--stop_profiling",
    "--start_heap_profiling", "--stop_heap_profiling", "--v8-options", "--stop-v8-options",
    "--print_v8flags",  "--diag_report",        "--child_to_parent", "time=",
};
// clang-format on

}  // namespace inspector

const int COMMAND_ROWS = 15;
const int DURATION_ROW = 15;

// The control message: mask, sender pid, then at most 503 characters of the
// option text and its NUL.
static const int MESSAGE_SIZE = 512;
static const int MESSAGE_TEXT_OFFSET = 8;
static const int MESSAGE_TEXT_MAX = MESSAGE_SIZE - MESSAGE_TEXT_OFFSET - 1;
static const int REPLY_WAIT_MS = 1000;

const int DEFAULT_DURATION = 180;

const char* NODE_LOG_DIR_ENV = "NODE_LOG_DIR=";
const char* NODE_LOG_DIR_ENV_NAME = "NODE_LOG_DIR";
const char* DEFAULT_LOG_DIR = "/tmp/";

// The V8 flags of the command line, each followed by one blank, then the
// result-file option that dispatch appends.
char g_shm_buffer[OPTION_TEXT_SIZE];

static const char kUsage[] =
    "Usage:\nquellix <options> node_pid OR\nquellix --v8-options  <options> [time=99h99m99s] --pid=<kestrun_pid>\n    --heapdump\n    --force_gc\n    --enable_node_log\n    --disable_node_log\n    --start_timeline\n    --start_heap_profiling\n    --start_profiling\n    --v8-options\n    --print_v8flags\n    --diag_report\n    time=99h99m99s\n** Signal will be sent to the specified node instance only.\n";

static void PrintUsage() { printf("%s", kUsage); }

// The build names the version; a build without it still says something true.
#ifndef QUELLIX_VERSION
#define QUELLIX_VERSION "(unknown version)"
#endif

bool GetProcessID(const std::string& text, int* pid);
void GetTimeInSecond(const std::string& arg, int* duration);
int sendUdsMessage(int pid, unsigned int mask);
void SendTerminateSignal(int pid, int stop_kind);
static bool IsKestrun(int pid);
static int AttachHere(int pid, bool guarded);
static int WaitHere(int pid, const char* path, int limit, int stop_kind, int duration);
static int StackHere(int pid);

// Seams for tests that include this file: the probe, the load of --attach,
// the exchange, the wait for a result file, the stack and the process list
// are the only ways out of the process, and a test may put stand-ins in
// their place.
static bool (*g_probe)(int pid) = IsKestrun;
static int (*g_attach)(int pid, bool guarded) = AttachHere;
static int (*g_exchange)(int pid, unsigned int mask) = sendUdsMessage;
static int (*g_wait)(int pid, const char* path, int limit, int stop_kind, int duration) = WaitHere;
static int (*g_stack)(int pid) = StackHere;
static int (*g_list)(bool json) = ListProcesses;

// ---------------------------------------------------------------------------
// Argument parsing
// ---------------------------------------------------------------------------

// The C locale's digit test on a signed byte: a byte with the high bit set is
// no digit.
static bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

bool GetProcessID(const std::string& text, int* pid) {
  if (text.size() > 10) return false;
  for (char c : text) {
    if (!IsDecimalDigit(c)) return false;
  }
  long long value = atoll(text.c_str());
  if (value > INT_MAX || value <= 0) return false;
  *pid = static_cast<int>(value);
  return true;
}

// Reads a number as atoi does (blanks, a sign, digits up to the first other
// character), but saturates at the bounds of int instead of overflowing.
static int64_t ReadUnitNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) i++;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const int64_t limit = static_cast<int64_t>(INT_MAX) + 1;
  int64_t value = 0;
  for (; i < text.size() && IsDecimalDigit(text[i]); i++) {
    value = value * 10 + (text[i] - '0');
    if (value > limit) value = limit;
  }
  if (negative) return -value;
  return value > INT_MAX ? INT_MAX : value;
}

// Only a unit letter found after the position reached so far counts; every
// search starts from the beginning of the text, so only the first h, m and s
// are ever seen.
void GetTimeInSecond(const std::string& arg, int* duration) {
  const std::string rest = arg.substr(strlen(inspector::CmdName[DURATION_ROW]));
  int64_t total = 0;
  size_t position = 0;
  size_t h = rest.find('h');
  if (h != std::string::npos) {
    total += ReadUnitNumber(rest.substr(0, h)) * 3600;
    position = h + 1;
  }
  size_t m = rest.find('m');
  if (m != std::string::npos && position < m) {
    total += ReadUnitNumber(rest.substr(position, m - position)) * 60;
    position = m + 1;
  }
  size_t s = rest.find('s');
  if (s != std::string::npos && position < s) {
    total += ReadUnitNumber(rest.substr(position, s - position));
  }
  *duration = (total < 0 || total > NO_LIMIT) ? NO_LIMIT : static_cast<int>(total);
}

// Classifies one argument of the command form; false when it is none of a
// command name, a duration or (while no pid is set) a pid.
static bool ParseArgument(const char* arg, unsigned int* mask, int* pid, int* duration) {
  bool recognised = false;
  for (int row = 0; row < COMMAND_ROWS; row++) {
    if (strcmp(arg, inspector::CmdName[row]) == 0) {
      *mask |= 1u << row;
      recognised = true;
      break;
    }
  }
  if (IsDurationInput(arg)) {
    GetTimeInSecond(arg, duration);
    recognised = true;
  }
  if (!recognised && *pid == -1) recognised = GetProcessID(arg, pid);
  return recognised;
}

static void ReportUnsupported(const char* arg) {
  printf("unsupported option: %s\n", arg);
  PrintUsage();
}

// ---------------------------------------------------------------------------
// Target identification
// ---------------------------------------------------------------------------

static const int PROBE_TIME_LIMIT_MS = 10000;
static ProbeOutcome g_probe_outcome;

// The process that identification looked at, as a descriptor of its own (a
// pidfd): the kick goes through it, so a process that took the pid later
// gets nothing. -1 where the system has none.
static int g_target_handle = -1;

// Root must not run another user's program with root's rights: a probe of
// another user's runtime takes that user's identity (it is dropped).
struct ProbeIdentity {
  bool drop;
  uid_t uid;
  gid_t gid;
};

// False when root cannot learn the owner, so that no identity fits.
static bool ChooseProbeIdentity(int pid, ProbeIdentity* who) {
  who->drop = false;
  if (geteuid() != 0) return true;
  if (!GetProcessOwner(pid, &who->uid, &who->gid)) return false;
  who->drop = who->uid != geteuid();
  return true;
}

// True while pid still names the process that identification began with:
// it started at start, the process of the handle taken after that has not
// ended (so the pid was not reused), and its owner is the one read before
// (a set-user-ID program run since could have changed it). What was read of
// it by pid in between, its running executable above all, is then its own
// and is never run with another process's identity.
static bool IsStillTarget(int pid, unsigned long long start, const ProbeIdentity& who) {
  unsigned long long now_start;
  ProbeIdentity now;
  if (!GetProcessStartTime(pid, &now_start) || now_start != start) return false;
  if (g_target_handle != -1 && SignalProcess(pid, g_target_handle, 0) != 0) return false;
  if (!ChooseProbeIdentity(pid, &now) || now.drop != who.drop) return false;
  return !who.drop || (now.uid == who.uid && now.gid == who.gid);
}

static bool DropIdentity(const ProbeIdentity& who) {
  return setgroups(1, &who.gid) == 0 && setgid(who.gid) == 0 && setuid(who.uid) == 0;
}

// What a dropped probe needs of the tool's environment to start node and
// find its modules, nothing else: no token or secret set for the tool. The
// LC_ prefix takes LC_ALL and every other locale variable.
static const char* const kProbeVariables[] = {
    "PATH=", "NODE_OPTIONS=", "NODE_PATH=", "LD_LIBRARY_PATH=", "TZ=", "LANG=", "LC_"};
static const int PROBE_ENV_ENTRIES = 64;

// Fills envp (PROBE_ENV_ENTRIES + 3 entries) with those variables as the
// tool has them, ENABLE_NODE_LOG=NO and HOME=/.
static void DroppedEnvironment(char** envp) {
  static char no_log[] = "ENABLE_NODE_LOG=NO";
  static char home[] = "HOME=/";
  int count = 0;
  for (char** entry = environ; *entry != nullptr && count < PROBE_ENV_ENTRIES; entry++) {
    for (const char* prefix : kProbeVariables) {
      if (StrStartsWith(*entry, prefix)) {
        envp[count++] = *entry;
        break;
      }
    }
  }
  envp[count++] = no_log;
  envp[count++] = home;
  envp[count] = nullptr;
}

// The signals that end the tool while a probe runs: the probe's whole group
// is ended first, then the tool ends as the signal would end it.
static volatile sig_atomic_t g_probe_group = 0;
static struct sigaction g_saved_actions[3];

static void EndProbeGroupAndDie(int signo) {
  pid_t group = g_probe_group;
  if (group > 0) {
    kill(-group, SIGKILL);
    kill(group, SIGKILL);  // not yet the leader of its own group
  }
  signal(signo, SIG_DFL);
  // Delivered once the handler returns, with the default action.
  raise(signo);
}

// A signal ignored when the tool started (as under nohup) stays ignored.
static void WatchEndSignals(bool on) {
  for (int i = 0; i < 3; i++) {
    if (!on) {
      sigaction(kEndSignals[i], &g_saved_actions[i], nullptr);
      continue;
    }
    sigaction(kEndSignals[i], nullptr, &g_saved_actions[i]);
    if (g_saved_actions[i].sa_handler == SIG_IGN) continue;
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = EndProbeGroupAndDie;
    sigaction(kEndSignals[i], &action, nullptr);
  }
}

// The probe's side of the fork; never returns. It gets nothing of the tool
// beyond what identification needs: the running executable (exe), no input,
// its output to the pipe, a session of its own without a terminal, no other
// descriptor, and, as another user, a pipe as standard error and only the
// variables above. It dies with the tool.
static void RunProbe(int exe, const char* path, int out_fd, int err_fd, const ProbeIdentity& who, pid_t tool) {
  for (int signo : kEndSignals) signal(signo, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (setsid() == -1) _exit(127);
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd == -1 || dup2(null_fd, STDIN_FILENO) == -1 || dup2(out_fd, STDOUT_FILENO) == -1) _exit(127);
  if (err_fd != -1 && dup2(err_fd, STDERR_FILENO) == -1) _exit(127);
  CloseDescriptorsAbove2(exe);
  // Relative words of the command line (a shell's "-p process.kestrun" runs
  // ./process.kestrun) must not reach the caller's directory.
  if (chdir("/") != 0) _exit(127);
  char* dropped[PROBE_ENV_ENTRIES + 3];
  if (who.drop) {
    DroppedEnvironment(dropped);
    if (!DropIdentity(who)) _exit(127);
  } else if (setenv("ENABLE_NODE_LOG", "NO", 1) != 0) {
    _exit(127);
  }
  // After the change of identity, which clears it; a tool that ended
  // before this point is seen as a new parent.
  EndWithParent();
  if (getppid() != tool) _exit(127);
  char* const argv[] = {const_cast<char*>(path), const_cast<char*>("-p"), const_cast<char*>("process.kestrun"),
                        nullptr};
  ExecuteOpenFile(exe, path, argv, who.drop ? dropped : environ);
  _exit(127);
}

// Takes one read of a dropped probe's standard error: its first line goes
// into the outcome, the rest is dropped, so that a probe writing much there
// is never held up. Sets *fd to -1 at its end.
static void TakeProbeError(int* fd) {
  char chunk[512];
  ssize_t got = read(*fd, chunk, sizeof(chunk));
  if (got < 0 && errno == EINTR) return;
  if (got <= 0) {
    *fd = -1;
    return;
  }
  char* said = g_probe_outcome.said;
  size_t len = strlen(said);
  for (ssize_t i = 0; i < got && !g_probe_outcome.said_ended; i++) {
    g_probe_outcome.said_ended = chunk[i] == '\n' || chunk[i] == '\0' || len + 1 >= PROBE_SAID_SIZE;
    if (!g_probe_outcome.said_ended) said[len++] = chunk[i];
  }
  said[len] = '\0';
}

// Reads the probe's first line as fgets would: at most size - 1 bytes, up to
// and including the first line end; a dropped probe's standard error is read
// alongside. False when nothing came in time.
static bool ReadProbeOutput(int out_fd, int err_fd, char* line, size_t size, int64_t deadline) {
  size_t len = 0;
  line[0] = '\0';
  bool done = false;
  while (!done && len + 1 < size) {
    int64_t left = deadline - MonotonicMs();
    if (left <= 0) break;
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int ready = poll(fds, 2, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    if (fds[1].revents != 0) TakeProbeError(&err_fd);
    if (fds[0].revents == 0) continue;
    ssize_t got = read(out_fd, line + len, size - 1 - len);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    line[len + got] = '\0';
    char* end = static_cast<char*>(memchr(line + len, '\n', got));
    len += got;
    if (end != nullptr) {
      end[1] = '\0';
      len = end + 1 - line;
      done = true;
    }
  }
  // What a probe that failed at once said before it ended is in the pipe.
  for (int reads = 0; err_fd != -1 && reads < 16 && WaitReadable(err_fd, 0) > 0; reads++) TakeProbeError(&err_fd);
  return len > 0;
}

// The first line has decided (or the time is up, or the output closed):
// whatever the probe and what it started still do is of no use, and a
// module preloaded through NODE_OPTIONS may keep them alive. SIGKILL cannot
// be caught, so the blocking wait ends; a probe that may not be signalled
// (a set-user-ID program) is left to end by itself.
static void EndProbe(pid_t child) {
  kill(-child, SIGKILL);
  if (kill(child, SIGKILL) != 0 && errno == EPERM) {
    waitpid(child, nullptr, WNOHANG);
    return;
  }
  while (waitpid(child, nullptr, 0) == -1 && errno == EINTR) {
  }
}

// Starts the running executable (open on exe, its path for argv[0]) with
// "-p process.kestrun", as who: a kestrun runtime prints a first line other
// than "undefined".
static bool IsKestrunFromPathAndPid(const char* path, int pid, int exe, const ProbeIdentity& who) {
  (void)pid;  // the answer depends on the executable alone
  int out[2], err[2] = {-1, -1};
  if (pipe(out) != 0) return false;
  if (who.drop && pipe(err) != 0) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  // The probe closes what it does not use; nothing else started later may
  // inherit the pipes.
  for (int fd : {out[0], out[1], err[0], err[1]}) {
    if (fd != -1) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  fflush(stdout);
  // The probe's pid is known to the handlers before any of them can run.
  sigset_t ending, previous;
  sigemptyset(&ending);
  for (int signo : kEndSignals) sigaddset(&ending, signo);
  sigprocmask(SIG_BLOCK, &ending, &previous);
  WatchEndSignals(true);
  const pid_t tool = getpid();
  pid_t child = fork();
  if (child == 0) RunProbe(exe, path, out[1], err[1], who, tool);
  if (child > 0) g_probe_group = child;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  close(out[1]);
  if (err[1] != -1) close(err[1]);
  bool answered = false;
  char line[128];
  if (child > 0) {
    answered = ReadProbeOutput(out[0], err[0], line, sizeof(line), MonotonicMs() + PROBE_TIME_LIMIT_MS);
    EndProbe(child);
  }
  sigprocmask(SIG_BLOCK, &ending, nullptr);
  g_probe_group = 0;
  WatchEndSignals(false);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  close(out[0]);
  if (err[0] != -1) close(err[0]);
  if (!answered) return false;
  RemoveCRNL(line);
  g_probe_outcome.answered_undefined = strcmp(line, "undefined") == 0;
  return !g_probe_outcome.answered_undefined;
}

static bool IsKestrun(int pid) {
  memset(&g_probe_outcome, 0, sizeof(g_probe_outcome));
  unsigned long long start = 0;
  bool started = GetProcessStartTime(pid, &start);
  if (g_target_handle != -1) close(g_target_handle);
  g_target_handle = OpenProcessHandle(pid);
  // Nothing of a container is ever run: its program, its files and its
  // environment are its own. The exchange decides, with its own checks.
  if (GetTargetPlace(pid).other_mount) return true;
  // The owner is read before the executable is opened, and both are
  // confirmed to be one process's below.
  ProbeIdentity who;
  if (!started || !ChooseProbeIdentity(pid, &who)) return false;
  // The running binary, opened once: what is checked is what is run, even
  // after the file at its path was replaced.
  char path[1024];
  memset(path, 0, sizeof(path));
  int exe = OpenRunningExecutable(pid, path, sizeof(path));
  if (exe == -1) {
    g_probe_outcome.path_error = errno;
    return false;
  }
  // Only a Node.js-based runtime is ever run: a mistyped pid must not start
  // a second copy of some server that reads "-p" as its port.
  bool runtime = ElfExportsSymbol(exe, NODE_ADDON_ENTRY) || IsNodeProcess(pid) || ServesControlSocket(pid);
  bool answer = runtime && IsStillTarget(pid, start, who) && IsKestrunFromPathAndPid(path, pid, exe, who);
  close(exe);
  return answer;
}

// Reports a refused target: the refusal, then the first cause that applies.
static void ReportRefusedTarget(int pid, bool v8_form) {
  if (v8_form) {
    printf("Please check if pid:%d is kestrun process.\n", pid);
  } else {
    printf("Please check if pid %d is node process.\n", pid);
  }
  SayWhyRefused(pid, g_probe_outcome);
}

// Quotes text for the shell as one word; false when it does not fit.
static bool ShellQuote(const char* text, char* out, size_t size) {
  size_t len = 0;
  auto put = [&](const char* piece) {
    size_t n = strlen(piece);
    if (len + n >= size) return false;
    memcpy(out + len, piece, n + 1);
    len += n;
    return true;
  };
  if (!put("'")) return false;
  for (const char* c = text; *c != '\0'; c++) {
    char one[2] = {*c, '\0'};
    if (!put(*c == '\'' ? "'\\''" : one)) return false;
  }
  return put("'");
}

// Finds the runtimes whose process listing matches name; returns how many
// were stored in pids (at most 1024).
int GetPIDs(const char* name, int* pids) {
  int count = 0;
  char quoted[900];
  if (!ShellQuote(name, quoted, sizeof(quoted))) return 0;
  char command[1024];
  snprintf(command, sizeof(command), "ps -e|grep %s|grep -v func|awk '{print $1}'", quoted);
  FILE* pipe = popen(command, "r");  // NOLINT(cert-env33-c): the name is one quoted word
  if (pipe == nullptr) return 0;
  // The probes started below must not inherit the lookup's output.
  fcntl(fileno(pipe), F_SETFD, FD_CLOEXEC);
  char line[32];
  while (fgets(line, sizeof(line), pipe) != nullptr) {
    int pid = atoi(line);
    if (!g_probe(pid)) continue;
    if (count < 1024) {
      pids[count++] = pid;
    } else {
      printf("Too many node instances, please send signal manually to %d.\n", pid);
    }
  }
  pclose(pipe);
  return count;
}

// ---------------------------------------------------------------------------
// Dispatch and result files
// ---------------------------------------------------------------------------

static void PrintNow() {
  time_t now = time(nullptr);
  struct tm* local = localtime(&now);
  printf("%4d-%02d-%02d %02d:%02d:%02d\n\n", local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour,
         local->tm_min, local->tm_sec);
  MarkNoError();
}

static bool IsLogFileNeeded(int mask) {
  const unsigned int file_bits =
      HEAPDUMP | START_PROFILING | PRINT_V8FLAGS | START_TIMELINE | DIAG_REPORT | START_HEAP_PROFILING;
  unsigned int bits = static_cast<unsigned int>(mask);
  if ((bits & file_bits) != 0) return true;
  if ((bits & V8_OPTIONS) == 0) return false;
  return IsTraceGcCommand(g_shm_buffer) || IsProfCommand(g_shm_buffer) || IsBasicProfCommand(g_shm_buffer) ||
         IsOtherCommandNeedLogFile(g_shm_buffer);
}

// Writes dir with exactly one '/' at its end.
static void WriteLogDir(char* dir, const char* value) {
  size_t len = strlen(value);
  snprintf(dir, 1024, (len > 0 && value[len - 1] == '/') ? "%s" : "%s/", value);
}

// The target's own NODE_LOG_DIR wins over the tool's; /tmp/ is the fallback,
// said unless quietly. value, when given, receives the chosen setting as
// found (1024 bytes).
static bool GetLogDir(int pid, char* dir, char* value = nullptr, bool quietly = false) {
  char found[1024];
  const char* own = getenv(NODE_LOG_DIR_ENV_NAME);
  // A target in another mount namespace sees other directories: the tool's
  // own setting names one of the tool's side.
  if (GetTargetPlace(pid).other_mount) own = nullptr;
  if (GetTargetVariable(pid, NODE_LOG_DIR_ENV, found, sizeof(found))) {
    // the target's own
  } else if (own != nullptr && own[0] != '\0') {
    snprintf(found, sizeof(found), "%s", own);
  } else {
    if (!quietly) printf("%s not configured, default dir %s is used\n", NODE_LOG_DIR_ENV_NAME, DEFAULT_LOG_DIR);
    MarkNoError();
    snprintf(found, sizeof(found), "%s", DEFAULT_LOG_DIR);
  }
  WriteLogDir(dir, found);
  if (value != nullptr) snprintf(value, 1024, "%s", found);
  return true;
}

// The option text separates its words by blanks, so the runtime would take a
// path with white space for two words and write to the first.
static bool HasWhiteSpace(const char* text) { return strpbrk(text, " \t\n\r\v\f") != nullptr; }

// One row of result files: the first row whose bit is in the mask, or whose
// classifier holds for the option text, names the file. A row with neither
// takes every case that reaches it.
struct ResultFile {
  unsigned int bit;
  bool (*classifier)(const char* text);
  const char* prefix;  // nullptr: the fixed perf map name, without a timestamp
  const char* extension;
  const char* status;
  const char* hint;  // nullptr: no wait hint
  int stop_kind;
};

// clang-format off
static const ResultFile kResultFiles[] = {
    {HEAPDUMP, nullptr, "heapdump", "heapsnapshot", "heapdump文件路径:%s\nheapdump可能需要数秒或数分钟.\n", nullptr, 0},
    {START_PROFILING, nullptr, "cpu-profile", "cpuprofile", "Profiling文件路径:%s\n", "请等待%d秒后读取此cpu-profiling结果.\n", 1},
    {START_TIMELINE, nullptr, "timeline", "heaptimeline", "heaptimeline文件路径:%s\n", "请等待%d秒后读取此timeline结果.\n", 3},
    {START_HEAP_PROFILING, nullptr, "heap-profile", "heapprofile", "heapprofile文件路径:%s\n", "请等待%d秒后读取此heap-profile结果.\n", 4},
    {PRINT_V8FLAGS, nullptr, "v8flags", "txt", "v8flags文件路径:%s\n", nullptr, 0},
    {DIAG_REPORT, nullptr, "diagnostic-report", "diag", "diagnostic-report文件路径:%s\n", nullptr, 0},
    {0, IsTraceGcCommand, "gc-log", "txt", "gc-log文件路径:%s\n", "请等待%d秒后读取此gc-log.\n", 2},
    {0, IsProfCommand, "prof", "v8.log", "Prof文件路径:%s\n", "请等待%d秒后读取此prof结果.\n", 2},
    {0, IsBasicProfCommand, nullptr, nullptr, "basic-prof文件路径:%s\n", "请等待%d秒后读取此basic-prof结果.\n", 2},
    {0, nullptr, "others", "v8options", "v8options文件路径:%s\n", "请等待%d秒后读取.\n", 2},
};
// clang-format on

static const ResultFile& FindResultFile(unsigned int mask) {
  const size_t rows = sizeof(kResultFiles) / sizeof(kResultFiles[0]);
  for (size_t i = 0; i + 1 < rows; i++) {
    const ResultFile& row = kResultFiles[i];
    if ((row.bit & mask) != 0) return row;
    if (row.classifier != nullptr && row.classifier(g_shm_buffer)) return row;
  }
  return kResultFiles[rows - 1];
}

// Names the result file into path (1024 bytes), tells the runtime its path
// through the option text and composes the status text; returns the row's
// stop kind, or -1 when the log directory cannot be given to the runtime.
static int NameResultFile(int pid, unsigned int mask, int duration, char* path, char* status, size_t status_size) {
  char dir[1024], value[1024];
  GetLogDir(pid, dir, value);
  const ResultFile& row = FindResultFile(mask);
  if (row.prefix == nullptr) {
    // The runtime names its perf map with its own pid, which differs from
    // the one given in another pid namespace.
    snprintf(path, 1024, "/tmp/perf-%d.map", GetTargetPlace(pid).inner_pid);
  } else {
    if (HasWhiteSpace(value)) {
      char shown[4096];
      EscapeControls(value, shown, sizeof(shown));
      printf("Log directory \"%s\" contains white space, which the runtime cannot take in a result path.\n", shown);
      return -1;
    }
    path[0] = '\0';
    AppendFormat(path, 1024, "%s%s-%d", dir, row.prefix, pid);
    AttachTimeStamp(path, row.extension, 8);
  }
  // The runtime gets the path as it is; the user sees its control
  // characters escaped.
  char shown[4096];
  EscapeControls(path, shown, sizeof(shown));
  snprintf(status, status_size, ShownText(row.status), shown);
  if (row.hint != nullptr && duration != NO_LIMIT) {
    size_t len = strlen(status);
    if (len + 1 < status_size) snprintf(status + len, status_size - len, ShownText(row.hint), duration);
  }
  AppendFormat(g_shm_buffer, sizeof(g_shm_buffer), "%s%s ", "--specified_log_path=", path);
  return row.stop_kind;
}

// The plain confirmation: each bit that applies writes the text anew, so the
// last one stands.
static void ComposeConfirmation(unsigned int mask, char* status, size_t status_size) {
  // The flags as the message carries them: a longer text is never sent.
  if (mask & V8_OPTIONS) {
    snprintf(status, status_size, ShownText("v8-options:\n%.*s\n发送成功.\n"), MESSAGE_TEXT_MAX, g_shm_buffer);
  }
  if (mask & FORCE_GC) snprintf(status, status_size, "%s", ShownText("强制fullGC一次.\n"));
  if (mask & ENABLE_NODE_LOG) snprintf(status, status_size, "%s", ShownText("日志功能已经打开\n"));
  if (mask & DISABLE_NODE_LOG) snprintf(status, status_size, "%s", ShownText("日志功能已经关闭\n"));
}

// The extension of the result file that mask makes the runtime write (for
// a stop, that of the activity it ends; "" where that is not known), or
// null when it writes none: what -o is checked against.
static const char* ResultExtensionOf(unsigned int mask) {
  if (IsLogFileNeeded(static_cast<int>(mask))) {
    const char* extension = FindResultFile(mask).extension;
    return extension != nullptr ? extension : "map";
  }
  static const struct {
    unsigned int bit;
    const char* extension;
  } kStopped[] = {{STOP_PROFILING, "cpuprofile"},
                  {STOP_TIMELINE, "heaptimeline"},
                  {STOP_HEAP_PROFILING, "heapprofile"},
                  {STOP_V8_OPTIONS, ""}};
  for (const auto& stop : kStopped) {
    if ((mask & stop.bit) != 0) return stop.extension;
  }
  return nullptr;
}

// -o is checked before anything reaches the target.
static bool OutputFits(unsigned int mask, const OwnOptions& own) {
  return own.output == nullptr || CheckOutput(own.output, ResultExtensionOf(mask), own.force);
}

static void PrintHostPath(int pid, const char* path) {
  char host[2048], shown[8192];
  HostPathOf(pid, path, host, sizeof(host));
  EscapeControls(host, shown, sizeof(shown));
  printf("Host path: %s\n", shown);
}

// What one delivery came to: whether the exchange went through, and the
// result file it named with the stop kind of its row (also for a run
// without a time limit, which schedules no stop).
struct Delivery {
  bool delivered;
  int stop_kind;
  char path[1024];
};

// Delivers one command and returns the stop kind to schedule. out, when
// given, receives what the delivery came to.
static int SendSignal(int pid, unsigned int mask, int duration, Delivery* out = nullptr) {
  if (out != nullptr) memset(out, 0, sizeof(*out));
  int stop_kind = 0;
  char status[1024], path[1024];
  status[0] = '\0';
  path[0] = '\0';
  PrintNow();
  if (IsLogFileNeeded(static_cast<int>(mask))) {
    stop_kind = NameResultFile(pid, mask, duration, path, status, sizeof(status));
    if (stop_kind == -1) return 0;
  } else {
    ComposeConfirmation(mask, status, sizeof(status));
  }
  if (g_exchange(pid, mask) == -1) return 0;
  if (out != nullptr) {
    out->delivered = true;
    out->stop_kind = stop_kind;
    snprintf(out->path, sizeof(out->path), "%s", path);
  }
  printf("%s", status);
  if (path[0] != '\0' && GetTargetPlace(pid).other_mount) PrintHostPath(pid, path);
  return duration == NO_LIMIT ? 0 : stop_kind;
}

// ---------------------------------------------------------------------------
// Control socket exchange
// ---------------------------------------------------------------------------

static void BuildMessage(char* message, unsigned int mask) {
  memset(message, 0, MESSAGE_SIZE);
  int sender = getpid();
  memcpy(message, &mask, sizeof(mask));
  memcpy(message + 4, &sender, sizeof(sender));
  // At most 503 characters, so the NUL always lies inside the message.
  memcpy(message + MESSAGE_TEXT_OFFSET, g_shm_buffer, strnlen(g_shm_buffer, MESSAGE_TEXT_MAX));
}

// The mark of an accepting first reply after which no kick is needed (the
// agent serves its socket from a thread of its own): "NK" in bytes 1-2 and
// a text that begins with this.
static const char kNoKickText[] = "no kick needed";

static bool SaysNoKick(const char* reply, ssize_t received) {
  const size_t text_len = sizeof(kNoKickText) - 1;
  return received >= static_cast<ssize_t>(3 + text_len) && reply[1] == 'N' && reply[2] == 'K' &&
         memcmp(reply + 3, kNoKickText, text_len) == 0;
}

// A first refusal marked "AA" in bytes 1-2: the runtime is working its
// answer out (it counts its heap's objects, which outlasts a reply's wait)
// and gives it to the next ask. quellix asks again every half second, for
// at most half a minute; what the last ask gets is the answer.
static const int ASK_AGAIN = -2;
static const int ASK_AGAIN_FOR_MS = 30000;
static const useconds_t ASK_AGAIN_EVERY_US = 500000;
// The pause between two asks; the fuzz driver shortens it.
static useconds_t g_ask_again_every_us = ASK_AGAIN_EVERY_US;
// The text of the last refusal that asked to be asked again.
static char g_ask_again_text[MESSAGE_SIZE];

static bool AsksAgain(const char* reply, ssize_t received) {
  return received > 3 && reply[0] == 'N' && reply[1] == 'A' && reply[2] == 'A';
}

// Reads one reply after its wait; -1 on a refusal (printed), 0 otherwise.
// A connection closed before any byte of the first reply is no acceptance;
// after an accepting first reply the command was taken already. no_kick,
// when given, tells whether an accepting reply carries the no-kick mark.
static int ReadReply(int fd, bool first, bool* no_kick = nullptr, bool may_ask_again = false) {
  char reply[MESSAGE_SIZE];
  memset(reply, 0, sizeof(reply));
  ssize_t received = recv(fd, reply, sizeof(reply), 0);
  if (first && IsClosedWithoutReply(received)) return -1;
  if (reply[0] != 'N') {
    if (no_kick != nullptr) *no_kick = SaysNoKick(reply, received);
    return 0;
  }
  if (first && may_ask_again && AsksAgain(reply, received)) {
    snprintf(g_ask_again_text, sizeof(g_ask_again_text), "%.*s", static_cast<int>(received - 3), reply + 3);
    return ASK_AGAIN;
  }
  PrintRefusal(reply, received);
  return -1;
}

// The exchange on a connected socket: message, first reply, kick (none
// after the no-kick mark), second reply.
static int Exchange(int fd, int pid, unsigned int mask, const char* path, bool may_ask_again) {
  // Only the target itself, the process identified, may get the option
  // text and cause a kick.
  if (!IsServedByTarget(fd, path, pid, g_target_handle)) return -1;
  char message[MESSAGE_SIZE];
  BuildMessage(message, mask);
  send(fd, message, sizeof(message), 0);

  int ready = WaitReadable(fd, REPLY_WAIT_MS);
  if (ready <= 0) {
    printf("Runtime is busy, please try later. %d\n", ready);
    return -1;
  }
  bool no_kick = false;
  int first = ReadReply(fd, true, &no_kick, may_ask_again);
  if (first != 0) return first;

  // A runtime that needs no kick sends its second reply by itself: no
  // signal reaches it, so none can set off a handler of the application.
  if (!no_kick) {
    // A process without a handler would be ended by the kick signal.
    if (!IsSignalCaught(pid, SIGUSR2)) {
      printf("Pid %d does not handle the kick signal; not sent.\n", pid);
      return -1;
    }
    // Through the descriptor of the process that was identified.
    SignalProcess(pid, g_target_handle, SIGUSR2);
  }

  ready = WaitReadable(fd, REPLY_WAIT_MS);
  if (ready <= 0) {
    // The runtime took the message; only its second reply is late.
    printf("Runtime is busy, please try later.. %d\n", ready);
    return 0;
  }
  return ReadReply(fd, false);
}

int sendUdsMessage(int pid, unsigned int mask) {
  // The message carries 503 characters; cutting the rest would send other
  // flags than the user gave, or lose the result path.
  size_t text_len = strlen(g_shm_buffer);
  if (text_len > static_cast<size_t>(MESSAGE_TEXT_MAX)) {
    printf("Option text too long for the control message (%d characters, at most 503).\n", static_cast<int>(text_len));
    return -1;
  }
  char path[256];
  FormatSocketPath(path, sizeof(path), pid);
  if (access(path, F_OK) != 0) {
    printf("Please check if ENABLE_NODE_LOG=YES is configured.\n");
    NoteStartedWithoutLog(pid);
    return -1;
  }
  // A runtime that hangs up early must not end the tool before it reports.
  signal(SIGPIPE, SIG_IGN);
  const int64_t give_up = MonotonicMs() + ASK_AGAIN_FOR_MS;
  for (int asked = 0;; asked++) {
    int fd = OpenSocketPath(path);
    if (fd < 0) {
      if (fd == -1) {
        printf("Check if ENABLE_NODE_LOG=YES is configured.\n");
        NoteStartedWithoutLog(pid);
      }
      return -1;
    }
    int result = Exchange(fd, pid, mask, path, MonotonicMs() < give_up);
    close(fd);
    if (result != ASK_AGAIN) return result;
    if (asked == 0) {
      char shown[4 * MESSAGE_SIZE];
      EscapeControls(g_ask_again_text, shown, sizeof(shown));
      printf("Pid %d will answer the next ask: %s\n", pid, shown);
    }
    usleep(g_ask_again_every_us);
  }
}

// ---------------------------------------------------------------------------
// Deferred stop
// ---------------------------------------------------------------------------

static int64_t GetCurrentMs() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

static void NapBetweenSamples() { usleep(100000); }

// Waits until the clock has advanced by seconds, not counting any step of
// more than a second between two samples (a clock jump or a pause).
static void DelayWithClock(int seconds, int64_t (*now_ms)(), void (*nap)()) {
  const int64_t target = static_cast<int64_t>(seconds) * 1000;
  int64_t start = now_ms();
  int64_t previous = start;
  for (;;) {
    int64_t now = now_ms();
    if (llabs(now - previous) > 1000) start += now - previous;
    if (now - start >= target) return;
    nap();
    previous = now;
  }
}

static void DelaySeconds(int seconds) { DelayWithClock(seconds, GetCurrentMs, NapBetweenSamples); }

// One sleep for the whole duration, resumed where a signal cut it short.
static void SleepSeconds(int seconds) {
  struct timespec left = {seconds, 0};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

void SendTerminateSignal(int pid, int stop_kind) {
  if (StopMask(stop_kind) == 0) return;
  SendSignal(pid, StopMask(stop_kind), 0);
}

// The result path that dispatch appended to the option text.
static void ResultPathOfOptionText(char* path, size_t size) {
  static const char kPathOption[] = "--specified_log_path=";
  const char* at = nullptr;
  for (const char* next = strstr(g_shm_buffer, kPathOption); next != nullptr; next = strstr(next + 1, kPathOption)) {
    at = next;
  }
  path[0] = '\0';
  if (at == nullptr) return;
  at += strlen(kPathOption);
  snprintf(path, size, "%.*s", static_cast<int>(strcspn(at, " ")), at);
}

// Detaches a background process that sends the stop after duration; the
// foreground process exits at once. Returns only when the fork failed.
static int SendTerminateSignalLater(int pid, int stop_kind, int duration) {
  // Text still buffered would otherwise be printed by both processes.
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) {
    printf("%s", ShownText("node忙,请重试.\n"));
    SendTerminateSignal(pid, stop_kind);
    return 0;
  }
  if (child > 0) {
    char path[1024];
    ResultPathOfOptionText(path, sizeof(path));
    RecordPendingStop(pid, stop_kind, child, path);
    exit(FinishRun(0));
  }

  umask(0);
  setsid();
  // The caller's pipes and locks must not stay open for the whole wait; the
  // target's descriptor stays, for the kick.
  CloseDescriptorsAbove2(g_target_handle);
  // Holding the caller's directory would keep its file system busy; "/" is
  // always there, so a failure leaves nothing to do.
  if (chdir("/") != 0) {
  }
  // Descriptors 0-2 point at /dev/null from here on, so that a socket or file
  // opened later can never take their place and receive stray output.
  for (int fd = 0; fd <= 2; fd++) close(fd);
  for (int fd = 0; fd <= 2; fd++) {
    if (open("/dev/null", O_RDWR) == -1) break;
  }
  if (duration <= 20) {
    SleepSeconds(duration);
  } else {
    DelaySeconds(duration);
  }
  ForgetPendingStop(pid, getpid());
  SendTerminateSignal(pid, stop_kind);
  _exit(42);
}

// ---------------------------------------------------------------------------
// Where --attach and --wait come back to the road
// ---------------------------------------------------------------------------

// Sends the stop of a timed activity from here; true when it was delivered.
// A deferred stop left by another run for the same activity ends with it.
static bool StopActivity(int pid, int stop_kind) {
  Delivery delivery;
  SendSignal(pid, StopMask(stop_kind), 0, &delivery);
  if (!delivery.delivered) return false;
  char ignored[1024];
  EndPendingStops(pid, StopMask(stop_kind), ignored, sizeof(ignored));
  return true;
}

// The load of --attach in this run: the target it checks is the one the
// exchange then kicks.
static int AttachHere(int pid, bool guarded) { return AttachAgent(pid, &g_target_handle, guarded); }

// The wait of this run: the target identified, stopped through dispatch.
static int WaitHere(int pid, const char* path, int limit, int stop_kind, int duration) {
  return WaitForResult(pid, g_target_handle, path, limit, stop_kind, duration, StopActivity);
}

// Delivers mask with text as the whole option text, through the exchange.
static int SendWithText(int pid, unsigned int mask, const char* text) {
  snprintf(g_shm_buffer, sizeof(g_shm_buffer), "%s", text);
  return g_exchange(pid, mask);
}

// The stack of this run: its private file goes to the target's log
// directory, whose fallback to /tmp/ is not said (nobody sees the file).
static int StackHere(int pid) {
  char dir[1024];
  GetLogDir(pid, dir, nullptr, true);
  return ShowStack(pid, g_target_handle, dir, SendWithText);
}

// ---------------------------------------------------------------------------
// V8 options form
// ---------------------------------------------------------------------------

static const int OPTION_TEXT_MAX = OPTION_TEXT_SIZE - 1;

// The mask's command names, in table order, for the JSON report.
static void NameCommands(unsigned int mask, char* names, size_t size) {
  names[0] = '\0';
  for (int row = 0; row < COMMAND_ROWS; row++) {
    if ((mask & (1u << row)) != 0)
      AppendFormat(names, size, "%s%s", names[0] != '\0' ? " " : "", inspector::CmdName[row]);
  }
}

// Delivers the command to an identified target and sees it through: the
// note on a package manager, the end of the deferred stops that a stop
// given here replaces, then the wait for the result file or the deferred
// stop. Returns the run's exit status.
static int Deliver(int pid, unsigned int mask, int duration, const OwnOptions& own) {
  Delivery delivery;
  int stop_kind = SendSignal(pid, mask, duration, &delivery);
  g_report.delivered = delivery.delivered;
  if (!delivery.delivered) return 1;
  snprintf(g_report.path, sizeof(g_report.path), "%s", delivery.path);
  if (delivery.path[0] != '\0') HostPathOf(pid, delivery.path, g_report.host_path, sizeof(g_report.host_path));
  NotePackageManager(pid);
  // A stop typed here knows its result file only from the ledger.
  char ended[1024] = "";
  EndPendingStops(pid, mask, ended, sizeof(ended));
  if (own.wait) {
    const char* path = delivery.path[0] != '\0' ? delivery.path : ended;
    if (path[0] == '\0') return 0;  // no result file to wait for
    int status = g_wait(pid, path, own.wait_limit, delivery.stop_kind, duration);
    // The file is written: its copy where -o says, and its summary.
    return status == 0 ? ConcludeResult(pid, path, own.output, own.force) : status;
  }
  if (stop_kind != 0) SendTerminateSignalLater(pid, stop_kind, duration);
  // Back here after a stop kind only when the fork failed.
  return stop_kind == 0 ? 0 : 1;
}

// Collects the flags into the option text and sends them with --v8-options;
// the run's exit status. With --attach, the agent is loaded into the target
// first, in place of the probe.
static int V8OptionsHandler(int argc, char** argv, int pid, const OwnOptions& own) {
  size_t position = 0;
  int duration = 0;
  snprintf(g_report.command, sizeof(g_report.command), "%s", inspector::CmdName[10]);
  for (int i = 2; i < argc; i++) {
    const char* arg = argv[i];
    if (StrStartsWith(arg, "--pid=")) {
      if (!GetProcessID(arg + 6, &pid)) {
        printf("invalid pid:%s\n", arg + 6);
        return 1;
      }
    } else if (IsDurationInput(arg)) {
      GetTimeInSecond(arg, &duration);
    } else {
      size_t len = strlen(arg);
      if (position + len + 1 > static_cast<size_t>(OPTION_TEXT_MAX)) {
        printf("v8-options exceeds length limit.\n\n");
        return 1;
      }
      snprintf(g_shm_buffer + position, sizeof(g_shm_buffer) - position, "%s ", arg);
      position += len + 1;
    }
  }
  g_shm_buffer[position] = '\0';
  g_report.pid = pid;
  if (!OutputFits(V8_OPTIONS, own)) return 1;
  // With --attach the probe is never asked, also without a pid.
  if (own.attach && pid > 0) {
    if (g_attach(pid, !own.unguarded) != 0) return 1;
    MarkNoError();
  } else if (own.attach || !g_probe(pid)) {
    ReportRefusedTarget(pid, true);
    return 1;
  }
  if (duration == 0) duration = DEFAULT_DURATION;
  return Deliver(pid, V8_OPTIONS, duration, own);
}

// ---------------------------------------------------------------------------
// main
// ---------------------------------------------------------------------------

// --stack: the pid alone, identified as for a command (or loaded with
// --attach), then its stack; the run's exit status.
static int StackCommand(int argc, char** argv, const OwnOptions& own) {
  snprintf(g_report.command, sizeof(g_report.command), "--stack");
  int pid = -1;
  // The stack is printed, never written: -o would be dropped unsaid.
  if (argc != 2 || !GetProcessID(argv[1], &pid) || own.output != nullptr) {
    printf("--stack takes a pid and nothing else: quellix [--attach] [--json] --stack <pid>\n");
    return 1;
  }
  g_report.pid = pid;
  if (own.attach) {
    if (g_attach(pid, !own.unguarded) != 0) return 1;
    MarkNoError();
  } else if (!g_probe(pid)) {
    ReportRefusedTarget(pid, false);
    return 1;
  }
  return g_stack(pid);
}

// The run after quellix's own options were taken out; its exit status.
static int RunTakenCommandLine(int argc, char** argv, const OwnOptions& own) {
  if (own.bad_wait != nullptr) {
    printf("Invalid --wait=%s: give whole seconds from 1 to 2147483647.\n", own.bad_wait);
    printf("Or a duration in the units of time=, in their order: --wait=90s, --wait=2m, --wait=1h30m.\n");
    return 1;
  }
  if (own.wait_apart != nullptr) {
    printf("--wait takes its limit in the same word: --wait=%s.\n", own.wait_apart);
    return 1;
  }
  if (own.bad_output != nullptr) {
    printf("%s needs a path: -o PATH, --output PATH or --output=PATH.\n", own.bad_output);
    return 1;
  }
  if (own.list) {
    if (argc > 1) {
      ReportUnsupported(argv[1]);
      return 1;
    }
    return g_list(own.json);
  }
  if (argc < 2) {
    PrintUsage();
    return 1;
  }
  if (own.stack) return StackCommand(argc, argv, own);
  if (strcmp(argv[1], inspector::CmdName[10]) == 0) return V8OptionsHandler(argc, argv, -1, own);

  unsigned int mask = 0;
  int pid = -1;
  int duration = 0;
  for (int i = 1; i < argc; i++) {
    if (!ParseArgument(argv[i], &mask, &pid, &duration)) {
      ReportUnsupported(argv[i]);
      return 1;
    }
  }
  NameCommands(mask, g_report.command, sizeof(g_report.command));
  if (mask == 0 && own.attach) snprintf(g_report.command, sizeof(g_report.command), "--attach");
  // With --attach alone, the load is the command.
  if (mask == 0 && !own.attach) {
    printf("Please specify options.\n");
    PrintUsage();
    return 1;
  }
  if ((mask & TIMED_COMMANDS) != 0 && duration == 0) duration = DEFAULT_DURATION;
  if (pid <= 0) {
    printf("Please specify node pid.\n");
    return 1;
  }
  g_report.pid = pid;
  if (!OutputFits(mask, own)) return 1;
  if (own.attach) {
    if (g_attach(pid, !own.unguarded) != 0) return 1;
    MarkNoError();
    if (mask == 0) {
      g_report.delivered = true;
      return 0;
    }
  } else if (!g_probe(pid)) {
    ReportRefusedTarget(pid, false);
    return 1;
  }
  return Deliver(pid, mask, duration, own);
}

// The whole run; 0 when the command was delivered (with --wait: its result
// file written), 1 on every failure.
static int RunCommandLine(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return 1;
  }
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    PrintUsage();
    PrintOwnOptions();
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("quellix %s\n", QUELLIX_VERSION);
    return 0;
  }
  memset(g_shm_buffer, 0, sizeof(g_shm_buffer));
  OwnOptions own;
  TakeOwnOptions(&argc, argv, &own);
  g_report = kNoReport;
  // The list is an object of its own.
  if (own.json && !own.list) {
    StartReport();
  } else if (own.quiet && !own.list) {
    StartQuiet();
  }
  return FinishRun(RunTakenCommandLine(argc, argv, own));
}

#ifndef QUELLIX_NO_MAIN
int main(int argc, char** argv) {
  // Started with SIGCHLD ignored, the kernel would reap the probe before the
  // tool could wait for it.
  signal(SIGCHLD, SIG_DFL);
  // Started with a standard descriptor closed, a pipe or the running
  // executable opened later would take its place in the probe.
  int fd;
  while ((fd = open("/dev/null", O_RDWR | O_CLOEXEC)) >= 0 && fd <= 2) fcntl(fd, F_SETFD, 0);
  if (fd > 2) close(fd);
  return RunCommandLine(argc, argv);
}
#endif
