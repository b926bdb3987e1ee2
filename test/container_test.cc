// Runtimes in other namespaces, driven from outside as root: a container
// (pid and mount namespace with its own /tmp), a sidecar's neighbour (mount
// namespace with its own /tmp, same pids) and a pid namespace alone. The
// stand-in runtime in each, against a few commands; then node with the agent
// in a container, end to end. Skipped where namespaces cannot be made.
#include <sys/socket.h>
#include <sys/un.h>

#include "watch.h"

namespace {

struct NamespaceSetup {
  const char* name;
  bool pid_ns;    // the runtime is pid 1 of its own pid namespace
  bool mount_ns;  // ... and has a mount namespace with a tmpfs on /tmp
};

const NamespaceSetup kSetups[] = {
    {"container", true, true},
    {"sidecar", false, true},
    {"pid namespace", true, false},
};

std::string Quote(const std::string& word) { return "'" + word + "'"; }

// The reason namespaces cannot be made here, or empty.
std::string NamespacesRefused() {
  qtest::RunResult r = qtest::Run("/usr/bin/unshare", {"--pid", "--mount", "--fork", "--mount-proc", "/bin/true"});
  if (r.status == 0) return "";
  return "unshare is not permitted here (" + r.err + ")";
}

// A program started inside namespaces; ended with the namespace. dir exists
// inside, writable by all; with copy, the program is copied into dir first,
// so its path exists only there.
class Namespaced {
 public:
  Namespaced(const NamespaceSetup& setup, std::vector<std::string> argv, const std::vector<std::string>& env,
             const std::string& dir, bool copy = false, bool as_nobody = false)
      : setup_(setup) {
    std::string script = "set -e; ";
    if (setup.mount_ns) script += "mount -t tmpfs tmpfs /tmp; ";
    script += "mkdir -p " + Quote(dir) + "; chmod 0777 " + Quote(dir) + "; ";
    if (copy) {
      script += "cp " + Quote(argv[0]) + " " + Quote(dir + "/runtime") + "; ";
      argv[0] = dir + "/runtime";
    }
    script += "exec ";
    if (as_nobody) script += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    script += "env";
    for (const std::string& entry : env) script += " " + Quote(entry);
    for (const std::string& arg : argv) script += " " + Quote(arg);
    std::vector<std::string> command = {"/usr/bin/unshare"};
    if (setup.pid_ns) command.insert(command.end(), {"--pid", "--fork"});
    if (setup.pid_ns && setup.mount_ns) command.push_back("--mount-proc");
    if (!setup.pid_ns) command.push_back("--mount");
    command.insert(command.end(), {"/bin/sh", "-c", script});
    unshare_ = qtest::Spawn(command, {}, -1, STDERR_FILENO);
    // With a pid namespace the runtime is unshare's child, else unshare
    // itself; it is ready once it runs the program and its socket is there.
    qtest::WaitFor(
        [&] {
          pid_ = setup.pid_ns ? atoi(qtest::ReadFile(Task() + "/children").c_str()) : unshare_;
          char exe[1024] = {0};
          return pid_ > 0 && readlink(("/proc/" + std::to_string(pid_) + "/exe").c_str(), exe, sizeof(exe) - 1) > 0 &&
                 argv[0] == exe && qtest::FileExists(Socket());
        },
        10000);
  }
  ~Namespaced() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    qtest::Reap(unshare_, 3000);
    // The only socket that lands in the tool's own /tmp.
    if (!setup_.mount_ns) unlink("/tmp/kestrun-uds-path-1");
  }
  Namespaced(const Namespaced&) = delete;
  Namespaced& operator=(const Namespaced&) = delete;

