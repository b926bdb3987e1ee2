// quellix --stack through the real binary. Against real node with the agent:
// a main thread spinning in JavaScript, one idle in a server's event loop,
// one blocked in native code, one that hits `debugger;` in a hot path, and
// one paused by the application's own debugger session; a plain node
// reached with --attach in a network namespace of its own, and one in a
// container. Against the stand-in runtime: the runtime's refusal, its
// failure, its end, and a file that is no stack. The stack file never stays.
#include <dirent.h>

#include "watch.h"

namespace {

const std::string kAgent = SOURCE_DIR "/agent/kestrun-agent.js";

// Spins in spinHere for a minute.
const char kSpin[] =
    "function spinHere(end) { let n = 0; while (Date.now() < end) n++; return n; }"
    "console.log('ready'); spinHere(Date.now() + 60000);";
// A server with nothing to do.
const char kIdle[] =
    "require('net').createServer().listen(0, '127.0.0.1', () => console.log('ready'));"
    "setTimeout(() => {}, 60000);";
// Blocks its main thread in native code for 8 s, then ends by itself.
const char kBlocked[] = "console.log('ready'); require('child_process').execSync('sleep 8'); console.log('done');";
// Spins through a debugger statement, which stops only while a debugger listens.
const char kDebuggerStatement[] =
    "function hot(end) { let n = 0; while (Date.now() < end) { n++; debugger; } return n; }"
    "console.log('ready'); hot(Date.now() + 60000);";
// The application's own debugger (a worker's session) pauses the main thread
// and holds the pause until the file "resume" appears in NODE_LOG_DIR; it
// says "disturbed" if anyone else ends it first.
const char kPausedByApp[] =
    "const resume = JSON.stringify(process.env.NODE_LOG_DIR + '/resume');"
    "new (require('worker_threads').Worker)(`"
    "  const inspector = require('inspector'), fs = require('fs');"
    "  const s = new inspector.Session(); s.connectToMainThread(); let held = true;"
    "  s.on('Debugger.resumed', () => { if (held) fs.writeSync(1, 'disturbed\\\\n'); });"
    "  s.on('Debugger.paused', () => {"
    "    fs.writeSync(1, 'ready\\\\n');"
    "    const t = setInterval(() => { if (!fs.existsSync(${resume})) return;"
    "      clearInterval(t); held = false; fs.writeSync(1, 'held\\\\n'); s.post('Debugger.resume'); }, 20);"
    "  });"
    "  s.post('Debugger.enable', () => s.post('Debugger.pause'));"
    "  setInterval(() => {}, 1000);`, { eval: true });"
    "setInterval(() => {}, 5);";

// Where the target runs.
enum Place { HOST, OWN_NETWORK, CONTAINER };

// node running script, with the agent preloaded (NODE_LOG_DIR: its own
// directory) or without anything; its output in files; killed and reaped
// with the case.
class Target {
 public:
  Target(Place place, const char* script, bool agent) : dir_(qtest::MakeTempDir()) {
    std::vector<std::string> env;
    if (agent) env = {"NODE_OPTIONS=--require " + kAgent, "ENABLE_NODE_LOG=YES", "NODE_LOG_DIR=" + dir_};
    const std::string lo_up = "ip link set lo up && ";
    std::vector<std::string> argv = {NODE_BIN, "-e", script};
    if (place == OWN_NETWORK) {
      argv = {"/usr/bin/unshare", "--net", "/bin/sh", "-c", lo_up + "exec \"$0\" -e \"$1\"", NODE_BIN, script};
    }
    if (place == CONTAINER) {
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
              script};
    }
    int out = open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    spawned_ = qtest::Spawn(argv, env, out, err);
    close(out);
    close(err);
    const std::string children =
        "/proc/" + std::to_string(spawned_) + "/task/" + std::to_string(spawned_) + "/children";
    qtest::WaitFor(
        [&] {
          pid_ = place == CONTAINER ? atoi(qtest::ReadFile(children).c_str()) : spawned_;
          return pid_ > 0 && Out().find("ready\n") != std::string::npos &&
                 (!agent || qtest::FileExists(qtest::SocketPath(pid_)));
        },
        10000);
  }
  ~Target() {
    if (pid_ > 0 && pid_ != spawned_) kill(pid_, SIGKILL);
    if (spawned_ > 0) kill(spawned_, SIGKILL);
    qtest::Reap(spawned_, 3000);
    if (pid_ > 0) unlink(qtest::SocketPath(pid_).c_str());
    qtest::RemoveTree(dir_);
  }
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  int pid() const { return pid_; }
  const std::string& dir() const { return dir_; }
  std::string Out() const { return qtest::ReadFile(dir_ + "/out"); }
  std::string Err() const { return qtest::ReadFile(dir_ + "/err"); }
  // The exit status once it ended by itself within timeout_ms, else -1.
  int EndsWithin(int timeout_ms) {
    int status = qtest::Reap(spawned_, timeout_ms);
    spawned_ = -1;
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // CPU time used so far, in clock ticks.
  long long CpuTicks() const {
    std::string stat = qtest::ReadFile("/proc/" + std::to_string(pid_) + "/stat");
    long long user = 0, system = 0;
    size_t end = stat.rfind(')');
    if (end == std::string::npos ||
        sscanf(stat.c_str() + end + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &user, &system) != 2) {
      return -1;
    }
    return user + system;
  }

 private:
  std::string dir_;
  pid_t spawned_ = -1;
  int pid_ = -1;
};

// The names in dir (a container's /tmp through /proc) that are stack files.
std::vector<std::string> StackFiles(const std::string& dir) {
  std::vector<std::string> found;
  DIR* entries = opendir(dir.c_str());
  while (struct dirent* entry = entries == nullptr ? nullptr : readdir(entries)) {
    if (std::string(entry->d_name).rfind("stack-", 0) == 0) found.push_back(entry->d_name);
  }
  if (entries != nullptr) closedir(entries);
  return found;
}

std::string WithPid(const std::string& text, int pid) {
  return std::regex_replace(text, std::regex("<pid>"), std::to_string(pid));
}

// What is checked of the target after quellix has answered.
enum After {
  KEEPS_RUNNING,  // its CPU time keeps rising: nothing stopped it
  STAYS_IDLE,
  ENDS_NORMALLY,  // it ends by itself with status 0 and its own output only
  PAUSE_HELD,     // the application's debugger still holds its pause
};

const std::string kRunning =
    "Pid <pid> is running JavaScript; its main thread stopped for \\d+ ms to show this stack\\.\n";
const std::string kLoaded = "Agent loaded into pid <pid>; its inspector was open for \\d+ ms\\.\n";

class StackTest : public qtest::BackgroundTest {
 protected:
  void SetUp() override {
    qtest::BackgroundTest::SetUp();
    unsetenv("NODE_OPTIONS");
  }
};

// Each row against a fresh node: the whole output (a regular expression,
// <pid> for the target's pid), the exit status, and the target afterwards.
TEST_F(StackTest, RealNode) {
  if (access(NODE_BIN, X_OK) != 0) GTEST_SKIP() << "node is not installed";
  struct Case {
    const char* name;
    Place place;
    const char* script;
    bool agent;  // preloaded; otherwise loaded with --attach
    std::vector<std::string> options;
    std::string out;
    int status;
    After after;
  };
  // clang-format off
  const Case cases[] = {
      {"spinning", HOST, kSpin, true, {}, kRunning + "    at spinHere \\(\\[eval\\]:1:\\d+\\)\n(    at .+\n)*", 0,
       KEEPS_RUNNING},
      {"json", HOST, kSpin, true, {"--json"},
       "\\{\"pid\":<pid>,\"command\":\"--stack\",\"delivered\":true,\"state\":\"running\",\"stallMs\":\\d+,"
       "\"frames\":\\[\\{\"function\":\"spinHere\",\"url\":\"\\[eval\\]\",\"line\":1,\"column\":\\d+\\}.*\\]\\}\n", 0,
       KEEPS_RUNNING},
      {"idle server", HOST, kIdle, true, {}, "Pid <pid> is idle in its event loop \\(TCPServerWrap 1, Timeout 1\\)\\.\n", 0,
       STAYS_IDLE},
      {"blocked in native code", HOST, kBlocked, true, {},
       "Pid <pid> ran no JavaScript for 2 s \\(blocked in native code or a long GC\\); no stack to show\\.\n", 1,
       ENDS_NORMALLY},
      {"debugger statement in a hot path", HOST, kDebuggerStatement, true, {},
       kRunning + "    at hot \\(\\[eval\\]:1:\\d+\\)\n(    at .+\n)*", 0, KEEPS_RUNNING},
      {"paused by the application's debugger", HOST, kPausedByApp, true, {},
       "Pid <pid> is paused by another debugger session, which quellix leaves alone; no stack to show\\.\n", 1,
       PAUSE_HELD},
      {"attached", OWN_NETWORK, kSpin, false, {"--attach"},
       kLoaded + kRunning + "    at spinHere \\(\\[eval\\]:1:\\d+\\)\n(    at .+\n)*", 0, KEEPS_RUNNING},
      {"attached in a container", CONTAINER, kSpin, false, {"--attach"},
       kLoaded + kRunning + "    at spinHere \\(\\[eval\\]:1:\\d+\\)\n(    at .+\n)*", 0, KEEPS_RUNNING},
  };
  // clang-format on
  const bool namespaces =
      qtest::Run("/usr/bin/unshare", {"--pid", "--mount", "--net", "--fork", "--mount-proc", "/bin/true"}).status == 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.place != HOST && !namespaces) {
      fprintf(stderr, "%s: skipped, unshare is not permitted here\n", c.name);
      continue;
    }
    Target target(c.place, c.script, c.agent);
    ASSERT_GT(target.pid(), 0) << target.Err();
    std::vector<std::string> args = c.options;
    args.push_back("--stack");
    args.push_back(std::to_string(target.pid()));
    // The probe loads the agent through quellix's own NODE_OPTIONS.
    std::vector<std::string> env;
    if (c.agent) env = {"NODE_OPTIONS=--require " + kAgent};
    const long long before = target.CpuTicks();
    qtest::RunResult r = qtest::RunQuellix(args, env);
    printf("[ figures  ] %s: quellix --stack ran %lld ms\n", c.name, r.elapsed_ms);
    EXPECT_TRUE(std::regex_match(r.out, std::regex(WithPid(c.out, target.pid())))) << r.out;
    EXPECT_EQ(r.status, c.status);
    // Read and removed: in the log directory, or the container's /tmp.
    const std::string logs = c.place == CONTAINER ? "/proc/" + std::to_string(target.pid()) + "/root/tmp"
                             : c.agent            ? target.dir()
                                                  : "/tmp";
    EXPECT_EQ(StackFiles(logs), std::vector<std::string>{});
    if (c.after == KEEPS_RUNNING) {
      EXPECT_TRUE(qtest::WaitFor([&] { return target.CpuTicks() >= before + 20; }, 10000)) << "not running";
    }
    if (c.after == STAYS_IDLE) {
      EXPECT_EQ(target.Out(), "ready\n");
    }
    if (c.after == ENDS_NORMALLY) {
      EXPECT_EQ(target.EndsWithin(20000), 0);
      EXPECT_EQ(target.Out(), "ready\ndone\n");
      EXPECT_EQ(target.Err(), "");
    }
    if (c.after == PAUSE_HELD) {
      int fd = open((target.dir() + "/resume").c_str(), O_WRONLY | O_CREAT, 0600);
      close(fd);
      EXPECT_TRUE(qtest::WaitFor([&] { return target.Out().find("held\n") != std::string::npos; }, 5000));
      EXPECT_EQ(target.Out(), "ready\nheld\n");
    }
  }
}

