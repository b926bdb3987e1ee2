// Test support: runs the real quellix binary and the stand-in runtime, with a
// deadline on every wait and cleanup of everything started.
#ifndef QUELLIX_TEST_SUPPORT_H_
#define QUELLIX_TEST_SUPPORT_H_

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace qtest {

inline long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Polls condition every 5 ms until it holds or timeout_ms passed.
inline bool WaitFor(const std::function<bool()>& condition, int timeout_ms = 5000) {
  long long deadline = NowMs() + timeout_ms;
  for (;;) {
    if (condition()) return true;
    if (NowMs() >= deadline) return false;
    usleep(5000);
  }
}

inline bool FileExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::string MakeTempDir() {
  char name[] = "/tmp/quellix-test-XXXXXX";
  char* dir = mkdtemp(name);
  return dir == nullptr ? std::string() : std::string(dir);
}

inline void RemoveTree(const std::string& dir) {
  if (dir.rfind("/tmp/quellix-test-", 0) != 0) return;
  std::string command = "rm -rf '" + dir + "'";
  if (system(command.c_str()) != 0) return;
}

inline std::string SocketPath(int pid) { return "/tmp/kestrun-uds-path-" + std::to_string(pid); }

// The marks (.kestrun-agent.<id>.lock, and one under its private name
// .kestrun-agent.<id>.<random>.new while it is being made) that the agent
// in pid holds in the directories it writes to; a killed agent leaves them
// behind.
inline std::vector<std::string> AgentMarks(int pid) {
  std::vector<std::string> marks;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(fds.c_str());
  while (struct dirent* entry = dir == nullptr ? nullptr : readdir(dir)) {
    char target[4096];
    ssize_t len = readlinkat(dirfd(dir), entry->d_name, target, sizeof(target) - 1);
    if (len <= 0) continue;
    std::string path(target, static_cast<size_t>(len));
    if (std::regex_search(path, std::regex("/\\.kestrun-agent\\.[0-9a-f]{16}\\.([0-9a-f]{8}\\.new|lock)$")))
      marks.push_back(path);
  }
  if (dir != nullptr) closedir(dir);
  return marks;
}

// Kills pid and reaps it when it is a child (timeout_ms), then removes what
// an agent in it leaves: its control socket and its marks.
inline void KillAgentHost(pid_t pid, bool child, int timeout_ms = 3000) {
  if (pid <= 0) return;
  // Stopped first, so that it makes no mark after they are read.
  kill(pid, SIGSTOP);
  std::vector<std::string> marks = AgentMarks(pid);
  kill(pid, SIGKILL);
  if (child) {
    int status;
    long long deadline = NowMs() + timeout_ms;
    while (waitpid(pid, &status, WNOHANG) == 0 && NowMs() < deadline) usleep(2000);
  }
  unlink(SocketPath(pid).c_str());
  for (const std::string& mark : marks) unlink(mark.c_str());
}

// Starts argv with the current environment plus env; stdout and stderr go to
// the given descriptors (-1: /dev/null). Returns the child's pid, or -1 after
// failing the test when no process could be made.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int out_fd = -1,
                   int err_fd = -1) {
  pid_t child = fork();
  if (child == -1) ADD_FAILURE() << "fork failed: " << strerror(errno);
  if (child != 0) return child;
  int null_fd = open("/dev/null", O_RDWR);
  dup2(null_fd, STDIN_FILENO);
  dup2(out_fd == -1 ? null_fd : out_fd, STDOUT_FILENO);
  dup2(err_fd == -1 ? null_fd : err_fd, STDERR_FILENO);
  for (int fd = 3; fd < 256; fd++) close(fd);
  for (const std::string& entry : env) putenv(strdup(entry.c_str()));
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

// Waits for child until timeout_ms; kills it past that. Returns the wait
// status, or -1 when it had to be killed. No child (a failed fork) is -1 at
// once: waitpid(-1) would reap any child, and kill(-1) signal every process.
inline int Reap(pid_t child, int timeout_ms) {
  if (child <= 0) return -1;
  long long deadline = NowMs() + timeout_ms;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return status;
    if (done == -1) return -1;
    if (NowMs() >= deadline) break;
    usleep(2000);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

struct RunResult {
  int status = -1;  // exit status, or -1 when killed or crashed
  std::string out;
  std::string err;
  long long elapsed_ms = 0;
};

// Runs program with args, collecting its output until it ends (deadline
// timeout_ms).
inline RunResult Run(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {}, int timeout_ms = 20000) {
  int out[2], err[2];
  RunResult result;
  if (pipe(out) != 0 || pipe(err) != 0) return result;
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  long long start = NowMs();
  pid_t child = Spawn(argv, env, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  if (child == -1) {
    close(out[0]);
    close(err[0]);
    return result;
  }
  long long deadline = start + timeout_ms;
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_fds = 2;
  while (open_fds > 0 && NowMs() < deadline) {
    if (poll(fds, 2, 50) <= 0) continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof(buf));
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_fds--;
        continue;
      }
      (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
    }
  }
  for (auto& entry : fds) {
    if (entry.fd >= 0) close(entry.fd);
  }
  int status = Reap(child, static_cast<int>(deadline - NowMs()) + 100);
  result.elapsed_ms = NowMs() - start;
  if (status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

inline RunResult RunQuellix(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                            int timeout_ms = 20000) {
  return Run(QUELLIX_BIN, args, env, timeout_ms);
}

// Replaces what changes between runs: the clock line (first, or after the
// line of --attach), timestamps in file names, and the given pids.
inline std::string Normalize(std::string text, const std::vector<int>& pids = {}) {
  text = std::regex_replace(text, std::regex(R"((^|\n)\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\n)"), "$1<clock>\n");
  text = std::regex_replace(text, std::regex(R"(-\d{8}-\d{6}\.)"), "-<stamp>.");
  for (int pid : pids) {
    text = std::regex_replace(text, std::regex("\\b" + std::to_string(pid) + "\\b"), "<pid>");
  }
  return text;
}

// The stand-in runtime, started for one test and ended with it.
class Peer {
 public:
  explicit Peer(const std::vector<std::string>& options = {}, const std::vector<std::string>& env = {},
                bool wait_for_socket = true, const std::string& program = PEER_BIN)
      : dir_(MakeTempDir()) {
    std::vector<std::string> argv = {program, "--dir", dir_, "--lifetime", "60"};
    argv.insert(argv.end(), options.begin(), options.end());
    for (size_t i = 0; i + 1 < options.size(); i++) {
      if (options[i] == "--squat") socket_owner_ = atoi(options[i + 1].c_str());
    }
    pid_ = Spawn(argv, env);
    if (pid_ == -1) reaped_ = true;  // nothing to wait for, signal or reap
    if (socket_owner_ == 0) socket_owner_ = pid_;
    if (wait_for_socket && pid_ != -1) WaitFor([&] { return FileExists(SocketPath(socket_owner_)); });
  }
  ~Peer() {
    Stop();
    RemoveTree(dir_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  int pid() const { return pid_; }
  const std::string& dir() const { return dir_; }
  std::string pid_text() const { return std::to_string(pid_); }

  // True while the peer runs (not ended by a signal or by itself).
  bool Alive() {
    if (reaped_) return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      status_ = status;
      return false;
    }
    return true;
  }
  int status() const { return status_; }

  // The n-th message received, waiting for it up to timeout_ms; empty when
  // none came.
  std::string Message(int n, int timeout_ms = 5000) const {
    std::string path = dir_ + "/msg-" + std::to_string(n) + ".bin";
    if (!WaitFor([&] { return FileExists(path); }, timeout_ms)) return std::string();
    return ReadFile(path);
  }
  bool HasMessage(int n) const { return FileExists(dir_ + "/msg-" + std::to_string(n) + ".bin"); }
  int Kicks() const { return atoi(ReadFile(dir_ + "/kicks").c_str()); }

  void Stop() {
    if (!reaped_) {
      kill(pid_, SIGTERM);
      status_ = Reap(pid_, 3000);
      reaped_ = true;
    }
    if (pid_ == -1) return;
    if (socket_owner_ != pid_) unlink(SocketPath(socket_owner_).c_str());
    unlink(SocketPath(pid_).c_str());
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int socket_owner_ = 0;
  bool reaped_ = false;
  int status_ = 0;
};

// Variables of the test's own environment that would steer the tool or the
// stand-in runtime are cleared before any test runs.
struct CleanEnvironment {
  CleanEnvironment() {
    for (const char* name : {"NODE_LOG_DIR", "PEER_PROBE", "PEER_PROBE_RECORD", "ENABLE_NODE_LOG"}) unsetenv(name);
  }
};
inline const CleanEnvironment kCleanEnvironment;

// The clock line after Normalize, and the confirmation of --force_gc.
inline const std::string kClock = "<clock>\n\n";
inline const std::string kForceGc = "强制fullGC一次.\n";

// Kicks the runtime saw; stopping it first lets a kick still in flight be
// counted.
inline int KicksAfterStop(Peer& peer) {
  peer.Stop();
  return peer.Kicks();
}

// Fields of a recorded control message.
inline unsigned int MaskOf(const std::string& message) {
  unsigned int mask = 0;
  if (message.size() >= 4) memcpy(&mask, message.data(), 4);
  return mask;
}
inline int SenderOf(const std::string& message) {
  int pid = 0;
  if (message.size() >= 8) memcpy(&pid, message.data() + 4, 4);
  return pid;
}
inline std::string TextOf(const std::string& message) {
  if (message.size() <= 8) return std::string();
  return std::string(message.c_str() + 8, strnlen(message.data() + 8, message.size() - 8));
}
// True when every byte of message after its text's NUL is zero.
inline bool TailIsZero(const std::string& message) {
  size_t start = 8 + TextOf(message).size();
  for (size_t i = start; i < message.size(); i++) {
    if (message[i] != '\0') return false;
  }
  return true;
}

// Processes started for one case of a table, ended with it: killed, reaped,
// their sockets and directories removed.
struct Started {
  std::vector<pid_t> pids;
  std::vector<std::string> dirs;
  pid_t Add(pid_t pid) {
    pids.push_back(pid);
    return pid;
  }
  std::string Dir() {
    dirs.push_back(qtest::MakeTempDir());
    return dirs.back();
  }
  ~Started() {
    for (pid_t pid : pids) {
      kill(pid, SIGTERM);
      qtest::Reap(pid, 3000);
    }
    for (const std::string& dir : dirs) qtest::RemoveTree(dir);
  }
};

}  // namespace qtest

#endif  // QUELLIX_TEST_SUPPORT_H_
