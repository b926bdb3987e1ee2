// --wait end to end against node with the agent: a heap snapshot, a timed
// CPU profile in the foreground, a result that cannot be written (a full
// disk), and Ctrl-C during a duration. An agent that does not know the
// status query is waited for by watching the file; what only the query can
// tell (the runtime's reason for a failure) is checked where the agent
// answers it.
#include <sys/mount.h>

#include "tools.h"
#include "watch.h"

namespace {

// A temporary directory that goes with its scope; with a size, a tmpfs of
// that size mounted on it (skipped where mounting is not permitted).
struct TempDir {
  const std::string path = qtest::MakeTempDir();
  bool mounted = false;
  void Mount(const char* size) {
    std::string options = std::string("size=") + size + ",mode=0777";
    mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~TempDir() {
    if (mounted) umount2(path.c_str(), MNT_DETACH);
    qtest::RemoveTree(path);
  }
};

// Fills the file system of dir to its last byte.
void Fill(const std::string& dir) {
  int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  static const std::string block(65536, 'f');
  for (size_t size = block.size(); fd != -1 && size > 0;) {
    if (write(fd, block.data(), size) < 0) size /= 2;
  }
  if (fd != -1) close(fd);
}

// node with the agent, its results in logs; ended with its scope.
class Node {
 public:
  explicit Node(const std::string& logs)
      : pid_(qtest::Spawn({NODE_BIN, "-e", "const keep = []; setInterval(() => keep.push({ at: Date.now() }), 50)"},
                          {"NODE_OPTIONS=" + Preload(), "ENABLE_NODE_LOG=YES", "NODE_LOG_DIR=" + logs})) {
    qtest::WaitFor([&] { return qtest::FileExists(qtest::SocketPath(pid_)); }, 10000);
  }
  ~Node() {
    kill(pid_, SIGKILL);
    qtest::Reap(pid_, 5000);
    unlink(qtest::SocketPath(pid_).c_str());
  }
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  static std::string Preload() { return std::string("--require ") + AGENT_JS; }
  int pid() const { return pid_; }

  // True when the agent answers the status query (with a text of the
  // protocol for a path it never heard of).
  bool KnowsStatusQuery() const {
    char answer[1024];
    return QueryRuntime(pid_, 0x10000, "/nonexistent/result", answer, sizeof(answer)) == 1 &&
           strcmp(answer, "unknown") == 0;
  }

 private:
  pid_t pid_ = -1;
};

class WaitEndToEndTest : public qtest::BackgroundTest {
 protected:
  void SetUp() override {
    qtest::BackgroundTest::SetUp();
    if (access(NODE_BIN, X_OK) != 0) GTEST_SKIP() << "node is not installed";
  }
};

// The "Written:" line (the summary follows it): the path and the size
// quellix reports.
bool WrittenLine(const std::string& out, std::string* path, long long* bytes) {
  std::smatch m;
  if (!std::regex_search(out, m, std::regex(R"(\nWritten: (\S+) \((\d+) bytes, \d+\.\d s\)\.\n)"))) return false;
  *path = m[1];
  *bytes = std::stoll(m[2]);
  return true;
}

long long FileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

TEST_F(WaitEndToEndTest, SnapshotProfileFailureAndInterrupt) {
  TempDir logs;
  Node node(logs.path);
  ASSERT_TRUE(qtest::FileExists(qtest::SocketPath(node.pid())));
  const bool knows = node.KnowsStatusQuery();
  std::cout << "[   INFO   ] the agent " << (knows ? "answers" : "does not know") << " the status query\n";
  const std::vector<std::string> env = {"NODE_OPTIONS=" + Node::Preload()};
  const std::string pid = std::to_string(node.pid());
  std::string path;
  long long bytes = 0;

  // A heap snapshot: exit 0 only once the file is complete.
  qtest::RunResult r = qtest::RunQuellix({"--wait", "--heapdump", pid}, env, 60000);
  EXPECT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(WrittenLine(r.out, &path, &bytes)) << r.out;
  EXPECT_EQ(FileSize(path), bytes);
  std::string snapshot = qtest::ReadFile(path);
  EXPECT_EQ(snapshot.rfind("{\"snapshot\":", 0), 0u);
  EXPECT_EQ(snapshot.back(), '}');

  // A timed profile in the foreground: back with the finished profile, no
  // background process left.
  long long begin = qtest::NowMs();
  r = qtest::RunQuellix({"--wait", "--start_profiling", "time=2s", pid}, env, 60000);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_GE(qtest::NowMs() - begin, 2000);
  ASSERT_TRUE(WrittenLine(r.out, &path, &bytes)) << r.out;
  EXPECT_EQ(qtest::ReadFile(path).rfind("{\"nodes\":", 0), 0u);
  EXPECT_EQ(qtest::OtherChildren({node.pid()}), std::vector<pid_t>{});

  // Ctrl-C during the duration: the profile is stopped at once and waited for.
  {
    qtest::RunningTool run({"--wait", "--start_profiling", "time=60s", pid}, env);
    ASSERT_TRUE(run.Waiting([&] { return run.out.find("Profiling文件路径:") != std::string::npos; })) << run.out;
    run.Signal(SIGINT);
    EXPECT_EQ(run.Finish(30000), 0) << run.out;
    ASSERT_TRUE(WrittenLine(run.out, &path, &bytes)) << run.out;
    EXPECT_EQ(qtest::ReadFile(path).rfind("{\"nodes\":", 0), 0u);
  }
  EXPECT_EQ(qtest::OtherChildren({node.pid()}), std::vector<pid_t>{});
}

// A full disk: a snapshot that has no room is refused with the runtime's
// reason; a profile whose disk fills up while it runs fails when it is
// written, which the status query reports with the runtime's reason (an
// agent without the query leaves only the limit).
TEST_F(WaitEndToEndTest, FullDisk) {
  TempDir logs;
  logs.Mount("1m");
  if (!logs.mounted) GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
  Node node(logs.path);
  ASSERT_TRUE(qtest::FileExists(qtest::SocketPath(node.pid())));
  const bool knows = node.KnowsStatusQuery();
  const std::string pid = std::to_string(node.pid());
  Fill(logs.path);

  qtest::RunResult r = qtest::RunQuellix({"--wait", "--heapdump", pid}, {"NODE_OPTIONS=" + Node::Preload()}, 60000);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("space"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Written:"), std::string::npos) << r.out;

  // Room at the start; none left when the profile is written at Ctrl-C.
  unlink((logs.path + "/filler").c_str());
  qtest::RunningTool run({"--wait=10", "--start_profiling", "time=-1s", pid}, {"NODE_OPTIONS=" + Node::Preload()});
  ASSERT_TRUE(run.Waiting([&] { return run.out.find("Profiling文件路径:") != std::string::npos; })) << run.out;
  Fill(logs.path);
  run.Signal(SIGINT);
  EXPECT_EQ(run.Finish(30000), 1) << run.out;
  EXPECT_EQ(run.out.find("Written:"), std::string::npos) << run.out;
  if (knows) {
    // Needs the agent's status query: the runtime's own reason.
    EXPECT_TRUE(
        std::regex_search(run.out, std::regex(R"(\nThe runtime could not write /\S+\.cpuprofile: .*(ENOSPC|space))")))
        << run.out;
  } else {
    EXPECT_NE(run.out.find("\nWaited 10 s; "), std::string::npos) << run.out;
  }
}

}  // namespace
