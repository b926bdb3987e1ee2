// The guard of quellix --attach, with real users made here (useradd) and
// real node in a network namespace made here: another user polling the
// inspector's port every millisecond during 20 attaches never connects,
// while its connections to the application's own ports all succeed; a
// guard left by a killed quellix lapses by itself and is removed by the
// next attach; without root or without nft, --attach refuses before any
// signal and --attach=unguarded works; and a connection of another user to
// the unguarded inspector is reported.
#include <pwd.h>

#include <algorithm>

#include "watch.h"

namespace {

// An application of the target's user: an HTTP server on the port given as
// its argument, ending by itself.
const char kApp[] =
    "require('http').createServer((q, r) => r.end('ok')).listen(Number(process.argv[1]), '127.0.0.1',"
    " () => console.log('ready'));"
    "setTimeout(() => process.exit(0), 120000);";
// One whose main thread is blocked in native code for 3 s, then idle.
const char kBlocked[] =
    "setTimeout(() => { console.log('blocking'); require('child_process').execSync('sleep 3'); }, 100);"
    "setTimeout(() => process.exit(0), 120000);";
// Another user's poller: every millisecond a connection to 127.0.0.1:9229,
// and every 10 ms an HTTP request to the next of the application ports
// listed in the file given; on SIGTERM it prints what it saw.
const char kPoller[] =
    "const net = require('net'), http = require('http'), fs = require('fs');"
    "const seen = { attempts: 0, connected: 0, appOk: 0, appFailed: 0 };"
    "let ports = [], next = 0, tick = 0;"
    "setInterval(() => {"
    "  seen.attempts++;"
    "  const s = net.connect(9229, '127.0.0.1');"
    "  s.on('connect', () => { seen.connected++; s.destroy(); });"
    "  s.on('error', () => {});"
    "  if (++tick % 10 !== 0) return;"
    "  if (tick % 100 === 0) { try { ports = fs.readFileSync(process.argv[1], 'utf8').split(' ').filter(Boolean); }"
    "    catch (_) {} }"
    "  if (ports.length === 0) return;"
    "  const port = ports[next++ % ports.length];"
    "  http.get({ host: '127.0.0.1', port, agent: false }, (r) => { r.resume(); r.on('end', () => seen.appOk++); })"
    "    .on('error', () => seen.appFailed++);"
    "}, 1);"
    "process.on('SIGTERM', () => { console.log(JSON.stringify(seen)); process.exit(0); });"
    "setTimeout(() => process.exit(1), 300000);";
// Another user's process that connects to 127.0.0.1:9229 as soon as it can
// and holds the connection for 3 s.
const char kHolder[] =
    "const net = require('net'); let held = false;"
    "setInterval(() => { if (held) return; const s = require('net').connect(9229, '127.0.0.1');"
    "  s.on('connect', () => { held = true; setTimeout(() => process.exit(0), 3000); }); s.on('error', () => {}); },"
    " 1);"
    "setTimeout(() => process.exit(0), 60000); console.log('polling');";

const std::string kLoaded = "Agent loaded into pid <pid>; its inspector was open for <ms> ms.\n";

// A user made for the test and removed with it.
class TestUser {
 public:
  explicit TestUser(const std::string& name) : name_(name) {
    qtest::RunResult r =
        qtest::Run("/usr/sbin/useradd", {"--no-create-home", "--shell", "/usr/sbin/nologin", "--user-group", name});
    struct passwd* entry = r.status == 0 ? getpwnam(name.c_str()) : nullptr;
    if (entry == nullptr) {
      error_ = r.err;
      return;
    }
    uid_ = static_cast<int>(entry->pw_uid);
    gid_ = static_cast<int>(entry->pw_gid);
  }
  ~TestUser() {
    if (uid_ != -1) qtest::Run("/usr/sbin/userdel", {name_});
  }
  TestUser(const TestUser&) = delete;
  TestUser& operator=(const TestUser&) = delete;

  bool made() const { return uid_ != -1; }
  const std::string& error() const { return error_; }
  const std::string& name() const { return name_; }
  int uid() const { return uid_; }
  int gid() const { return gid_; }

