// quellix --attach against real node processes started without anything,
// each in a network namespace of its own: a plain one, one stuck in
// JavaScript, one blocked in native code, one whose inspector port another
// node holds, one that is no node, one started with --inspect, one under
// the permission model, one in a container (pid, mount and network
// namespaces) reached from the host, ones whose inspector opens where its
// command line does not say (process.title, process.debugPort, --env-file),
// one that handles SIGUSR1 itself, one in a memory cgroup with little room,
// and one that opens its inspector on port 0 beside silent servers of its
// own. After each: the target has no listener that it did not have before
// (unless its inspector was open before), the application's stdout is what
// it would be without quellix, its stderr holds node's own lines only, and
// a watcher of quellix is left only for a blocked main thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <set>

#include "system_facts.h"
#include "tools.h"
#include "watch.h"

namespace {

// Prints "tick N" every 100 ms and keeps what it allocates: a leak.
const char kTicks[] =
    "const kept = []; let i = 0;"
    "setInterval(() => { kept.push('x'.repeat(1000)); console.log('tick ' + i++); }, 100);"
    "setTimeout(() => process.exit(0), 60000);";
// Spins in JavaScript for 120 s (the row ends it sooner).
const char kStuck[] =
    "console.log('spinning'); const end = Date.now() + 120000; let n = 0;"
    "while (Date.now() < end) n += Math.sqrt(n) > 0 ? 1 : 0; console.log('done');";
// Blocks its main thread in native code for 4 s, then ticks.
const char kBlocked[] =
    "setTimeout(() => { console.log('blocking'); require('child_process').execSync('sleep 4'); }, 100);"
    "setTimeout(() => process.exit(0), 60000);";

// Listens on 8 loopback ports of its own that never answer, and says so on
// stdout when one is asked anything.
const char kSilentPorts[] =
    "for (let i = 0; i < 8; i++) require('net').createServer(() => console.log('asked')).listen(0, '127.0.0.1');";
// Its own SIGUSR1 handler, as for log rotation.
const char kOwnUsr1[] = "process.on('SIGUSR1', () => {});";
// Its command line, and with it the inspector's address, overwritten.
const char kTitle[] = "process.title = 'quellix-test-service';";

enum Kind {
  PLAIN,
  STUCK,
  BLOCKED,
  PORT_HELD,
  NOT_NODE,
  INSPECTING,
  PERMISSION,
  CONTAINER,
  ANY_PORT,
  TITLE,
  DEBUG_PORT,
  ENV_FILE,
  OWN_USR1,
  LOW_MEMORY,
  USER_NS
};

// The port where each kind's inspector opens, when the kind fixes it.
int FixedPort(Kind kind) {
  switch (kind) {
    case CONTAINER:
    case PORT_HELD:
      return 9229;
    case TITLE:
      return 9230;
    case DEBUG_PORT:
      return 9333;
    case ENV_FILE:
      return 9445;
    default:
      return 0;
  }
}

// A free loopback port of this namespace, for the target's inspector, so
// that concurrent runs never meet on 9229.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(address);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// The ports where pid itself listens (in its network namespace).
std::set<int> OwnListeningPorts(int pid) {
  TcpSocket listeners[256];
  unsigned long own[1024];
  int count = GetTcpListeners(pid, listeners, 256);
  int own_count = GetSocketInodes(pid, own, 1024);
  std::set<int> ports;
  for (int i = 0; i < count; i++) {
    for (int j = 0; j < own_count; j++) {
      if (own[j] == listeners[i].inode) ports.insert(listeners[i].port);
    }
  }
  return ports;
}

// True when pid itself listens on port (in its network namespace).
bool Listens(int pid, int port) { return OwnListeningPorts(pid).count(port) != 0; }

// A memory cgroup of its own under the test's, removed with it; empty where
// none can be made here.
class MemoryCgroup {
 public:
  MemoryCgroup() {
    const std::string own = qtest::ReadFile("/proc/self/cgroup");
    size_t at = own.find(":memory:");
    if (at == std::string::npos) return;
    std::string dir = "/sys/fs/cgroup/memory" + own.substr(at + 8, own.find('\n', at) - at - 8) + "/quellix-test-" +
                      std::to_string(getpid());
    if (mkdir(dir.c_str(), 0755) == 0) dir_ = dir;
  }
  ~MemoryCgroup() {
    if (!dir_.empty()) qtest::WaitFor([&] { return rmdir(dir_.c_str()) == 0 || errno != EBUSY; }, 3000);
  }
  MemoryCgroup(const MemoryCgroup&) = delete;
  MemoryCgroup& operator=(const MemoryCgroup&) = delete;

