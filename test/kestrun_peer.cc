// A stand-in kestrun runtime for quellix's tests.
//
// Probe mode: "kestrun_peer -p process.kestrun" answers the identification
// probe as PEER_PROBE in its environment says (see AnswerProbe), and records
// what it was started with in the file PEER_PROBE_RECORD names. Each may
// also come as a word NAME=VALUE of NODE_OPTIONS, the one variable that
// reaches a probe run as another user.
//
// Any start: when the file <own executable>.starts exists, a line with the
// mode, the effective capabilities, the descriptors above 2 and whether a
// controlling terminal is there is appended to it, whatever the
// environment.
//
// Serve mode: listens on /tmp/kestrun-uds-path-<pid> and, for each
// connection, records the message it receives in DIR/msg-<n>.bin, replies as
// --first says, waits for the kick and replies as --kick says. The number of
// kicks seen so far is kept in DIR/kicks. Options:
//   --dir DIR            where to record (required)
//   --size N             message size to read: 512 (default) or 1024
//   --first MODE         accept | zero (all NUL) | refuse:TEXT | silent | close | full:TEXT
//                        (512 bytes "N.." + TEXT padded with 'x', no NUL)
//                        | byte:C (a single byte) | trickle:TEXT (one byte
//                        every 20 ms) | marked:AB:TEXT ('Y', bytes 1-2 AB,
//                        TEXT from byte 3; with AB "NK" and a TEXT that
//                        begins "no kick needed", the second reply follows
//                        without waiting for a kick, as the agent does)
//                        | again:N:TEXT (the first N messages are refused
//                        with "AA" in bytes 1-2, ask again, and TEXT; then
//                        as accept)
//   --kick MODE          accept | refuse:TEXT | silent | close | none (no
//                        second reply expected: extended message)
//   --no-kick-handler    leave SIGUSR2 at its default action (which ends us)
//   --squat PID          listen on the socket path of PID instead of our own
//   --lifetime SECONDS   end by ourselves after this long (default 60)
//   --bind-dir           bind in a private directory first, as the agent
//                        does (then /proc/net/unix names that directory)
//   --status MODE        the status query (1024 bytes, mask 0x10000):
//                        know (default) | refuse (an older runtime's 'N')
//                        | silent
//   --result MODE        what becomes of a result file named in an accepted
//                        message ("--specified_log_path="), counted from the
//                        message, or for a timed command from its stop:
//                        none (default: nothing, the query says "unknown")
//                        | write:MS:BYTES (published whole after MS ms)
//                        | fail:MS:TEXT (the query says "failed TEXT")
//                        | exit:MS (this process ends, nothing written)
//                        | link:MS:TARGET (a symlink to TARGET in its place)
//   --child DIR          start a second stand-in, serving with --dir DIR, as
//                        a child that ends with this one
//   --require PATH, -r PATH   node's preload option: taken and ignored
// Status queries are answered from what the messages named; their number is
// kept in DIR/queries and the last one in DIR/query.bin, and they are not
// counted as messages. It removes its socket when it ends, also on SIGTERM.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_kicks = 0;
volatile sig_atomic_t g_stop = 0;
char g_socket_path[108];

void OnKick(int) { g_kicks = g_kicks + 1; }
void OnStop(int) { g_stop = 1; }

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void Nap(int ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

// A probe setting from the environment, else from a word of NODE_OPTIONS.
std::string ProbeSetting(const char* name) {
  const char* value = getenv(name);
  if (value != nullptr) return value;
  const std::string options = getenv("NODE_OPTIONS") == nullptr ? "" : getenv("NODE_OPTIONS");
  const std::string word = std::string(name) + "=";
  size_t at = options.find(word);
  if (at == std::string::npos || (at > 0 && options[at - 1] != ' ')) return "";
  size_t end = options.find(' ', at);
  return options.substr(at + word.size(), end == std::string::npos ? std::string::npos : end - at - word.size());
}

// The target of descriptor fd, a pipe shown as "pipe".
std::string DescriptorTarget(int fd) {
  char target[256];
  ssize_t len = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof(target) - 1);
  std::string text(target, len > 0 ? static_cast<size_t>(len) : 0);
  return text.rfind("pipe:", 0) == 0 ? "pipe" : text;
}