 private:
  std::string name_;
  std::string error_;
  int uid_ = -1;
  int gid_ = -1;
};

class GuardedAttachTest : public qtest::BackgroundTest {
 protected:
  void SetUp() override {
    qtest::BackgroundTest::SetUp();
    if (access(NODE_BIN, X_OK) != 0) GTEST_SKIP() << "node is not installed";
    if (geteuid() != 0) GTEST_SKIP() << "needs root (users, namespaces, nftables)";
    qtest::RunResult r = qtest::Run("/usr/bin/unshare", {"--net", "/usr/sbin/nft", "list", "tables"});
    if (r.status != 0) GTEST_SKIP() << "nftables in a network namespace is not available here (" << r.err << ")";
    for (const char* tool : {"/usr/bin/nsenter", "/usr/bin/setpriv", "/usr/sbin/useradd"}) {
      if (access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
    }
    const std::string tag = std::to_string(getpid());
    owner_ = std::make_unique<TestUser>("qxt" + tag);
    other_ = std::make_unique<TestUser>("qxo" + tag);
    if (!owner_->made() || !other_->made()) GTEST_SKIP() << "useradd failed: " << owner_->error() << other_->error();
    dir_ = qtest::MakeTempDir();
    chmod(dir_.c_str(), 0755);
    // The namespace, held by a process of its own.
    holder_ = qtest::Spawn({"/usr/bin/unshare", "--net", "/bin/sh", "-c", "ip link set lo up && exec sleep 300"}, {});
    ASSERT_TRUE(
        qtest::WaitFor([&] { return qtest::ReadFile("/proc/" + std::to_string(holder_) + "/comm") == "sleep\n"; }));
    unsetenv("NODE_OPTIONS");
  }
  void TearDown() override {
    for (pid_t pid : started_) qtest::KillAgentHost(pid, true);
    if (holder_ > 0) kill(holder_, SIGKILL);
    qtest::Reap(holder_, 3000);
    qtest::BackgroundTest::TearDown();
    owner_.reset();
    other_.reset();
    if (!dir_.empty()) qtest::RemoveTree(dir_);
  }

  // Starts argv in the namespace as user (null: root), stdout and stderr
  // into files of the test's directory named after name.
  pid_t Start(const TestUser* user, const std::vector<std::string>& argv, const std::string& name) {
    std::vector<std::string> full = {"/usr/bin/nsenter",
                                     "--net=/proc/" + std::to_string(holder_) + "/ns/net",
                                     "/usr/bin/setpriv",
                                     "--reuid=" + std::to_string(user ? user->uid() : 0),
                                     "--regid=" + std::to_string(user ? user->gid() : 0),
                                     "--clear-groups",
                                     "/bin/sh",
                                     "-c",
                                     "cd / && exec \"$@\"",
                                     "sh"};
    full.insert(full.end(), argv.begin(), argv.end());
    int out = open((dir_ + "/" + name + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((dir_ + "/" + name + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = qtest::Spawn(full, {}, out, err);
    close(out);
    close(err);
    started_.push_back(pid);
    return pid;
  }
  std::string Out(const std::string& name) const { return qtest::ReadFile(dir_ + "/" + name + ".out"); }
  std::string Err(const std::string& name) const { return qtest::ReadFile(dir_ + "/" + name + ".err"); }

  // The application of the target's user, once it serves port.
  pid_t StartApp(const std::string& name, int port) {
    pid_t pid = Start(owner_.get(), {NODE_BIN, "-e", kApp, std::to_string(port)}, name);
    EXPECT_TRUE(qtest::WaitFor([&] { return Out(name) == "ready\n"; }, 10000)) << Err(name);
    return pid;
  }

  // quellix as root from the host, or as given.
  qtest::RunResult Quellix(const std::vector<std::string>& args) { return qtest::RunQuellix(args); }

  // The tables of nftables in the namespace.
  std::string Tables() const {
    return qtest::Run("/usr/bin/nsenter",
                      {"--net=/proc/" + std::to_string(holder_) + "/ns/net", "/usr/sbin/nft", "list", "tables"})
        .out;
  }
  // True when user connects to 127.0.0.1:port in the namespace.
  bool Connects(const TestUser& user, int port) const {
    return qtest::Run("/usr/bin/nsenter",
                      {"--net=/proc/" + std::to_string(holder_) + "/ns/net", "/usr/bin/setpriv",
                       "--reuid=" + std::to_string(user.uid()), "--regid=" + std::to_string(user.gid()),
                       "--clear-groups", "/bin/bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port)})
               .status == 0;
  }
  // True while something listens on 127.0.0.1:9229 in the namespace.
  bool InspectorListens() const {
    return qtest::Run("/usr/bin/nsenter", {"--net=/proc/" + std::to_string(holder_) + "/ns/net", "/bin/sh", "-c",
                                           "grep -q ':240D 00000000:0000 0A' /proc/net/tcp"})
               .status == 0;
  }

  std::unique_ptr<TestUser> owner_, other_;
  std::string dir_;
  pid_t holder_ = -1;
  std::vector<pid_t> started_;
};

// The issue's own measure: 20 attaches against the target user's
// applications while another user polls the inspector's port every
// millisecond. It never connects; the applications' own ports answer it
// every time; no guard is left after any attach.
TEST_F(GuardedAttachTest, TwentyAttachesUnderPolling) {
  const std::string ports_file = dir_ + "/ports";
  std::ofstream(ports_file).close();
  chmod(ports_file.c_str(), 0644);
  pid_t poller = Start(other_.get(), {NODE_BIN, "-e", kPoller, ports_file}, "poller");
  std::string ports;
  int loaded = 0;
  for (int i = 0; i < 20; i++) {
    SCOPED_TRACE("attach " + std::to_string(i + 1));
    const std::string name = "app" + std::to_string(i);
    const int port = 8080 + i;
    pid_t app = StartApp(name, port);
    ports += std::to_string(port) + " ";
    std::ofstream(ports_file) << ports;
    qtest::RunResult r = Quellix({"--attach", std::to_string(app)});
    std::string out = std::regex_replace(r.out, std::regex("open for \\d+ ms"), "open for <ms> ms");
    if (r.status == 0 && qtest::Normalize(out, {app}) == kLoaded) loaded++;
    EXPECT_EQ(kLoaded, qtest::Normalize(out, {app})) << r.err;
    EXPECT_EQ(std::string::npos, Tables().find("quellix_")) << "a guard left behind";
    EXPECT_FALSE(InspectorListens());
  }
  kill(poller, SIGTERM);
  EXPECT_NE(-1, qtest::Reap(poller, 5000));
  const std::string seen = Out("poller");
  printf("[ figures  ] 20 attaches: %d loaded; the other user's poller saw %s", loaded, seen.c_str());
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      seen, m, std::regex(R"(\{"attempts":(\d+),"connected":(\d+),"appOk":(\d+),"appFailed":(\d+)\})")))
      << seen << Err("poller");
  EXPECT_GE(loaded, 18);
  EXPECT_GT(std::stoi(m[1]), 2000) << "it polled";
  EXPECT_EQ("0", m[2].str()) << "it connected to an inspector";
  EXPECT_GT(std::stoi(m[3]), 100) << "it reached the applications";
  EXPECT_EQ("0", m[4].str()) << "an application's own port refused it";
}

// quellix killed while it holds its guard (waiting for a blocked main
// thread): the guard stays, keeps the other user off a port opened since,
// lapses by itself within its time bound, and the next attach removes it.
TEST_F(GuardedAttachTest, GuardOfAKilledRunLapsesAndIsRemoved) {
  pid_t blocked = Start(owner_.get(), {NODE_BIN, "-e", kBlocked}, "blocked");
  ASSERT_TRUE(qtest::WaitFor([&] { return Out("blocked") == "blocking\n"; }, 10000)) << Err("blocked");
  pid_t quellix = qtest::Spawn({QUELLIX_BIN, "--attach", std::to_string(blocked)}, {});
  ASSERT_TRUE(qtest::WaitFor([&] { return Tables().find("quellix_") != std::string::npos; }, 5000));
  const long long installed = qtest::NowMs();
  kill(quellix, SIGKILL);
  qtest::Reap(quellix, 3000);
  // The blocked target opens its inspector later; nobody closes it now.
  kill(blocked, SIGKILL);
  const std::string table = Tables();
  EXPECT_NE(std::string::npos, table.find("quellix_" + std::to_string(quellix) + "_")) << table;
  pid_t app = StartApp("late", 7777);
  EXPECT_FALSE(Connects(*other_, 7777)) << "a port opened after the guard";
  EXPECT_TRUE(qtest::WaitFor([&] { return Connects(*other_, 7777); }, 45000)) << "the guard never lapsed";
  const long long lapsed = qtest::NowMs() - installed;
  printf("[ figures  ] the guard of a killed quellix lapsed %lld ms after it was installed\n", lapsed);
  EXPECT_GE(lapsed, 20000) << "lapsed before its time";
  EXPECT_NE(std::string::npos, Tables().find("quellix_")) << "inert, but still there";
  qtest::RunResult r = Quellix({"--attach", std::to_string(app)});
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ(std::string::npos, Tables().find("quellix_")) << "the next attach removes it";
}

// Where quellix runs.
enum Runner {
  NO_NFT,    // as root, with nft hidden (a mount namespace of its own)
  AS_OWNER,  // as the target's user, in its network namespace
};

TEST_F(GuardedAttachTest, WithoutAGuard) {
  struct Case {
    const char* name;
    Runner runner;
    const char* option;
    bool intruder;
    std::string out;
    int status;
  };
  const std::string other = other_->name();
  // clang-format off
  const Case cases[] = {
      {"no nft", NO_NFT, "--attach", false, "--attach guards pid <pid>'s inspector with nftables, but nft is not "
       "installed (package nftables); --attach=unguarded accepts the risk without it. No signal sent.\n", 1},
      {"no nft, unguarded", NO_NFT, "--attach=unguarded", false, kLoaded, 0},
      {"not root", AS_OWNER, "--attach", false, "--attach guards pid <pid>'s inspector with nftables, which needs "
       "root; --attach=unguarded accepts the risk without it. No signal sent.\n", 1},
      {"not root, unguarded", AS_OWNER, "--attach=unguarded", false, kLoaded, 0},
      {"another user connects", NO_NFT, "--attach=unguarded", true, "Warning: pid <intruder> (user " + other +
       ") connected to pid <pid>'s inspector while it was open.\n", 1},
  };
  // clang-format on
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "app" + std::to_string(n++);
    pid_t app = StartApp(name, 8080 + n);
    pid_t intruder = -1;
    if (c.intruder) {
      const std::string holder = "holder" + std::to_string(n);
      intruder = Start(other_.get(), {NODE_BIN, "-e", kHolder}, holder);
      ASSERT_TRUE(qtest::WaitFor([&] { return Out(holder) == "polling\n"; }, 10000)) << Err(holder);
    }
    std::vector<std::string> argv;
    if (c.runner == NO_NFT) {
      argv = {"/usr/bin/unshare",
              "--mount",
              "/bin/sh",
              "-c",
              "for f in /usr/sbin/nft /sbin/nft /usr/local/sbin/nft; do [ -e \"$f\" ] && mount --bind /dev/null "
              "\"$f\"; done; exec \"$@\"",
              "sh"};
    } else {
      argv = {"/usr/bin/nsenter",
              "--net=/proc/" + std::to_string(holder_) + "/ns/net",
              "/usr/bin/setpriv",
              "--reuid=" + std::to_string(owner_->uid()),
              "--regid=" + std::to_string(owner_->gid()),
              "--clear-groups"};
    }
    argv.insert(argv.end(), {QUELLIX_BIN, c.option, std::to_string(app)});
    qtest::RunResult r = qtest::Run(argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()));
    std::string out = std::regex_replace(r.out, std::regex("open for \\d+ ms"), "open for <ms> ms");
    if (intruder > 0) out = std::regex_replace(out, std::regex("\\b" + std::to_string(intruder) + "\\b"), "<intruder>");
    EXPECT_EQ(c.out, qtest::Normalize(out, {app})) << r.err;
    EXPECT_EQ(c.status, r.status);
    EXPECT_FALSE(InspectorListens());
    // Refused before any signal: node never opened its inspector.
    const bool signalled = Err(name).find("Debugger listening") != std::string::npos;
    EXPECT_EQ(c.status == 0 || c.intruder, signalled) << Err(name);
    EXPECT_EQ(std::string::npos, Tables().find("quellix_"));
    qtest::KillAgentHost(app, true);
    if (intruder > 0) qtest::Reap(intruder, 5000);
  }
}

}  // namespace