  int pid() const { return pid_; }
  pid_t unshare_pid() const { return unshare_; }
  // A path inside, as seen from here.
  std::string Inside(const std::string& path) const { return "/proc/" + std::to_string(pid_) + "/root" + path; }
  std::string Socket() const { return Inside("/tmp/kestrun-uds-path-" + std::to_string(setup_.pid_ns ? 1 : pid_)); }
  // The socket path as quellix names it, normalized.
  std::string SocketNamed() const {
    std::string path = setup_.mount_ns ? Socket() : "/tmp/kestrun-uds-path-1";
    return qtest::Normalize(path, {pid_});
  }

 private:
  std::string Task() const { return "/proc/" + std::to_string(unshare_) + "/task/" + std::to_string(unshare_); }
  NamespaceSetup setup_;
  pid_t unshare_ = -1;
  int pid_ = -1;
};

// A temporary directory that goes with its scope, also when a test fails.
struct TempDir {
  const std::string path = qtest::MakeTempDir();
  ~TempDir() { qtest::RemoveTree(path); }
};

// Listens on path in place of the runtime; -1 when it cannot.
int Squat(const std::string& path) {
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  if (fd == -1 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 4) != 0) {
    if (fd != -1) close(fd);
    return -1;
  }
  return fd;
}

class ContainerTest : public qtest::BackgroundTest {
 protected:
  void SetUp() override {
    qtest::BackgroundTest::SetUp();
    std::string refused = NamespacesRefused();
    if (!refused.empty()) GTEST_SKIP() << refused;
    unsetenv("NODE_OPTIONS");
  }
};

const std::string kFallback = "NODE_LOG_DIR not configured, default dir /tmp/ is used\n";
const std::string kNotARuntime = "Please check if pid <pid> is node process.\n";

std::string HostLine(const std::string& path) { return "Host path: /proc/<pid>/root" + path + "\n"; }