// The descriptors above 2, as "3,7"; "" when there is none.
std::string OpenDescriptors() {
  std::string list;
  DIR* dir = opendir("/proc/self/fd");
  while (struct dirent* entry = dir == nullptr ? nullptr : readdir(dir)) {
    int fd = atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd <= 2 || fd == dirfd(dir)) continue;
    list += (list.empty() ? "" : ",") + std::to_string(fd);
  }
  if (dir != nullptr) closedir(dir);
  return list;
}

std::string ControllingTerminal() {
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY);
  if (fd == -1) return "none";
  close(fd);
  return "yes";
}

// Appends this start to <own executable>.starts when that file exists.
void RecordStart(const char* mode) {
  // What the process was started with, before anything here opens a file.
  const std::string fds = OpenDescriptors(), tty = ControllingTerminal();
  char exe[1024];
  ssize_t len = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (len <= 0) return;
  int fd = open((std::string(exe, static_cast<size_t>(len)) + ".starts").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd == -1) return;
  std::string caps = "?";
  FILE* file = fopen("/proc/self/status", "r");
  char line[256];
  while (file != nullptr && fgets(line, sizeof(line), file) != nullptr) {
    if (strncmp(line, "CapEff:\t", 8) == 0) caps = std::string(line + 8, strcspn(line + 8, "\n"));
  }
  if (file != nullptr) fclose(file);
  std::string entry = std::string("mode=") + mode + " caps=" + caps + " fds=" + fds + " tty=" + tty + "\n";
  if (write(fd, entry.data(), entry.size()) < 0) perror("kestrun_peer: starts");
  close(fd);
}

void WriteProbeRecord(const std::string& record, const char* argv0, pid_t helper) {
  const std::string fds = OpenDescriptors(), err = DescriptorTarget(2), tty = ControllingTerminal();
  FILE* file = fopen(record.c_str(), "w");
  if (file == nullptr) return;
  const char* flag = getenv("ENABLE_NODE_LOG");
  const char* home = getenv("HOME");
  char cwd[256] = "";
  if (getcwd(cwd, sizeof(cwd)) == nullptr) cwd[0] = '\0';
  struct sigaction child;
  sigaction(SIGCHLD, nullptr, &child);
  std::vector<std::string> names;
  for (char** entry = environ; *entry != nullptr; entry++) names.push_back(std::string(*entry, strcspn(*entry, "=")));
  std::sort(names.begin(), names.end());
  std::string env;
  for (const std::string& name : names) env += (env.empty() ? "" : ",") + name;
  fprintf(file,
          "ENABLE_NODE_LOG=%s\nuid=%d\ngid=%d\nsession=%s\nstdin=%s\ncwd=%s\nsigchld=%s\nfds=%s\nstderr=%s\n"
          "tty=%s\nHOME=%s\nenv=%s\nargv0=%s\npids=%d,%d\n",
          flag == nullptr ? "(unset)" : flag, static_cast<int>(getuid()), static_cast<int>(getgid()),
          getsid(0) == getpid() ? "own" : "inherited", DescriptorTarget(0).c_str(), cwd,
          child.sa_handler == SIG_IGN ? "ignored" : "default", fds.c_str(), err.c_str(), tty.c_str(),
          home == nullptr ? "(unset)" : home, env.c_str(), argv0, static_cast<int>(getpid()), static_cast<int>(helper));
  fclose(file);
}

int AnswerProbe(const char* argv0) {
  const std::string how = ProbeSetting("PEER_PROBE");
  // "group-sleep": a process the probe started lives on with it.
  pid_t helper = 0;
  if (how == "group-sleep" && (helper = fork()) == 0) {
    Nap(30000);
    _exit(0);
  }
  const std::string record = ProbeSetting("PEER_PROBE_RECORD");
  if (!record.empty()) WriteProbeRecord(record, argv0, helper);
  if (how.empty()) printf("kestrun-peer 1.0.0\n");
  else if (how == "undefined") printf("undefined\n");
  else if (how == "undefined-noeol") printf("undefined");
  else if (how == "undefined-crlf") printf("undefined\r\n");
  else if (how == "Undefined") printf("Undefined\n");
  else if (how == "empty-line") printf("\n");
  else if (how == "stderr") fprintf(stderr, "peer probe: only on stderr\n");
  else if (how == "stderr-escape") fprintf(stderr, "\x1b[2Jbad\tline%s\nsecond line\n", std::string(300, 'e').c_str());
  else if (how == "long") printf("%s\n", std::string(200, 'u').c_str());
  else if (how == "long-undefined") printf("undefined%s\n", std::string(200, ' ').c_str());
  else if (how == "multi") printf("undefined\nkestrun\n");
  else if (how == "sleep") {
    printf("kestrun-peer 1.0.0\n");
    fflush(stdout);
    Nap(30000);
  } else if (how == "silent-sleep" || how == "group-sleep") {
    Nap(30000);
  }
  return 0;
}

