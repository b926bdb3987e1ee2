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

// A program started inside namespaces, without any capability (as a
// container's root may be); ended with the namespace. dir exists inside,
// writable by all. What bring names (files or directories of the tree, which
// may itself lie under /tmp) is copied into dir before the runtime's own
// /tmp goes on; prepare then runs as a shell command in dir. With copy, the
// program is copied too, so its path exists only there, and any start of it
// is recorded in dir/runtime.starts.
class Namespaced {
 public:
  Namespaced(const NamespaceSetup& setup, std::vector<std::string> argv, const std::vector<std::string>& env,
             const std::string& dir, bool copy = false, bool as_nobody = false,
             const std::vector<std::string>& bring = {}, const std::string& prepare = "")
      : setup_(setup) {
    // The runtime's /tmp is made on dir first, filled, then moved over /tmp:
    // the tree and dir stay reachable until then.
    std::string stage = dir;
    std::string script = "set -e; ";
    if (setup.mount_ns) {
      stage = dir + dir.substr(dir.rfind('/'));
      script += "mount -t tmpfs tmpfs " + Quote(dir) + "; ";
    }
    script += "mkdir -p " + Quote(stage) + "; chmod 0777 " + Quote(stage) + "; ";
    std::vector<std::string> files = bring;
    if (copy) {
      files.push_back(argv[0]);
      argv[0] = dir + "/runtime";
    }
    for (const std::string& file : files) script += "cp -R " + Quote(file) + " " + Quote(stage) + "; ";
    if (copy) {
      script += "mv " + Quote(stage + "/" + files.back().substr(files.back().rfind('/') + 1)) + " " +
                Quote(stage + "/runtime") + "; ";
      script += "touch " + Quote(stage + "/runtime.starts") + "; chmod 0666 " + Quote(stage + "/runtime.starts") + "; ";
    }
    if (!prepare.empty()) script += "(cd " + Quote(stage) + " && " + prepare + "); ";
    if (setup.mount_ns) script += "mount --move " + Quote(dir) + " /tmp; ";
    script += "exec setpriv --bounding-set=-all --inh-caps=-all ";
    if (as_nobody) script += "--reuid=65534 --regid=65534 --clear-groups ";
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

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Each row runs against a fresh, capability-less runtime in each setup,
// diagnosed from here as root. The runtime's environment is the
// container's; its log directory is /logs, a symlink inside dir, or none.
// Nothing of a container is ever started; in a shared mount namespace the
// probe runs as always.
TEST_F(ContainerTest, StandInRuntime) {
  const std::string dump = "/logs/heapdump-<pid>-<stamp>.heapsnapshot";
  const std::string dump_tmp = "/tmp/heapdump-<pid>-<stamp>.heapsnapshot";
  const std::string dump_host = "/host/logs/heapdump-<pid>-<stamp>.heapsnapshot";
  const std::string dump_link = "{dir}/logs/heapdump-<pid>-<stamp>.heapsnapshot";
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
    std::string prepare = "";  // a shell command run in dir before the runtime starts
  };
  // clang-format off
  const std::vector<Case> cases = {
      // No probe in a container; in a shared mount namespace it takes the tool's environment.
      {"no probe", {"--force_gc"}, {"PEER_PROBE="}, {"PEER_PROBE=undefined"}, qtest::kForceGc, kNotARuntime},
      {"target's log directory", {"--heapdump"}, {"NODE_LOG_DIR=/logs"}, {"NODE_LOG_DIR=/host/logs"},
       "heapdump文件路径:" + dump + dump_wait + HostLine(dump), "heapdump文件路径:" + dump + dump_wait},
      {"tool's log directory", {"--heapdump"}, {}, {"NODE_LOG_DIR=/host/logs"},
       kFallback + "heapdump文件路径:" + dump_tmp + dump_wait + HostLine(dump_tmp),
       "heapdump文件路径:" + dump_host + dump_wait},
      // The symlink names a directory of the container: the host path follows it there.
      {"log directory through a symlink", {"--heapdump"}, {"NODE_LOG_DIR={dir}/logs"}, {},
       "heapdump文件路径:" + dump_link + dump_wait +
           HostLine("{dir}/real/heapdump-<pid>-<stamp>.heapsnapshot"),
       "heapdump文件路径:" + dump_link + dump_wait, false, false, "mkdir real && ln -s {dir}/real logs"},
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
      // No capability is needed any more: the tool enters no namespace.
      {"unprivileged", {"--force_gc"}, {}, {}, qtest::kForceGc, qtest::kForceGc, false, true},
  };
  // clang-format on
  for (const NamespaceSetup& setup : kSetups) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(setup.name) + ": " + c.name);
      const TempDir temp;
      const std::string& dir = temp.path;
      std::vector<std::string> env;
      for (const std::string& entry : c.target_env) env.push_back(Replace(entry, "{dir}", dir));
      Namespaced runtime(setup, {PEER_BIN, "--dir", dir, "--lifetime", "60"}, env, dir, true, c.as_nobody, {},
                         Replace(c.prepare, "{dir}", dir));
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
      expected = Replace(expected, "{inner}", setup.pid_ns ? "1" : "<pid>");
      const bool printed_clock = expected != kNotARuntime;
      EXPECT_EQ(qtest::Normalize(Replace(r.out, dir, "{dir}"), {pid}), (printed_clock ? qtest::kClock : "") + expected);
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
        EXPECT_NE(expected.find("文件路径:" + Replace(path, dir, "{dir}") + "\n"), std::string::npos) << text;
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
      // Every start of the container's program: the runtime itself, without
      // capabilities, and in a container nothing else, so no code of it ever
      // ran with the tool's capabilities, descriptors or terminal.
      std::string starts = qtest::ReadFile(runtime.Inside(dir + "/runtime.starts"));
      EXPECT_EQ(starts.rfind("mode=serve caps=0000000000000000 ", 0), 0u) << starts;
      if (setup.mount_ns) {
        EXPECT_EQ(std::count(starts.begin(), starts.end(), '\n'), 1) << starts;
      }
    }
  }
}

