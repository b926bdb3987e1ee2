// A probe that never answers: the tool gives it ten seconds, then kills and
// reaps it and takes the target for no runtime.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include "support.h"

namespace {

// Parent and session of pid from its stat file; false when it is gone.
bool ReadStat(int pid, int* parent, int* session) {
  std::string stat = qtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t end = stat.rfind(')');
  return end != std::string::npos && sscanf(stat.c_str() + end + 1, " %*c %d %*d %d", parent, session) == 2;
}

// Children of parent other than the given one.
std::vector<int> ChildrenOf(int parent, int known = 0) {
  std::vector<int> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (struct dirent* entry = readdir(proc)) {
    int pid = atoi(entry->d_name), ppid = 0, session = 0;
    if (pid > 0 && pid != known && ReadStat(pid, &ppid, &session) && ppid == parent) children.push_back(pid);
  }
  closedir(proc);
  return children;
}

// As a subreaper this process also inherits whatever the tool leaves behind,
// running or not yet reaped.
std::vector<int> OtherChildren(int known) { return ChildrenOf(getpid(), known); }

TEST(ProbeLimitTest, SilentProbeIsKilledAndReaped) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  qtest::Peer peer;
  qtest::RunResult r = qtest::RunQuellix({"--force_gc", peer.pid_text()}, {"PEER_PROBE=silent-sleep"}, 25000);
  EXPECT_EQ(r.out, "Please check if pid " + peer.pid_text() + " is node process.\n");
  EXPECT_EQ(r.status, 1);
  // The probe prints nothing and sleeps 30 s: only the limit ends it.
  EXPECT_GE(r.elapsed_ms, 9500);
  EXPECT_LT(r.elapsed_ms, 20000);
  EXPECT_EQ(OtherChildren(peer.pid()), std::vector<int>());
  EXPECT_FALSE(peer.HasMessage(0));
  for (int pid : OtherChildren(peer.pid())) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