  const std::string& dir() const { return dir_; }
  // Leaves the processes in it mb of room beyond what they use now.
  bool LeaveRoom(int mb) const {
    long long usage = atoll(qtest::ReadFile(dir_ + "/memory.usage_in_bytes").c_str());
    std::ofstream limit(dir_ + "/memory.limit_in_bytes");
    limit << usage + mb * 1024LL * 1024;
    limit.close();
    return usage > 0 && limit.good();
  }

 private:
  std::string dir_;
};

// The target of one row, started in dir with stdout and stderr in files,
// and ended with the row.
class Target {
 public:
  Target(Kind kind, const std::string& dir, const std::string& cgroup = "")
      : dir_(dir), port_(FixedPort(kind) != 0 ? FixedPort(kind) : FreePort()) {
    const std::string port = std::to_string(port_);
    std::vector<std::string> env = {"NODE_OPTIONS=--inspect-port=" + port};
    std::vector<std::string> argv = {NODE_BIN, "-e", kTicks};
    if (kind == STUCK) argv = {NODE_BIN, "-e", kStuck};
    if (kind == BLOCKED) argv = {NODE_BIN, "-e", kBlocked};
    if (kind == NOT_NODE)
      argv = {"/bin/bash", "-c",
              "trap 'echo usr1 > " + dir + "/usr1' USR1; trap 'echo usr2 > " + dir +
                  "/usr2' USR2; for i in $(seq 600); do sleep 0.1; done"};
    if (kind == INSPECTING) argv = {NODE_BIN, "--inspect=127.0.0.1:" + port, "-e", kTicks};
    if (kind == PERMISSION) argv = {NODE_BIN, "--experimental-permission", "--allow-fs-read=*", "-e", kTicks};
    // Port 0: the inspector opens on a port of its own choosing.
    if (kind == ANY_PORT) {
      env = {"NODE_OPTIONS=--inspect-port=0"};
      argv = {NODE_BIN, "-e", std::string(kSilentPorts) + kTicks};
    }
    // Where the inspector opens is not on its command line or in its environment.
    if (kind == TITLE || kind == DEBUG_PORT || kind == ENV_FILE || kind == OWN_USR1) env.clear();
    if (kind == TITLE) argv = {NODE_BIN, "--inspect-port=0.0.0.0:" + port, "-e", std::string(kTitle) + kTicks};
    if (kind == DEBUG_PORT) argv = {NODE_BIN, "-e", "process.debugPort = " + port + ";" + kTicks};
    if (kind == ENV_FILE) {
      std::ofstream(dir + "/app.env") << "NODE_OPTIONS=--inspect-port=127.0.0.1:" << port << "\n";
      argv = {NODE_BIN, "--env-file=" + dir + "/app.env", "-e", kTicks};
    }
    if (kind == OWN_USR1) argv = {NODE_BIN, "-e", std::string(kOwnUsr1) + kTicks};
    // In a network namespace of its own, with lo up (and for LOW_MEMORY in
    // its memory cgroup): its ports are its own, and the guard of quellix
    // stays out of the host's namespace.
    const std::string lo_up = "ip link set lo up && ";
    const std::string join = kind == LOW_MEMORY ? "echo $$ > " + cgroup + "/cgroup.procs && " : "";
    if (kind != PORT_HELD && kind != CONTAINER) {
      argv.insert(argv.begin(), {"/usr/bin/unshare", "--net", "/bin/sh", "-c", join + lo_up + "exec \"$0\" \"$@\""});
    }
    // Its network namespace owned by a user namespace of its own, as in a
    // rootless container: root there is its own user here.
    if (kind == USER_NS) argv.insert(argv.begin() + 1, {"--user", "--map-root-user"});
    if (kind == PORT_HELD) {
      env.clear();
      argv = {
          "/usr/bin/unshare",
          "--net",
          "/bin/sh",
          "-c",
          lo_up + "\"$0\" --inspect=127.0.0.1:9229 -e 'setTimeout(() => {}, 60000)' 2>/dev/null & echo $! > " + dir +
              "/holder; while ! grep -q ':240D 00000000:0000 0A' /proc/net/tcp; do sleep 0.02; done; exec \"$0\" -e \"$1\"",
          NODE_BIN,
          kTicks};
    }
    if (kind == CONTAINER) {
      env.clear();
      argv = {"/usr/bin/unshare",
              "--pid",
              "--mount",
              "--net",
              "--fork",
              "--kill-child",
              "--mount-proc",
              "/bin/sh",
              "-c",
              lo_up + "mount -t tmpfs tmpfs /tmp && exec \"$0\" -e \"$1\"",
              NODE_BIN,
              kTicks};
    }
    int out = open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    spawned_ = qtest::Spawn(argv, env, out, err);
    close(out);
    close(err);
    // Ready once it runs its program (in the container: unshare's child) and has said something.
    const std::string ready = kind == NOT_NODE  ? ""
                              : kind == STUCK   ? "spinning\n"
                              : kind == BLOCKED ? "blocking\n"
                                                : "tick 1\n";
    qtest::WaitFor(
        [&] {
          pid_ = kind == CONTAINER ? atoi(qtest::ReadFile(Task() + "/children").c_str()) : spawned_;
          char exe[1024] = {0};
          return pid_ > 0 && readlink(("/proc/" + std::to_string(pid_) + "/exe").c_str(), exe, sizeof(exe) - 1) > 0 &&
                 (kind == NOT_NODE || std::string(exe) == NODE_BIN) && Out().find(ready) != std::string::npos;
        },
        10000);
    if (kind == PORT_HELD) holder_ = atoi(qtest::ReadFile(dir + "/holder").c_str());
  }
  ~Target() {
    // Stopped first, so that its agent makes no mark after they are read.
    if (pid_ > 0) kill(pid_, SIGSTOP);
    const std::vector<std::string> marks = qtest::AgentMarks(pid_);
    for (pid_t pid : {holder_, pid_}) {
      if (pid > 0 && pid != spawned_) kill(pid, SIGKILL);
    }
    if (spawned_ > 0) kill(spawned_, SIGKILL);
    qtest::Reap(spawned_, 3000);
    for (int pid : {pid_, holder_}) {
      if (pid > 0) unlink(qtest::SocketPath(pid).c_str());
    }
    for (const std::string& mark : marks) unlink(mark.c_str());
  }
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  int pid() const { return pid_; }
  pid_t spawned() const { return spawned_; }
  int holder() const { return holder_; }
  int port() const { return port_; }
  std::string Out() const { return qtest::ReadFile(dir_ + "/out"); }
  std::string Err() const { return qtest::ReadFile(dir_ + "/err"); }