// A container's socket path that is a symlink with an absolute target is
// followed within the container: quellix never connects to a socket of the
// host that the container names.
TEST_F(ContainerTest, SocketLinkStaysInside) {
  const TempDir temp;
  Namespaced runtime(kSetups[0], {PEER_BIN, "--dir", temp.path, "--lifetime", "60"}, {}, temp.path, true);
  ASSERT_TRUE(qtest::FileExists(runtime.Socket()));
  const std::string host_socket = temp.path + "/host.sock";
  int host = Squat(host_socket);
  ASSERT_NE(host, -1);
  ASSERT_EQ(unlink(runtime.Socket().c_str()), 0);
  ASSERT_EQ(symlink(host_socket.c_str(), runtime.Socket().c_str()), 0);
  qtest::RunResult r = qtest::RunQuellix({"--force_gc", std::to_string(runtime.pid())});
  EXPECT_EQ(qtest::Normalize(r.out), qtest::kClock + "Check if ENABLE_NODE_LOG=YES is configured.\n");
  EXPECT_EQ(r.status, 1);
  fcntl(host, F_SETFL, O_NONBLOCK);
  int connected = accept(host, nullptr, nullptr);
  EXPECT_EQ(connected, -1) << "quellix connected to the host's socket";
  if (connected != -1) close(connected);
  close(host);
}