// Against the stand-in runtime: what quellix sends (its own bit, the private
// file in the log directory, a kick) and what it makes of each answer.
TEST_F(StackTest, StandInRuntime) {
  struct Case {
    const char* name;
    std::vector<std::string> peer, options;
    std::string out;
  };
  // clang-format off
  const Case cases[] = {
      {"refused", {"--first", "refuse:unknown command bit(s) 0x20000"}, {}, "unknown command bit(s) 0x20000\n\n"},
      {"failed", {"--result", "fail:0:no room\x1b"}, {}, "The runtime could not write its stack: no room\\x1b\n"},
      {"failed, json", {"--result", "fail:0:no room\x1b"}, {"--json"},
       "{\"pid\":<pid>,\"command\":\"--stack\",\"delivered\":true,"
       "\"error\":\"The runtime could not write its stack: no room\\u001b\"}\n"},
      {"ended", {"--result", "exit:0"}, {}, "Pid <pid> ended before it wrote its stack.\n"},
      {"no stack", {"--result", "write:0:10"}, {}, "Pid <pid> wrote a stack that quellix cannot read.\n"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string logs = qtest::MakeTempDir();
    {
      qtest::Peer peer(c.peer, {"NODE_LOG_DIR=" + logs});
      std::vector<std::string> args = c.options;
      args.push_back("--stack");
      args.push_back(peer.pid_text());
      qtest::RunResult r = qtest::RunQuellix(args);
      EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), c.out);
      EXPECT_EQ(r.status, 1);
      const std::string message = peer.Message(0);
      EXPECT_EQ(qtest::MaskOf(message), 0x20000u);
      EXPECT_EQ(qtest::Normalize(qtest::TextOf(message), {peer.pid()}),
                "--specified_log_path=" + logs + "/stack-<pid>-<stamp>.json ");
      EXPECT_FALSE(peer.HasMessage(1));
      EXPECT_EQ(StackFiles(logs), std::vector<std::string>{});
    }
    qtest::RemoveTree(logs);
  }
}

}  // namespace
