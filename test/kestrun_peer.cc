// A stand-in kestrun runtime for quellix's tests.
//
// Probe mode: "kestrun_peer -p process.kestrun" answers the identification
// probe as PEER_PROBE in its environment says (see AnswerProbe), and records
// what it was started with in the file PEER_PROBE_RECORD names.
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
//                        every 20 ms)
//   --kick MODE          accept | refuse:TEXT | silent | close | none (no
//                        second reply expected: extended message)
//   --no-kick-handler    leave SIGUSR2 at its default action (which ends us)
//   --squat PID          listen on the socket path of PID instead of our own
//   --lifetime SECONDS   end by ourselves after this long (default 60)
//   --bind-dir           bind in a private directory first, as the agent
//                        does (then /proc/net/unix names that directory)
// It removes its socket when it ends, also on SIGTERM.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>

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

int AnswerProbe() {
  const char* mode = getenv("PEER_PROBE");
  std::string how = mode == nullptr ? "" : mode;
  const char* record = getenv("PEER_PROBE_RECORD");
  if (record != nullptr) {
    FILE* file = fopen(record, "w");
    if (file != nullptr) {
      const char* flag = getenv("ENABLE_NODE_LOG");
      char input[256] = "", cwd[256] = "";
      ssize_t len = readlink("/proc/self/fd/0", input, sizeof(input) - 1);
      if (len > 0) input[len] = '\0';
      if (getcwd(cwd, sizeof(cwd)) == nullptr) cwd[0] = '\0';
      struct sigaction child;
      sigaction(SIGCHLD, nullptr, &child);
      fprintf(file, "ENABLE_NODE_LOG=%s\nuid=%d\ngid=%d\nsession=%s\nstdin=%s\ncwd=%s\nsigchld=%s\n",
              flag == nullptr ? "(unset)" : flag, static_cast<int>(getuid()), static_cast<int>(getgid()),
              getsid(0) == getpid() ? "own" : "inherited", input, cwd,
              child.sa_handler == SIG_IGN ? "ignored" : "default");
      fclose(file);
    }
  }
  if (how.empty()) printf("kestrun-peer 1.0.0\n");
  else if (how == "undefined") printf("undefined\n");
  else if (how == "undefined-noeol") printf("undefined");
  else if (how == "undefined-crlf") printf("undefined\r\n");
  else if (how == "Undefined") printf("Undefined\n");
  else if (how == "empty-line") printf("\n");
  else if (how == "stderr") fprintf(stderr, "peer probe: only on stderr\n");
  else if (how == "long") printf("%s\n", std::string(200, 'u').c_str());
  else if (how == "long-undefined") printf("undefined%s\n", std::string(200, ' ').c_str());
  else if (how == "multi") printf("undefined\nkestrun\n");
  else if (how == "sleep") {
    printf("kestrun-peer 1.0.0\n");
    fflush(stdout);
    Nap(30000);
  } else if (how == "silent-sleep") {
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

// Reads up to size bytes, until the client stops sending for a while.
size_t ReadMessage(int fd, char* buf, size_t size) {
  size_t got = 0;
  long long deadline = NowMs() + 2000;
  while (got < size && NowMs() < deadline) {
    struct pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, 50) <= 0) continue;
    ssize_t n = recv(fd, buf + got, size - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
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

void Serve(int client, int index, const std::string& dir, size_t size, const std::string& first,
           const std::string& kick) {
  char message[2048];
  size_t got = ReadMessage(client, message, size);
  WriteFile(dir + "/msg-" + std::to_string(index) + ".bin", message, got);
  int kicks_before = g_kicks;
  if (!Reply(client, first, size) || kick == "none") return;
  if (first.rfind("refuse:", 0) == 0 || first.rfind("full:", 0) == 0) return;
  long long deadline = NowMs() + 3000;
  while (g_kicks == kicks_before && NowMs() < deadline && !g_stop) Nap(5);
  RecordKicks(dir);
  if (g_kicks == kicks_before) return;
  if (!Reply(client, kick, size)) return;
  // Let the tool read the reply before the connection goes.
  struct pollfd entry = {client, POLLIN, 0};
  poll(&entry, 1, 1500);
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

// Node's addon entry point: quellix takes a process that exports it for a
// runtime it may probe.
extern "C" void napi_module_register(void*) {}

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "-p") == 0) return AnswerProbe();

  std::string dir, first = "accept", kick = "accept";
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
  RecordKicks(dir);
  int index = 0;
  while (!g_stop) {
    RecordKicks(dir);
    struct pollfd entry = {server, POLLIN, 0};
    if (poll(&entry, 1, 20) <= 0) continue;
    int client = accept(server, nullptr, nullptr);
    if (client == -1) continue;
    Serve(client, index++, dir, size, first, kick);
    close(client);
  }
  RecordKicks(dir);
  close(server);
  unlink(g_socket_path);
  return 0;
}
