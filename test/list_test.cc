// The real quellix's --list: the Node.js processes the caller may see, as a
// table and as JSON.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

using qtest::Started;

// The lines of --list whose first field is pid.
std::vector<std::string> ListedLines(const std::string& out, pid_t pid) {
  std::vector<std::string> found;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(std::to_string(pid) + " ", 0) == 0) found.push_back(line);
  }
  return found;
}

// --list: a header, then one line per Node.js process the caller may see:
// the stand-in runtime that serves its socket (ready, whether or not it
// catches SIGUSR2: the agent does not), a plain node that --attach could
// reach; nothing that is not node. Another user sees none of root's.
TEST(ListTest, NodeProcessesOnly) {
  qtest::Peer ready({"--bind-dir", "--no-kick-handler"});
  qtest::Peer not_node({}, {}, true, PLAIN_BIN);
  Started started;
  pid_t sleeper = started.Add(qtest::Spawn({"/bin/sleep", "30"}, {}));
  pid_t node = -1;
  if (access(NODE_BIN, X_OK) == 0) {
    node = started.Add(qtest::Spawn({NODE_BIN, "-e", "setTimeout(() => {}, 30000)"}, {"NODE_OPTIONS="}));
    // Node catches SIGUSR1 once it runs.
    ASSERT_TRUE(qtest::WaitFor([&] {
      std::string status = qtest::ReadFile("/proc/" + std::to_string(node) + "/status");
      size_t at = status.find("\nSigCgt:\t");
      return at != std::string::npos && (std::stoull(status.substr(at + 9, 16), nullptr, 16) & (1ULL << (SIGUSR1 - 1)));
    }));
  }
  char user[64];
  struct passwd* entry = getpwuid(geteuid());
  snprintf(user, sizeof(user), "%s", entry != nullptr ? entry->pw_name : "?");
  qtest::RunResult r = qtest::RunQuellix({"--list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "PID     INNER   USER         STATE      COMMAND\n");
  // A command line longer than 100 bytes is cut and ends in "...", so the
  // peer's line depends on where the checkout lies.
  std::string peer_command =
      std::string(PEER_BIN) + " --dir " + ready.dir() + " --lifetime 60 --bind-dir --no-kick-handler";
  if (peer_command.size() > 100) {
    peer_command.resize(100);
    peer_command += "...";
  }
  char expected[1024];
  snprintf(expected, sizeof(expected), "%-7d %-7s %-12s %-10s %s", ready.pid(), "-", user, "ready",
           peer_command.c_str());
  EXPECT_EQ(ListedLines(r.out, ready.pid()), std::vector<std::string>{expected});
  if (node != -1) {
    snprintf(expected, sizeof(expected), "%-7d %-7s %-12s %-10s %s -e setTimeout(() => {}, 30000)", node, "-", user,
             "attachable", NODE_BIN);
    EXPECT_EQ(ListedLines(r.out, node), std::vector<std::string>{expected});
  }
  EXPECT_EQ(ListedLines(r.out, sleeper), std::vector<std::string>{});
  EXPECT_EQ(ListedLines(r.out, not_node.pid()), std::vector<std::string>{});

  r = qtest::RunQuellix({"--json", "--list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("{\"processes\":[", 0), 0u) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 3), "]}\n");
  const std::string object = "{\"pid\":" + ready.pid_text() + ",\"innerPid\":null,\"user\":\"" + user +
                             "\",\"state\":\"ready\",\"command\":\"" + peer_command + "\"}";
  EXPECT_NE(r.out.find(object), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("{\"pid\":" + std::to_string(sleeper) + ","), std::string::npos);

  if (geteuid() != 0) return;
  r = qtest::Run("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", QUELLIX_BIN, "--list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ListedLines(r.out, ready.pid()), std::vector<std::string>{});
}

}  // namespace