bool WriteFile(const std::string& path, const void* data, size_t size) {
  std::string temp = path + ".tmp";
  FILE* file = fopen(temp.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = fwrite(data, 1, size, file) == size;
  ok = fclose(file) == 0 && ok;
  return ok && rename(temp.c_str(), path.c_str()) == 0;
}

void RecordKicks(const std::string& dir) {
  static int recorded = -1;
  int kicks = g_kicks;
  if (kicks == recorded) return;
  std::string text = std::to_string(kicks);
  if (WriteFile(dir + "/kicks", text.data(), text.size())) recorded = kicks;
}

// Reads up to size bytes, until the client stops sending for a while. With
// the normal size of 512, a message that goes on past 512 bytes is read as
// an extended one of 1024 (a client sends either in one piece).
size_t ReadMessage(int fd, char* buf, size_t size) {
  size_t got = 0;
  long long deadline = NowMs() + 2000;
  for (size_t want = size; got < want && NowMs() < deadline;) {
    struct pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, 50) <= 0) continue;
    ssize_t n = recv(fd, buf + got, std::max<size_t>(size, 1024) - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    if (got > size) want = 1024;
  }
  return got;
}

// Result files named by accepted messages, and what becomes of them.
struct Result {
  std::string path;
  bool timed;         // waits for its stop
  long long due;      // when it is written, fails or the process ends; 0: not yet known
  std::string state;  // pending, written or failed
  long long bytes;
};
std::vector<Result> g_results;
std::string g_result_mode = "none";
const unsigned int kStartBits = 0x10 | 0x40 | 0x100 | 0x400, kStopBits = 0x20 | 0x80 | 0x200 | 0x800;
const unsigned int kStatusQuery = 0x10000;

// The number after the first ':' of a mode ("write:300:10" gives 300).
long long ModeDelay() {
  size_t colon = g_result_mode.find(':');
  return colon == std::string::npos ? 0 : atoll(g_result_mode.c_str() + colon + 1);
}

// The text after the second ':' of a mode.
std::string ModeRest() {
  size_t first = g_result_mode.find(':');
  size_t second = first == std::string::npos ? first : g_result_mode.find(':', first + 1);
  return second == std::string::npos ? "" : g_result_mode.substr(second + 1);
}

// Takes note of what an accepted message asks of result files.
void NoteResult(unsigned int mask, const std::string& text) {
  const std::string option = "--specified_log_path=";
  size_t at = text.find(option);
  std::string path;
  if (at != std::string::npos) path = text.substr(at + option.size(), text.find(' ', at) - at - option.size());
  if ((mask & kStopBits) != 0) {
    // A stop given by hand carries no path: it ends the last timed activity.
    for (Result& result : g_results) {
      if (result.timed && result.due == 0 && (path.empty() || result.path == path)) result.due = NowMs() + ModeDelay();
    }
    return;
  }
  if (path.empty() || g_result_mode == "none") return;
  bool timed = (mask & kStartBits) != 0 && (mask & 0x1) == 0;
  g_results.push_back({path, timed, timed ? 0 : NowMs() + ModeDelay(), "pending", 0});
}

// Carries out what has come due.
void SettleResults() {
  for (Result& result : g_results) {
    if (result.state != "pending" || result.due == 0 || NowMs() < result.due) continue;
    if (g_result_mode.rfind("exit:", 0) == 0) {
      g_stop = 1;
      return;
    }
    if (g_result_mode.rfind("fail:", 0) == 0) {
      result.state = "failed";
      continue;
    }
    if (g_result_mode.rfind("link:", 0) == 0) {
      result.state = symlink(ModeRest().c_str(), result.path.c_str()) == 0 ? "written" : "failed";
      continue;
    }
    long long bytes = atoll(ModeRest().c_str());
    std::string data(static_cast<size_t>(bytes), 'x');
    if (WriteFile(result.path, data.data(), data.size())) {
      result.state = "written";
      result.bytes = bytes;
    } else {
      result.state = "failed";
    }
  }
}