 private:
  std::string Task() const { return "/proc/" + std::to_string(spawned_) + "/task/" + std::to_string(spawned_); }
  std::string dir_;
  int port_;
  pid_t spawned_ = -1;
  int pid_ = -1;
  int holder_ = -1;
};

// One run of quellix against the row's target: its output after the clock
// line, pids, stamps and the time the inspector was open are replaced; the
// beginning of the result file it names, when it names one.
struct Step {
  std::vector<std::string> args;
  std::string out;
  int status;
  const char* begins = nullptr;
};

struct Case {
  const char* name;
  Kind kind;
  std::vector<Step> steps;
  int opened;          // "Debugger listening" lines on the target's stderr in the end
  bool left_open;      // its inspector still listens in the end
  bool later = false;  // nothing opens later either: looked at again 3 s after quellix
};

const std::string kLoaded = "Agent loaded into pid <pid>; its inspector was open for <ms> ms.\n";
const std::string kAlready = "Pid <pid> already runs the agent.\n";
const std::string kFallback = "<clock>\n\nNODE_LOG_DIR not configured, default dir /tmp/ is used\n";
const std::string kDump = "heapdump文件路径:/tmp/heapdump-<pid>-<stamp>.heapsnapshot\nheapdump可能需要数秒或数分钟.\n";
const std::string kProfile =
    "Profiling文件路径:/tmp/cpu-profile-<pid>-<stamp>.cpuprofile\n请等待2秒后读取此cpu-profiling结果.\n";
const std::string kReport = "diagnostic-report文件路径:/tmp/diagnostic-report-<pid>-<stamp>.diag\n";
const char kSnapshot[] = "{\"snapshot\":";
const char kCpuProfile[] = "{\"nodes\":";

std::string Host(const std::string& status) {
  size_t at = status.find("/tmp/");
  size_t end = status.find('\n', at);
  return "Host path: /proc/<pid>/root" + status.substr(at, end - at) + "\n";
}

// Loads a heap snapshot with the DevTools-compatible loader of the agent's
// tests; "" when it loaded, the reason otherwise. Where the loader is not
// installed (npm ci --prefix agent/test), the file must at least be one whole
// snapshot: JSON with nodes.
std::string LoadInDevTools(const std::string& file) {
  qtest::RunResult r = qtest::Run(NODE_BIN,
                                  {"-e",
                                   "require(process.argv[1]).loadInDevTools(process.argv[2]).then("
                                   "(s) => console.log(s === null ? 'no loader' : s.total > 0 ? 'loaded' : 'empty'),"
                                   "(e) => console.log(String(e)))",
                                   SOURCE_DIR "/agent/harness/control-client.js", file},
                                  {}, 60000);
  if (r.out == "no loader\n") {
    fprintf(stderr, "DevTools loader not installed (npm ci --prefix agent/test): %s checked as JSON only\n",
            file.c_str());
    r = qtest::Run(NODE_BIN,
                   {"-e",
                    "const s = JSON.parse(require('fs').readFileSync(process.argv[1], 'utf8'));"
                    "console.log(s.snapshot.node_count > 0 && s.nodes.length > 0 ? 'loaded' : 'empty')",
                    file},
                   {}, 60000);
  }
  return r.out == "loaded\n" ? "" : r.out + r.err;
}

class AttachTest : public qtest::BackgroundTest {
 protected:
  void SetUp() override {
    qtest::BackgroundTest::SetUp();
    if (access(NODE_BIN, X_OK) != 0) GTEST_SKIP() << "node is not installed";
    qtest::RunResult r =
        qtest::Run("/usr/bin/unshare", {"--pid", "--mount", "--net", "--fork", "--mount-proc", "/bin/true"});
    if (r.status != 0) GTEST_SKIP() << "unshare is not permitted here (" << r.err << ")";
    // quellix guards the inspector with nftables in the target's namespace.
    r = qtest::Run("/usr/bin/unshare", {"--net", "/usr/sbin/nft", "list", "tables"});
    if (r.status != 0) GTEST_SKIP() << "nftables in a network namespace is not available here (" << r.err << ")";
    unsetenv("NODE_OPTIONS");
  }
};

TEST_F(AttachTest, NodeStartedWithoutAnything) {
  const std::string refused =
      "Port 9229, where pid <pid> would open its inspector, is held by another process; no signal sent.\n";
  // clang-format off
  const Case cases[] = {
      {"plain", PLAIN, {
           {{"--attach", "--heapdump", "{pid}"}, kLoaded + kFallback + kDump, 0, kSnapshot},
           {{"--start_profiling", "--attach", "time=2s", "{pid}"}, kAlready + kFallback + kProfile, 0, kCpuProfile},
           {{"--attach", "--diag_report", "{pid}"}, kAlready + kFallback + kReport, 0, "{"},
           {{"--v8-options", "--stack_trace_limit=50", "--attach", "--pid={pid}"},
            kAlready + "<clock>\n\nv8-options:\n--stack_trace_limit=50 \n发送成功.\n", 0},
           {{"--attach", "{pid}"}, kAlready, 0},
       }, 1, false},
      {"stuck in JavaScript", STUCK, {
           {{"--attach", "--start_profiling", "time=2s", "{pid}"}, kLoaded + kFallback + kProfile, 0, kCpuProfile},
           {{"--attach", "--heapdump", "{pid}"}, kAlready + kFallback + kDump, 0, kSnapshot},
           {{"--attach", "--diag_report", "{pid}"}, kAlready + kFallback + kReport, 0, "{"},
       }, 1, false},
      // The inspector opens once the main thread is free; the watcher closes it.
      {"blocked in native code", BLOCKED, {
           {{"--attach", "{pid}"}, "Pid <pid> opened no inspector within 2 s of SIGUSR1 (its main thread is busy; a "
            "watcher closes the inspector if it opens within 10 minutes); nothing loaded.\n", 1},
       }, 1, false},
      // The guard cannot tell the users of another user namespace apart:
      // refused before any signal; unguarded it loads.
      {"in a user namespace of its own", USER_NS, {
           {{"--attach", "{pid}"}, "--attach cannot guard pid <pid>'s inspector: it runs in a user namespace of its "
            "own, where the guard cannot tell its users apart; --attach=unguarded accepts the risk without it. No "
            "signal sent.\n", 1},
           {{"--attach=unguarded", "{pid}"}, kLoaded, 0},
       }, 1, false},
      {"9229 held by another node", PORT_HELD, {{{"--attach", "--heapdump", "{pid}"}, refused, 1}}, 0, false},
      {"not node", NOT_NODE, {
           {{"--attach", "{pid}"}, "Pid <pid> is no Node.js process (napi_module_register is not exported); no signal "
            "sent.\n", 1},
       }, 0, false},
      {"started with --inspect", INSPECTING, {
           {{"--attach", "--heapdump", "{pid}"},
            "Agent loaded into pid <pid> through its open inspector, which stays open.\n" + kFallback + kDump, 0,
            kSnapshot},
       }, 1, true},
      {"permission model", PERMISSION, {
           {{"--attach", "{pid}"}, "Pid <pid> runs under node's permission model, which refuses inspector sessions; no "
            "signal sent.\n", 1},
       }, 0, false},
      // Found as its new listener; its silent servers are never asked.
      {"port 0", ANY_PORT, {
           {{"--attach", "--heapdump", "{pid}"}, kLoaded + kFallback + kDump, 0, kSnapshot},
           {{"--attach", "{pid}"}, kAlready, 0},
       }, 1, false},
      {"container", CONTAINER, {
           {{"--attach", "--heapdump", "{pid}"}, kLoaded + kFallback + kDump + Host(kDump), 0, kSnapshot},
           {{"--attach", "--start_profiling", "time=2s", "{pid}"}, kAlready + kFallback + kProfile + Host(kProfile), 0,
            kCpuProfile},
       }, 1, false},
      // process.title hides --inspect-port=0.0.0.0:9230: closed at once.
      {"process.title", TITLE, {
           {{"--attach", "--heapdump", "{pid}"}, "Pid <pid> opened its inspector on 0.0.0.0:9230, which is not a "
            "loopback address; quellix closed it again and loaded nothing.\n", 1},
       }, 1, false, true},
      {"process.debugPort", DEBUG_PORT, {{{"--attach", "{pid}"}, kLoaded, 0}}, 1, false, true},
      {"--env-file with NODE_OPTIONS", ENV_FILE, {{{"--attach", "{pid}"}, kLoaded, 0}}, 1, false, true},
      // Idle in its event loop, it served SIGUSR1 itself: no watcher.
      {"its own SIGUSR1 handler", OWN_USR1, {
           {{"--attach", "{pid}"}, "Pid <pid> opened no inspector within 2 s of SIGUSR1 (it may handle SIGUSR1 "
            "itself); nothing loaded.\n", 1},
       }, 0, false},
      {"a memory cgroup with little room", LOW_MEMORY, {
           {{"--attach", "--heapdump", "{pid}"}, "Pid <pid> has <n> MB of memory left (under its memory cgroup's "
            "limit); loading the agent adds about <n> MB, and --attach needs twice that. No signal sent.\n", 1},
       }, 0, false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = qtest::MakeTempDir();
    MemoryCgroup cgroup;
    if (c.kind == LOW_MEMORY && cgroup.dir().empty()) {
      printf("[ skipped  ] %s: no cgroup v1 memory controller to make a cgroup in here\n", c.name);
      continue;
    }
    {
      Target target(c.kind, dir, cgroup.dir());
      const int pid = target.pid();
      ASSERT_GT(pid, 0) << target.Err();
      // With 10 MB of room, less than twice what the agent costs.
      if (c.kind == LOW_MEMORY) {
        ASSERT_TRUE(cgroup.LeaveRoom(10));
      }
      for (const Step& step : c.steps) {
        std::vector<std::string> args = step.args;
        for (std::string& arg : args) {
          size_t at = arg.find("{pid}");
          if (at != std::string::npos) arg.replace(at, 5, std::to_string(pid));
        }
        SCOPED_TRACE(testing::PrintToString(args));
        const std::set<int> listening = OwnListeningPorts(pid);
        std::vector<pid_t> known = qtest::OtherChildren({});
        qtest::RunResult r = qtest::RunQuellix(args);
        std::smatch open;
        if (std::regex_search(r.out, open, std::regex("open for (\\d+) ms"))) {
          printf("[ figures  ] %s: inspector open for %s ms, quellix ran %lld ms\n", c.name, open[1].str().c_str(),
                 r.elapsed_ms);
        }
        // No listener of the target is left that was not there before.
        if (!c.left_open) {
          EXPECT_EQ(listening, OwnListeningPorts(pid));
        }
        // A watcher only for a main thread that is busy: it opens no
        // inspector in time, or it served the signal once and serves it
        // again when its loop turns (a timed command leaves its deferred
        // stop).
        const bool timed =
            std::count_if(args.begin(), args.end(), [](const std::string& a) { return a.rfind("time=", 0) == 0; });
        const bool watcher = c.kind == BLOCKED || (c.kind == STUCK && &step == &c.steps.front());
        EXPECT_EQ((watcher ? 1u : 0u) + (timed ? 1u : 0u), qtest::OtherChildren(known).size());
        if (c.kind == LOW_MEMORY) {
          std::smatch figures;
          ASSERT_TRUE(std::regex_search(r.out, figures, std::regex("has (\\d+) MB .* about (\\d+) MB")));
          EXPECT_LT(std::stoi(figures[1]), 2 * std::stoi(figures[2]));
          EXPECT_GE(std::stoi(figures[2]), 10);
        }
        std::string out = std::regex_replace(r.out, std::regex("open for \\d+ ms"), "open for <ms> ms");
        out = std::regex_replace(out, std::regex("\\d+ MB"), "<n> MB");
        EXPECT_EQ(step.out, qtest::Normalize(out, {pid})) << r.err;
        EXPECT_EQ(step.status, r.status);
        std::smatch path;
        if (step.begins == nullptr) continue;
        ASSERT_TRUE(std::regex_search(r.out, path, std::regex("文件路径:(/tmp/[^\n]+)\n")));
        const std::string file = (c.kind == CONTAINER ? "/proc/" + std::to_string(pid) + "/root" : "") + path[1].str();
        EXPECT_TRUE(qtest::WaitFor([&] { return qtest::FileExists(file); }, 60000)) << file;
        EXPECT_EQ(0u, qtest::ReadFile(file).rfind(step.begins, 0)) << file;
        if (std::string(step.begins) == kSnapshot) {
          EXPECT_EQ("", LoadInDevTools(file)) << file;
        }
        unlink(file.c_str());
      }
      const std::string listening = "Debugger listening on ws://" +
                                    std::string(c.kind == TITLE ? "0.0.0.0:" : "127.0.0.1:") +
                                    std::to_string(target.port()) + "/";
      if (c.kind == BLOCKED) {
        // The inspector opens once the main thread is free; the process that
        // quellix left behind closes it.
        EXPECT_TRUE(qtest::WaitFor([&] { return target.Err().find(listening) != std::string::npos; }, 10000));
        EXPECT_TRUE(qtest::WaitFor([&] { return !Listens(pid, target.port()); }, 5000));
        EXPECT_FALSE(qtest::FileExists(qtest::SocketPath(pid))) << "nothing loaded";
      }
      if (c.later) {
        // Nothing opens later either.
        usleep(3000 * 1000);
        EXPECT_FALSE(Listens(pid, target.port()));
      }
      if (c.opened > 0 && c.kind != ANY_PORT) {
        EXPECT_NE(std::string::npos, target.Err().find(listening)) << target.Err();
      }
      EXPECT_EQ(c.left_open, Listens(pid, target.port()));
      // Node's own lines on stderr, nothing else; stdout as without quellix.
      std::string err = target.Err();
      const std::regex node_line(
          "(Debugger listening on ws://[^\n]+|For help, see: https://nodejs.org/en/docs/inspector|Debugger attached\\."
          "|Debugger ending on ws://[^\n]+|\\(node:\\d+\\) ExperimentalWarning: [^\n]+|\\(Use `node --trace-warnings[^\n]+)\n");
      EXPECT_EQ("", std::regex_replace(err, node_line, "")) << err;
      size_t count = 0;
      for (size_t at = 0; (at = err.find("Debugger listening", at)) != std::string::npos; at++) count++;
      // A signal that came while the main thread was blocked may be served
      // once more when its loop turns: opened again, and closed again.
      if (c.kind == BLOCKED) {
        EXPECT_TRUE(count == 1 || count == 2) << err;
      } else {
        EXPECT_EQ(static_cast<size_t>(c.opened), count) << err;
      }
      std::string out = target.Out();
      if (c.kind == STUCK) {
        EXPECT_EQ("spinning\n", out);
      } else if (c.kind == BLOCKED) {
        EXPECT_EQ("blocking\n", out);
      } else if (c.kind != NOT_NODE) {
        // The port-0 target's silent servers say "asked" when anything reaches them.
        std::string ticks;
        for (int i = 0; ticks.size() < out.size(); i++) ticks += "tick " + std::to_string(i) + "\n";
        EXPECT_EQ(ticks, out);
      }
      if (c.kind == NOT_NODE) {
        // bash runs a trap only once its sleep has ended, pending traps in
        // the order of their signals: by the time the trap of a SIGUSR2
        // sent now has run, that of a stray SIGUSR1 would have too.
        kill(pid, SIGUSR2);
        EXPECT_TRUE(qtest::WaitFor([&] { return qtest::FileExists(dir + "/usr2"); }, 5000));
        EXPECT_FALSE(qtest::FileExists(dir + "/usr1")) << "SIGUSR1 was sent";
        EXPECT_EQ(0, kill(pid, 0));
      }
      if (c.kind == LOW_MEMORY) {
        EXPECT_EQ(0, kill(pid, 0)) << "the service lives";
        const size_t ticks = out.size();
        EXPECT_TRUE(qtest::WaitFor([&] { return target.Out().size() > ticks; })) << "and goes on";
      }
      if (c.kind == PORT_HELD) {
        // The other node keeps its inspector, and neither got the agent.
        EXPECT_EQ(0, kill(target.holder(), 0));
        EXPECT_TRUE(Listens(target.holder(), 9229));
        for (int p : {pid, target.holder()}) EXPECT_FALSE(ServesControlSocket(p)) << p;
      }
    }
    qtest::KillOtherChildren({});
    qtest::RemoveTree(dir);
  }
}

// True when pid holds signo back (its SigBlk mask).
bool Blocks(pid_t pid, int signo) {
  std::string status = qtest::ReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("\nSigBlk:\t");
  return at != std::string::npos && (std::stoull(status.substr(at + 9, 16), nullptr, 16) >> (signo - 1) & 1) != 0;
}

// The guard tables of quellix in pid's network namespace, by name.
std::vector<std::string> GuardTables(int pid) {
  const std::string tables = qtest::Run("/usr/bin/nsenter", {"--net=/proc/" + std::to_string(pid) + "/ns/net",
                                                             "/usr/sbin/nft", "list", "tables"})
                                 .out;
  std::vector<std::string> found;
  static const std::regex table("table inet (quellix_\\d+_\\d+)");
  for (std::sregex_iterator it(tables.begin(), tables.end(), table), end; it != end; ++it) found.push_back((*it)[1]);
  return found;
}

// quellix ended while it waits for the inspector of a blocked main thread
// (SIGTERM, as from an impatient operator, SIGINT from Ctrl-C, SIGHUP from
// a closed terminal) still leaves nothing open: its own guard is gone when
// it ends, the watcher it left guards the inspector that opens later with a
// table of its own until it has closed it, and then nothing is left.
TEST_F(AttachTest, InterruptedWhileWaiting) {
  for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signo));
    const std::string dir = qtest::MakeTempDir();
    {
      Target target(BLOCKED, dir);
      ASSERT_GT(target.pid(), 0) << target.Err();
      pid_t quellix = qtest::Spawn({QUELLIX_BIN, "--attach", std::to_string(target.pid())}, {});
      // A run that holds the signal back is told once it does; one that
      // never does, a second into its wait for the inspector.
      qtest::WaitFor([&] { return Blocks(quellix, signo); }, 1000);
      kill(quellix, signo);
      const int status = qtest::Reap(quellix, 10000);
      EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == signo) << "ends as the signal says";
      const std::vector<std::string> guards = GuardTables(target.pid());
      ASSERT_EQ(1u, guards.size()) << "the watcher's guard alone";
      EXPECT_NE(0u, guards[0].rfind("quellix_" + std::to_string(quellix) + "_", 0)) << "quellix's own guard is gone";
      const std::string listening = "Debugger listening on ws://127.0.0.1:" + std::to_string(target.port()) + "/";
      EXPECT_TRUE(qtest::WaitFor([&] { return target.Err().find(listening) != std::string::npos; }, 10000));
      {
        const long long from = qtest::NowMs();
        EXPECT_TRUE(qtest::WaitFor([&] { return !Listens(target.pid(), target.port()); }, 10000)) << "left open";
        printf("[ figures  ] closed %lld ms after it listened\n", qtest::NowMs() - from);
      }
      EXPECT_TRUE(qtest::WaitFor([&] { return GuardTables(target.pid()).empty(); }, 5000)) << "guard left behind";
      // The signal served a second time, when the loop turned, opened it
      // again: the watcher stayed for that too.
      EXPECT_FALSE(Listens(target.pid(), target.port())) << "opened again and left open";
    }
    qtest::KillOtherChildren({});
    qtest::RemoveTree(dir);
  }
}

}  // namespace
