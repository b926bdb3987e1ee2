// Unit tests of the nftables guard: the ruleset it writes, which tables of
// ended runs it removes, and the guard itself in a network namespace made
// here: other users' new connections are reset, the owner's and root's go
// through, ports that listened before stay open to all.
#include "guard.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>

#include <string>

#include "support.h"
#include "tools.h"

namespace {

TEST(GuardRulesTest, Text) {
  const int ports[] = {22, 8080};
  char rules[4096];
  ASSERT_TRUE(FormatGuardRules("quellix_12_34", 1000, ports, 2, 1700000030, "delete table inet quellix_1_2\n", rules,
                               sizeof(rules)));
  EXPECT_STREQ(
      "delete table inet quellix_1_2\n"
      "table inet quellix_12_34 {\n"
      "  chain output {\n"
      "    type filter hook output priority filter; policy accept;\n"
      "    meta time < 1700000030 tcp flags & (syn | ack) == syn fib daddr type local tcp dport != { 22, 8080 } meta "
      "skuid != { 0, 1000 } reject with tcp reset\n"
      "  }\n"
      "  chain input {\n"
      "    type filter hook input priority filter; policy accept;\n"
      "    meta time < 1700000030 iifname != \"lo\" tcp flags & (syn | ack) == syn fib daddr type local tcp dport != { "
      "22, 8080 } drop\n"
      "  }\n"
      "}\n",
      rules);
  // A target of root's, with nothing listening: every port is guarded.
  ASSERT_TRUE(FormatGuardRules("quellix_12_34", 0, ports, 0, 5, "", rules, sizeof(rules)));
  EXPECT_NE(nullptr, strstr(rules,
                            "meta time < 5 tcp flags & (syn | ack) == syn fib daddr type local meta skuid != 0 "
                            "reject with tcp reset\n"));
  EXPECT_EQ(nullptr, strstr(rules, "dport"));
  EXPECT_FALSE(FormatGuardRules("quellix_12_34", 0, ports, 2, 5, "", rules, 100)) << "cut short";
}

TEST(GuardRulesTest, StaleTables) {
  unsigned long long start = 0;
  ASSERT_TRUE(GetProcessStartTime(getpid(), &start));
  const std::string live = "quellix_" + std::to_string(getpid()) + "_" + std::to_string(start);
  const std::string tables =
      "table inet filter\n"
      "table inet " +
      live +
      "\n"
      "table inet quellix_999999999_1\n"
      "table inet quellix_" +
      std::to_string(getpid()) +
      "_1\n"
      "table ip quellix_999999998_1\n"
      "table inet quellix_12x_3\n"
      "table inet quellix_999999997_5";
  char out[1024] = "";
  FormatStaleDeletions(tables.c_str(), out, sizeof(out));
  EXPECT_EQ(
      "delete table inet quellix_999999999_1\n"
      "delete table inet quellix_" +
          std::to_string(getpid()) +
          "_1\n"
          "delete table inet quellix_999999997_5\n",
      std::string(out));
}

// A network namespace of its own, held by a child, with lo up and a
// listener on port 7001 (IPv4 and IPv6 loopback) before the guard; once
// told, it listens on 7002 too. Killed with the test.
class GuardNamespace {
 public:
  GuardNamespace() {
    int ready[2];
    if (pipe(ready) != 0 || pipe(go_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      alarm(60);
      if (unshare(CLONE_NEWNET) != 0 || system("ip link set lo up") != 0) _exit(1);
      Listen(7001);
      if (write(ready[1], "r", 1) != 1) _exit(1);
      char byte;
      if (read(go_[0], &byte, 1) != 1) _exit(1);
      Listen(7002);
      if (write(ready[1], "r", 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    ready_ = ready[0];
    char byte;
    if (read(ready_, &byte, 1) != 1) pid_ = -1;
  }
  ~GuardNamespace() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    qtest::Reap(pid_, 3000);
    close(ready_);
    close(go_[0]);
    close(go_[1]);
  }
  GuardNamespace(const GuardNamespace&) = delete;
  GuardNamespace& operator=(const GuardNamespace&) = delete;

  int pid() const { return pid_; }
  bool ListenOnNewPort() {
    char byte = 'g';
    return write(go_[1], &byte, 1) == 1 && read(ready_, &byte, 1) == 1;
  }
  // Runs a command in the namespace as uid: its exit status.
  int RunAs(int uid, const std::string& command) const {
    return qtest::Run("/usr/bin/nsenter", {"--net=/proc/" + std::to_string(pid_) + "/ns/net", "/usr/bin/setpriv",
                                           "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
                                           "--clear-groups", "/bin/bash", "-c", command})
        .status;
  }
  // True when uid connects to address:port in the namespace.
  bool Connects(int uid, const std::string& address, int port) const {
    return RunAs(uid, "exec 3<>/dev/tcp/" + address + "/" + std::to_string(port)) == 0;
  }
  std::string Tables() const {
    return qtest::Run("/usr/bin/nsenter",
                      {"--net=/proc/" + std::to_string(pid_) + "/ns/net", "/usr/sbin/nft", "list", "tables"})
        .out;
  }

 private:
  static void Listen(int port) {
    int v4 = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    int v6 = socket(AF_INET6, SOCK_STREAM, 0);
    struct sockaddr_in6 b = {};
    b.sin6_family = AF_INET6;
    b.sin6_addr = in6addr_loopback;
    b.sin6_port = htons(static_cast<uint16_t>(port));
    if (bind(v4, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(v4, 64) != 0 ||
        bind(v6, reinterpret_cast<sockaddr*>(&b), sizeof(b)) != 0 || listen(v6, 64) != 0) {
      _exit(1);
    }
  }
  pid_t pid_ = -1;
  int ready_ = -1;
  int go_[2] = {-1, -1};
};

class GuardTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* missing = MissingGuardPiece();
    if (missing != nullptr) GTEST_SKIP() << "no guard here: needs " << missing;
    qtest::RunResult r = qtest::Run("/usr/bin/unshare", {"--net", "/usr/sbin/nft", "list", "tables"});
    if (r.status != 0) GTEST_SKIP() << "nftables in a network namespace is not permitted here: " << r.err;
    for (const char* tool : {"/usr/bin/nsenter", "/usr/bin/setpriv"}) {
      if (access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
    }
  }
};

const int kOwner = 41001;
const int kOther = 41002;

TEST_F(GuardTest, OnlyRootAndTheOwnerReachNewPorts) {
  GuardNamespace ns;
  ASSERT_GT(ns.pid(), 0);
  const int before[] = {7001};
  Guard guard = {};
  char why[512] = "";
  ASSERT_TRUE(InstallGuard(ns.pid(), kOwner, before, 1, &guard, why, sizeof(why))) << why;
  ASSERT_TRUE(ns.ListenOnNewPort());
  std::string tables = ns.Tables();
  EXPECT_NE(std::string::npos, tables.find("table inet " + std::string(guard.table) + "\n")) << tables;
  struct Case {
    int uid;
    const char* address;
    int port;
    bool connects;
  };
  const Case cases[] = {
      {kOther, "127.0.0.1", 7002, false}, {kOther, "::1", 7002, false},      {kOther, "127.0.0.1", 7001, true},
      {kOther, "::1", 7001, true},        {kOwner, "127.0.0.1", 7002, true}, {kOwner, "::1", 7002, true},
      {0, "127.0.0.1", 7002, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.uid) + " to " + c.address + ":" + std::to_string(c.port));
    EXPECT_EQ(c.connects, ns.Connects(c.uid, c.address, c.port));
  }
  ASSERT_TRUE(RemoveGuard(&guard, why, sizeof(why))) << why;
  EXPECT_TRUE(ns.Connects(kOther, "127.0.0.1", 7002));
  tables = ns.Tables();
  EXPECT_EQ(std::string::npos, tables.find(guard.table)) << tables;
  EXPECT_TRUE(RemoveGuard(&guard, why, sizeof(why))) << "removed once";
}

}  // namespace