// The answer to the status query about path.
std::string StatusOf(const std::string& path) {
  SettleResults();
  for (const Result& result : g_results) {
    if (result.path != path) continue;
    if (result.state == "written") return "written " + std::to_string(result.bytes);
    if (result.state == "failed") return "failed " + (ModeRest().empty() ? "cannot write " + path : ModeRest());
    return result.timed && result.due == 0 ? "pending -" : "pending 50";
  }
  return "unknown";
}

void AnswerQuery(int fd, const char* message, size_t got, const std::string& dir, const std::string& mode) {
  static int queries = 0;
  std::string count = std::to_string(++queries);
  WriteFile(dir + "/queries", count.data(), count.size());
  WriteFile(dir + "/query.bin", message, got);
  if (mode == "silent") return;
  std::string reply(1024, '\0');
  if (mode == "refuse") {
    reply[0] = 'N';
    reply.replace(3, 31, "unknown command bit(s) 0x10000");
  } else {
    std::string answer = StatusOf(std::string(message + 8, strnlen(message + 8, got - 8)));
    reply[0] = 'Y';
    reply.replace(3, answer.size(), answer);
  }
  send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
}

// Sends a reply as mode says; false when the connection is to be closed.
bool Reply(int fd, const std::string& mode, size_t size) {
  std::string reply(size, '\0');
  if (mode == "silent" || mode == "none") return true;
  if (mode == "close") return false;
  if (mode == "zero") {
    // All zeros: byte 0 is no refusal.
  } else if (mode == "accept") {
    reply[0] = 'Y';
  } else if (mode.rfind("refuse:", 0) == 0) {
    reply[0] = 'N';
    reply.replace(3, mode.size() - 7, mode.substr(7));
  } else if (mode.rfind("full:", 0) == 0) {
    reply.assign(size, 'x');
    reply[0] = 'N';
    reply.replace(3, mode.size() - 5, mode.substr(5));
  } else if (mode.rfind("marked:", 0) == 0 && mode.size() >= 10) {
    reply[0] = 'Y';
    reply.replace(1, 2, mode.substr(7, 2));
    reply.replace(3, mode.size() - 10, mode.substr(10));
  } else if (mode.rfind("asked:", 0) == 0) {
    reply[0] = 'N';
    reply.replace(1, 2, "AA");
    reply.replace(3, mode.size() - 6, mode.substr(6));
  } else if (mode.rfind("byte:", 0) == 0) {
    reply = mode.substr(5, 1);
  } else if (mode.rfind("trickle:", 0) == 0) {
    for (char c : mode.substr(8)) {
      send(fd, &c, 1, MSG_NOSIGNAL);
      Nap(20);
    }
    return true;
  }
  send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
  return true;
}

// Serves one connection; false when it was a status query, which counts as
// no message.
bool Serve(int client, int index, const std::string& dir, size_t size, const std::string& first,
           const std::string& kick, const std::string& status) {
  char message[2048];
  size_t got = ReadMessage(client, message, size);
  unsigned int mask = 0;
  if (got >= 4) memcpy(&mask, message, 4);
  if (got == 1024 && (mask & kStatusQuery) != 0) {
    AnswerQuery(client, message, got, dir, status);
    return false;
  }
  WriteFile(dir + "/msg-" + std::to_string(index) + ".bin", message, got);
  int kicks_before = g_kicks;
  const std::string text = got > 8 ? std::string(message + 8, strnlen(message + 8, got - 8)) : "";
  std::string answer = first;
  if (first.rfind("again:", 0) == 0) {
    const size_t colon = first.find(':', 6);
    answer = index < atoi(first.c_str() + 6) ? "asked:" + (colon == std::string::npos ? "" : first.substr(colon + 1))
                                             : "accept";
  }
  if (!Reply(client, answer, size)) return true;
  if (answer.rfind("asked:", 0) == 0) return true;
  if (first.rfind("refuse:", 0) == 0 || first.rfind("full:", 0) == 0) return true;
  if (kick == "none") {
    NoteResult(mask, text);
    return true;
  }
  // The no-kick mark: the second reply comes without a kick.
  const bool no_kick = first.rfind("marked:NK:no kick needed", 0) == 0;
  long long deadline = NowMs() + 3000;
  while (!no_kick && g_kicks == kicks_before && NowMs() < deadline && !g_stop) Nap(5);
  RecordKicks(dir);
  if (!no_kick && g_kicks == kicks_before) return true;
  if (kick.rfind("refuse:", 0) != 0) NoteResult(mask, text);
  if (!Reply(client, kick, size)) return true;
  // Let the tool read the reply before the connection goes.
  struct pollfd entry = {client, POLLIN, 0};
  poll(&entry, 1, 1500);
  return true;
}