// A runtime in a container as --list and --json show it from the host: its
// pid inside, and the result path in both views.
TEST_F(ContainerTest, ListedAndReported) {
  const TempDir temp;
  Namespaced runtime(kSetups[0], {PEER_BIN, "--dir", temp.path, "--lifetime", "60", "--bind-dir"},
                     {"NODE_LOG_DIR=/logs"}, temp.path, true);
  ASSERT_TRUE(qtest::FileExists(runtime.Socket()));
  const std::string pid = std::to_string(runtime.pid());
  qtest::RunResult r = qtest::RunQuellix({"--list"});
  EXPECT_EQ(r.status, 0);
  std::smatch m;
  EXPECT_TRUE(
      std::regex_search(r.out, m, std::regex("\n" + pid + " +1 +root +ready +" + temp.path + "/runtime --dir ")))
      << r.out;
  r = qtest::RunQuellix({"--json", "--heapdump", pid});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(qtest::Normalize(r.out, {runtime.pid()}),
            "{\"pid\":<pid>,\"command\":\"--heapdump\",\"delivered\":true,\"path\":\"/logs/heapdump-<pid>-<stamp>."
            "heapsnapshot\",\"hostPath\":\"/proc/<pid>/root/logs/heapdump-<pid>-<stamp>.heapsnapshot\"}\n");
}

// -o brings a container's result to the host: the file as the runtime
// wrote it in the container's /tmp; a link in its place (to a file of the
// host) is not followed, and nothing is written.
TEST_F(ContainerTest, OutputReachesTheHost) {
  struct Case {
    const char* name;
    std::string result;  // the stand-in's --result, {secret}: a file of the host
    int status;
    std::string copied;  // what lands at the output path
  };
  const Case cases[] = {
      {"the file", "write:0:100", 0, std::string(100, 'x')},
      {"a link in its place", "link:0:{secret}", 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TempDir inside, host;
    const std::string secret = host.path + "/secret", output = host.path + "/heap.out";
    ASSERT_TRUE(std::ofstream(secret) << "host secret");
    Namespaced runtime(
        kSetups[0],
        {PEER_BIN, "--dir", inside.path, "--lifetime", "60", "--result", Replace(c.result, "{secret}", secret)}, {},
        inside.path, true);
    ASSERT_TRUE(qtest::FileExists(runtime.Socket()));
    qtest::RunResult r = qtest::RunQuellix({"-o", output, "--heapdump", std::to_string(runtime.pid())});
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_EQ(qtest::ReadFile(output), c.copied);
    EXPECT_EQ(qtest::ReadFile(secret), "host secret");
    if (c.status == 0) {
      EXPECT_NE(r.out.find("\nWritten: " + output + " (as written, 100 bytes).\n"), std::string::npos) << r.out;
    } else {
      EXPECT_TRUE(std::regex_search(
          r.out, std::regex("\nCannot copy /proc/\\d+/root/tmp/heapdump-\\S+: cannot open it: no regular file\\.\n")))
          << r.out;
    }
  }
}

// From the host, without NODE_OPTIONS of its own, quellix reaches node with
// the agent in a capability-less container: every command works, the
// status names the container's path, the host line where to open it, and
// the file appears there complete (the agent renames it into place once
// written).
TEST_F(ContainerTest, NodeWithAgent) {
  if (access(NODE_BIN, X_OK) != 0) GTEST_SKIP() << "node is not installed";
  struct Case {
    std::vector<std::string> args;
    std::string status;  // the status line's text before the path
    const char* begins;  // the result file's first bytes
  };
  const Case cases[] = {
      {{"--heapdump", "{pid}"}, "heapdump文件路径:", "{\"snapshot\":"},
      {{"--start_profiling", "time=2s", "{pid}"}, "Profiling文件路径:", "{\"nodes\":"},
      {{"--v8-options", "--trace_gc", "time=2s", "--pid={pid}"}, "gc-log文件路径:", ""},
  };
  // The agent's files as they are installed.
  const std::string agent = AGENT_JS, agent_dir = agent.substr(0, agent.rfind('/'));
  const std::vector<std::string> agent_files = {agent, agent_dir + "/package.json", agent_dir + "/lib"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const TempDir dir;
    Namespaced node(kSetups[0], {NODE_BIN, "-e", "setInterval(() => {}, 1000)"},
                    {"NODE_OPTIONS=--require " + dir.path + "/kestrun-agent.js", "ENABLE_NODE_LOG=YES"}, dir.path,
                    false, false, agent_files);
    ASSERT_TRUE(qtest::FileExists(node.Socket()));
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(Replace(arg, "{pid}", std::to_string(node.pid())));
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