// Each row runs against a fresh runtime in each setup. The runtime's
// environment is the container's; its log directory is /logs or none.
TEST_F(ContainerTest, StandInRuntime) {
  const std::string dump = "/logs/heapdump-<pid>-<stamp>.heapsnapshot";
  const std::string dump_tmp = "/tmp/heapdump-<pid>-<stamp>.heapsnapshot";
  const std::string dump_host = "/host/logs/heapdump-<pid>-<stamp>.heapsnapshot";
  const std::string dump_wait = "\nheapdump可能需要数秒或数分钟.\n";
  const std::string profile = "/tmp/cpu-profile-<pid>-<stamp>.cpuprofile";
  const std::string profile_wait = "\n请等待1秒后读取此cpu-profiling结果.\n";
  const std::string gc_log = "/tmp/gc-log-<pid>-<stamp>.txt";
  const std::string perf_map = "/tmp/perf-{inner}.map";
  struct Case {
    const char* name;
    std::vector<std::string> args, target_env, tool_env;
    std::string other_mount, same_mount;  // output after the clock line; {sock}: the socket path
    bool squat = false, as_nobody = false;
  };
  // clang-format off
  const std::vector<Case> cases = {
      // The probe takes the container's environment, not the tool's.
      {"probe environment", {"--force_gc"}, {"PEER_PROBE="}, {"PEER_PROBE=undefined"},
       qtest::kForceGc, kNotARuntime},
      {"target's log directory", {"--heapdump"}, {"NODE_LOG_DIR=/logs"}, {"NODE_LOG_DIR=/host/logs"},
       "heapdump文件路径:" + dump + dump_wait + HostLine(dump), "heapdump文件路径:" + dump + dump_wait},
      {"tool's log directory", {"--heapdump"}, {}, {"NODE_LOG_DIR=/host/logs"},
       kFallback + "heapdump文件路径:" + dump_tmp + dump_wait + HostLine(dump_tmp),
       "heapdump文件路径:" + dump_host + dump_wait},
      {"squatter", {"--force_gc"}, {}, {},
       "Socket {sock} is not served by pid <pid>.\n", "Socket {sock} is not served by pid <pid>.\n", true},
      {"deferred stop", {"--start_profiling", "time=1s"}, {}, {},
       kFallback + "Profiling文件路径:" + profile + profile_wait + HostLine(profile),
       kFallback + "Profiling文件路径:" + profile + profile_wait},
      {"V8 options form", {"--v8-options", "--trace_gc", "time=-1s", "--pid={pid}"}, {}, {},
       kFallback + "gc-log文件路径:" + gc_log + "\n" + HostLine(gc_log), kFallback + "gc-log文件路径:" + gc_log + "\n"},
      // The runtime names its perf map with its own pid.
      {"perf map", {"--v8-options", "--perf_basic_prof", "time=-1s", "--pid={pid}"}, {}, {},
       kFallback + "basic-prof文件路径:" + perf_map + "\n" + HostLine(perf_map),
       kFallback + "basic-prof文件路径:" + perf_map + "\n"},
      // A probe that answers and lives on is ended, in the container too.
      {"lingering probe", {"--force_gc"}, {"PEER_PROBE=sleep"}, {}, qtest::kForceGc, qtest::kForceGc},
      {"unprivileged", {"--force_gc"}, {}, {},
       "Cannot enter the mount namespace of pid <pid>: Operation not permitted\n", qtest::kForceGc, false, true},
  };
  // clang-format on
  for (const NamespaceSetup& setup : kSetups) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(setup.name) + ": " + c.name);
      const TempDir temp;
      const std::string& dir = temp.path;
      std::vector<std::string> env = c.target_env;
      env.push_back("PEER_PROBE_RECORD=" + dir + "/probe");
      Namespaced runtime(setup, {PEER_BIN, "--dir", dir, "--lifetime", "60"}, env, dir, true, c.as_nobody);
      ASSERT_TRUE(qtest::FileExists(runtime.Socket()));
      const int pid = runtime.pid();
      int squatter = c.squat ? Squat(runtime.Socket()) : -1;
      if (c.squat) {
        ASSERT_NE(squatter, -1);
      }

      std::vector<std::string> args = c.args;
      if (args.back() == "--pid={pid}") {
        args.back() = "--pid=" + std::to_string(pid);
      } else {
        args.push_back(std::to_string(pid));
      }
      std::vector<std::string> quellix = {QUELLIX_BIN};
      if (c.as_nobody) quellix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", QUELLIX_BIN};
      quellix.insert(quellix.end(), args.begin(), args.end());
      qtest::RunResult r = qtest::Run(quellix[0], {quellix.begin() + 1, quellix.end()}, c.tool_env);
      if (squatter != -1) close(squatter);

      std::string expected = setup.mount_ns ? c.other_mount : c.same_mount;
      size_t sock = expected.find("{sock}");
      if (sock != std::string::npos) expected.replace(sock, 6, runtime.SocketNamed());
      for (size_t at; (at = expected.find("{inner}")) != std::string::npos;) {
        expected.replace(at, 7, setup.pid_ns ? "1" : "<pid>");
      }
      const bool printed_clock = expected.rfind("Cannot", 0) != 0 && expected != kNotARuntime;
      EXPECT_EQ(qtest::Normalize(r.out, {pid}), (printed_clock ? qtest::kClock : "") + expected);
      const bool sent = printed_clock && !c.squat;
      EXPECT_EQ(r.status, sent ? 0 : 1);

      const std::string message = dir + "/msg-0.bin";
      EXPECT_EQ(qtest::WaitFor([&] { return qtest::FileExists(runtime.Inside(message)); }, sent ? 3000 : 0), sent);
      if (sent && c.args[0] != "--force_gc") {
        // The runtime gets the path that the status line names.
        std::string text = qtest::Normalize(qtest::TextOf(qtest::ReadFile(runtime.Inside(message))), {pid});
        const std::string option = "--specified_log_path=";
        size_t at = text.find(option);
        ASSERT_NE(at, std::string::npos) << text;
        const std::string path = text.substr(at + option.size(), text.size() - at - option.size() - 1);
        EXPECT_NE(expected.find("文件路径:" + path + "\n"), std::string::npos) << text;
      }
      if (setup.mount_ns && std::string(c.name) == "probe environment") {
        std::string record = qtest::ReadFile(runtime.Inside(dir + "/probe"));
        for (const char* line : {"ENABLE_NODE_LOG=NO\n", "\nstdin=/dev/null\n", "\ncwd=/\n"}) {
          EXPECT_NE(record.find(line), std::string::npos) << record;
        }
      }
      std::vector<pid_t> known = {runtime.unshare_pid()};
      if (std::string(c.name) == "deferred stop") {
        pid_t background = qtest::FindBackground(known);
        ASSERT_NE(background, -1);
        const std::string stop = dir + "/msg-1.bin";
        ASSERT_TRUE(qtest::WaitFor([&] { return qtest::FileExists(runtime.Inside(stop)); }, 5000));
        std::string start_message = qtest::ReadFile(runtime.Inside(message));
        std::string stop_message = qtest::ReadFile(runtime.Inside(stop));
        EXPECT_EQ(qtest::MaskOf(stop_message), 0x80u);
        EXPECT_EQ(qtest::TextOf(stop_message), qtest::TextOf(start_message));
        EXPECT_EQ(qtest::ExitCode(background, 3000), 42);
      }
      EXPECT_EQ(qtest::OtherChildren(known), std::vector<pid_t>{});
      // Nothing of the probe is left to the runtime, which may never reap it.
      const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
      EXPECT_EQ(qtest::ReadFile(task + "/children"), "");
    }
  }
}

