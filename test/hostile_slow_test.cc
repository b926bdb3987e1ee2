// A probe that never ends: the tool gives it ten seconds, then kills and
// reaps it and takes the target for no runtime.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/prctl.h>

#include "support.h"

namespace {

// Children of this process other than the given one; as a subreaper it also
// inherits whatever the tool leaves behind, running or not yet reaped.
std::vector<int> OtherChildren(int known) {
  std::vector<int> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (struct dirent* entry = readdir(proc)) {
    int pid = atoi(entry->d_name);
    if (pid <= 0 || pid == known) continue;
    std::string stat = qtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    int parent = 0;
    if (end != std::string::npos && sscanf(stat.c_str() + end + 1, " %*c %d", &parent) == 1 && parent == getpid()) {
      children.push_back(pid);
    }
  }
  closedir(proc);
  return children;
}

TEST(ProbeLimitTest, SleepingProbeIsKilledAndReaped) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  qtest::Peer peer;
  qtest::RunResult r = qtest::RunQuellix({"--force_gc", peer.pid_text()}, {"PEER_PROBE=sleep"}, 25000);
  EXPECT_EQ(r.out, "Please check if pid " + peer.pid_text() + " is node process.\n");
  EXPECT_EQ(r.status, 1);
  // The probe answers at once and then sleeps 30 s: only the limit ends it.
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