// A second stand-in as a child, serving with --dir dir; it ends with this
// process.
pid_t StartChild(const char* self, const std::string& dir, int lifetime) {
  pid_t child = fork();
  if (child != 0) return child;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  std::string seconds = std::to_string(lifetime);
  execl(self, self, "--dir", dir.c_str(), "--lifetime", seconds.c_str(), static_cast<char*>(nullptr));
  _exit(127);
}

// The socket is bound under a temporary name (or, with bind_dir, in a
// private directory as the agent does) and renamed once it listens, so a
// test that sees the path can connect at once.
int Listen(int owner_pid, bool bind_dir) {
  snprintf(g_socket_path, sizeof(g_socket_path), "/tmp/kestrun-uds-path-%d", owner_pid);
  char dir[64];
  snprintf(dir, sizeof(dir), "/tmp/kestrun-bind-%d-XXXXXX", owner_pid);
  if (bind_dir && mkdtemp(dir) == nullptr) {
    perror("kestrun_peer: mkdtemp");
    exit(2);
  }
  std::string temp = bind_dir ? std::string(dir) + "/socket" : std::string(g_socket_path) + ".new";
  unlink(temp.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", temp.c_str());
  bool ok = fd != -1 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(fd, 8) == 0 &&
            rename(temp.c_str(), g_socket_path) == 0;
  if (!ok) perror("kestrun_peer: listen");
  unlink(temp.c_str());
  if (bind_dir) rmdir(dir);
  if (!ok) exit(2);
  return fd;
}

}  // namespace

#ifndef KESTRUN_PLAIN
// Node's addon entry point: quellix takes a process that exports it for a
// runtime it may probe. The plain build has none.
extern "C" void napi_module_register(void*) {}
#endif

int main(int argc, char** argv) {
  const bool probe = argc >= 2 && strcmp(argv[1], "-p") == 0;
  RecordStart(probe ? "probe" : "serve");
  if (probe) return AnswerProbe(argv[0]);

  std::string dir, first = "accept", kick = "accept", status = "know", child_dir;
  size_t size = 512;
  int owner = getpid();
  int lifetime = 60;
  bool kick_handler = true;
  bool bind_dir = false;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--dir") dir = value, i++;
    else if (arg == "--size") size = strtoul(value, nullptr, 10), i++;
    else if (arg == "--first") first = value, i++;
    else if (arg == "--kick") kick = value, i++;
    else if (arg == "--squat") owner = atoi(value), i++;
    else if (arg == "--lifetime") lifetime = atoi(value), i++;
    else if (arg == "--no-kick-handler") kick_handler = false;
    else if (arg == "--bind-dir") bind_dir = true;
    else if (arg == "--status") status = value, i++;
    else if (arg == "--result") g_result_mode = value, i++;
    else if (arg == "--child") child_dir = value, i++;
    else if (arg == "--require" || arg == "-r") i++;
    else {
      fprintf(stderr, "kestrun_peer: unknown option %s\n", arg.c_str());
      return 2;
    }
  }
  if (dir.empty() || size > 2048) {
    fprintf(stderr, "kestrun_peer: --dir is required\n");
    return 2;
  }
  if (kick_handler) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnKick;
    sigaction(SIGUSR2, &action, nullptr);
  }
  signal(SIGTERM, OnStop);
  signal(SIGINT, OnStop);
  signal(SIGALRM, OnStop);
  signal(SIGPIPE, SIG_IGN);
  alarm(static_cast<unsigned>(lifetime));

  int server = Listen(owner, bind_dir);
  pid_t child = child_dir.empty() ? 0 : StartChild("/proc/self/exe", child_dir, lifetime);
  RecordKicks(dir);
  int index = 0;
  while (!g_stop) {
    RecordKicks(dir);
    SettleResults();
    struct pollfd entry = {server, POLLIN, 0};
    if (poll(&entry, 1, 20) <= 0) continue;
    int client = accept(server, nullptr, nullptr);
    if (client == -1) continue;
    if (Serve(client, index, dir, size, first, kick, status)) index++;
    close(client);
  }
  RecordKicks(dir);
  close(server);
  unlink(g_socket_path);
  if (child > 0) {
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
  }
  return 0;
}
