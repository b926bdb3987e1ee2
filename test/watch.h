// What the integration tests watch from outside: the tool's detached
// background process, seen from a test that is a child subreaper (when the tool's foreground process ends, its
// background process becomes the test's child, to be inspected and reaped).
#ifndef QUELLIX_TEST_WATCH_H_
#define QUELLIX_TEST_WATCH_H_

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/prctl.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "support.h"

namespace qtest {

// A stand-in runtime on the heap, for tables of cases; its socket path
// appears only once it listens.
inline std::unique_ptr<Peer> ListeningPeer(const std::vector<std::string>& options,
                                           const std::vector<std::string>& env = {}) {
  return std::make_unique<Peer>(options, env);
}

// ppid, pgrp and session from /proc/<pid>/stat; false when pid is gone.
inline bool ReadStat(pid_t pid, int* ppid, int* pgrp, int* session) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t name_end = stat.rfind(')');
  return name_end != std::string::npos &&
         sscanf(stat.c_str() + name_end + 1, " %*c %d %d %d", ppid, pgrp, session) == 3;
}

// This process's children, zombies included, other than those in known.
inline std::vector<pid_t> OtherChildren(const std::vector<pid_t>& known) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  while (struct dirent* entry = proc == nullptr ? nullptr : readdir(proc)) {
    pid_t pid = atoi(entry->d_name);
    int ppid, pgrp, session;
    if (pid > 0 && ReadStat(pid, &ppid, &pgrp, &session) && ppid == getpid() &&
        std::count(known.begin(), known.end(), pid) == 0) {
      found.push_back(pid);
    }
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

// The one child not in known, waited for until timeout_ms; -1 when there is
// none or more than one.
inline pid_t FindBackground(const std::vector<pid_t>& known, int timeout_ms = 2000) {
  std::vector<pid_t> others;
  WaitFor([&] { return (others = OtherChildren(known)).size() == 1; }, timeout_ms);
  return others.size() == 1 ? others[0] : -1;
}

// Reaps pid within timeout_ms; its exit code, or -1.
inline int ExitCode(pid_t pid, int timeout_ms) {
  if (pid <= 0) return -1;  // waitpid(-1) would reap any child
  int status = 0;
  if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms)) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline void KillOtherChildren(const std::vector<pid_t>& known) {
  for (pid_t pid : OtherChildren(known)) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// True when pid has a handler for signo.
inline bool Catches(pid_t pid, int signo) {
  std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("\nSigCgt:\t");
  return at != std::string::npos && (std::stoull(status.substr(at + 9, 16), nullptr, 16) >> (signo - 1) & 1) != 0;
}

// quellix started as from an interactive shell (SIGINT at its default), its
// output read while it runs; killed and reaped at the end if it is still
// there.
class RunningTool {
 public:
  RunningTool(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    if (pipe(out_) != 0) return;
    std::vector<std::string> argv = {"/usr/bin/env", "--default-signal=INT", QUELLIX_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = Spawn(argv, env, out_[1]);
    close(out_[1]);
    fcntl(out_[0], F_SETFL, O_NONBLOCK);
  }
  ~RunningTool() {
    if (!reaped_) Reap(pid_, 0);
    close(out_[0]);
  }
  RunningTool(const RunningTool&) = delete;
  RunningTool& operator=(const RunningTool&) = delete;

  // Waits until condition holds and quellix waits for a result file: it
  // catches SIGINT then (the probe, which catches it too, is over once the
  // command was delivered).
  bool Waiting(const std::function<bool()>& condition) {
    return WaitFor([&] { return Read(), condition() && Catches(pid_, SIGINT); }, 20000);
  }
  void Signal(int signo) { kill(pid_, signo); }
  // The exit status, or -1 when it had to be killed or ended by a signal.
  int Finish(int timeout_ms) {
    int status = Reap(pid_, timeout_ms);
    reaped_ = true;
    Read();
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string out;

 private:
  void Read() {
    char buf[4096];
    for (ssize_t n; (n = read(out_[0], buf, sizeof(buf))) > 0;) out.append(buf, static_cast<size_t>(n));
  }
  int out_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// No background process outlives a test, also when it fails; the peers are
// locals of the test body and gone before TearDown.
class BackgroundTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1)); }
  void TearDown() override { KillOtherChildren({}); }
};

}  // namespace qtest

#endif  // QUELLIX_TEST_WATCH_H_