// From the host, without NODE_OPTIONS of its own, quellix reaches node with
// the agent in a container: the status names the container's path, the host
// line where to open it, and the file appears there complete (the agent
// renames it into place once written).
TEST_F(ContainerTest, NodeWithAgent) {
  if (access(NODE_BIN, X_OK) != 0) GTEST_SKIP() << "node is not installed";
  struct Case {
    std::vector<std::string> args;
    std::string status;  // the status line's text before the path
    const char* begins;  // the result file's first bytes
  };
  const Case cases[] = {
      {{"--heapdump"}, "heapdump文件路径:", "{\"snapshot\":"},
      {{"--start_profiling", "time=2s"}, "Profiling文件路径:", "{\"nodes\":"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const TempDir dir;
    Namespaced node(kSetups[0], {NODE_BIN, "-e", "setInterval(() => {}, 1000)"},
                    {"NODE_OPTIONS=--require " AGENT_JS, "ENABLE_NODE_LOG=YES"}, dir.path);
    ASSERT_TRUE(qtest::FileExists(node.Socket()));
    std::vector<std::string> args = c.args;
    args.push_back(std::to_string(node.pid()));
    qtest::RunResult r = qtest::RunQuellix(args);
    EXPECT_EQ(r.status, 0);
    std::smatch m;
    const std::regex form("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\n\n" + kFallback + c.status +
                          "(/tmp/[^\n]+)\n(.*\n)?Host path: /proc/" + std::to_string(node.pid()) +
                          "/root(/tmp/[^\n]+)\n");
    ASSERT_TRUE(std::regex_match(r.out, m, form)) << r.out;
    EXPECT_EQ(m[1], m[3]);
    const std::string host_path = "/proc/" + std::to_string(node.pid()) + "/root" + m[1].str();
    EXPECT_TRUE(qtest::WaitFor([&] { return qtest::FileExists(host_path); }, 20000)) << host_path;
    EXPECT_EQ(qtest::ReadFile(host_path).rfind(c.begins, 0), 0u);
    EXPECT_FALSE(qtest::FileExists(m[1].str())) << "written to the host's /tmp";
    qtest::KillOtherChildren({node.unshare_pid()});
  }
}

}  // namespace
