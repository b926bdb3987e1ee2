// -o through the real binary against the stand-in runtime: what is refused
// before anything is sent, the copy where the user wants it (owner-only,
// never over a file or through a link, over a regular file with --force),
// what is left when it cannot be written, and --quiet.
#include <sys/mount.h>

#include <regex>

#include "watch.h"

namespace {

using qtest::kClock;

struct TempDir {
  const std::string path = qtest::MakeTempDir();
  ~TempDir() { qtest::RemoveTree(path); }
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::vector<std::string> InDir(std::vector<std::string> args, const std::string& dir) {
  for (std::string& arg : args) arg = Replace(arg, "{dir}", dir);
  return args;
}

std::vector<std::string> Fill(const std::vector<std::string>& args, const qtest::Peer& peer, const std::string& dir) {
  std::vector<std::string> filled = InDir(args, dir);
  for (std::string& arg : filled) arg = Replace(arg, "{pid}", peer.pid_text());
  return filled;
}

bool IsLink(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// What changes between runs: clocks, stamps, the pid, the directories and
// the seconds waited.
std::string Norm(const std::string& text, const qtest::Peer& peer, const std::string& logs, const std::string& dir) {
  std::string out = qtest::Normalize(Replace(Replace(text, logs, "<logs>"), dir, "{dir}"), {peer.pid()});
  out = std::regex_replace(out, std::regex(R"(, \d+\.\d s\)\.)"), ", <s> s).");
  return std::regex_replace(out, std::regex(R"("seconds":\d+\.\d+)"), "\"seconds\":<s>");
}

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

const std::string kDump =
    "heapdump文件路径:<logs>/heapdump-<pid>-<stamp>.heapsnapshot\nheapdump可能需要数秒或数分钟.\n";
const std::string kDumpPath = "<logs>/heapdump-<pid>-<stamp>.heapsnapshot";
const std::string kNoSummary = "No summary of " + kDumpPath + ": invalid value at byte 0.\n";

class OutputTest : public qtest::BackgroundTest {};

// Each is refused before anything reaches the runtime, and what lies at
// the path stays as it was: a file, a link and what it points to.
TEST_F(OutputTest, RefusedBeforeSending) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string out;
  };
  // clang-format off
  const Case cases[] = {
      {"a flame graph of a snapshot", {"-o", "{dir}/heap.html", "--heapdump", "{pid}"},
       "Output {dir}/heap.html: a heap snapshot cannot be written as a flame graph; it takes .heapsnapshot, or another extension for the file as written.\n"},
      {"a CPU profile of a heap profile", {"--start_heap_profiling", "--output", "{dir}/h.cpuprofile", "{pid}"},
       "Output {dir}/h.cpuprofile: a heap profile cannot be written as a CPU profile; it takes .heapprofile, .pb.gz, or another extension for the file as written.\n"},
      {"pprof of a report", {"--output={dir}/r.pb.gz", "--diag_report", "{pid}"},
       "Output {dir}/r.pb.gz: a diagnostic report cannot be written as pprof; give another extension for the file as written.\n"},
      {"V8 options form", {"--v8-options", "--trace_gc", "-o", "{dir}/gc.folded", "--pid={pid}"},
       "Output {dir}/gc.folded: a text file cannot be written as folded stacks; give another extension for the file as written.\n"},
      {"no result file", {"-o", "{dir}/gc", "--force_gc", "{pid}"}, "Output {dir}/gc: the command writes no result file.\n"},
      {"an existing file", {"-o", "{dir}/taken", "--heapdump", "{pid}"}, "Output {dir}/taken exists; add --force to replace it.\n"},
      {"a link", {"-o", "{dir}/link", "--heapdump", "{pid}"}, "Output {dir}/link exists; add --force to replace it.\n"},
      {"a link, with --force", {"--force", "-o", "{dir}/link", "--heapdump", "{pid}"},
       "Output {dir}/link is no regular file; --force replaces only a regular file.\n"},
      {"a dangling link", {"-o", "{dir}/dangling", "--heapdump", "{pid}"}, "Output {dir}/dangling exists; add --force to replace it.\n"},
      {"no directory", {"-o", "{dir}/none/heap", "--heapdump", "{pid}"}, "Cannot write {dir}/none/heap: No such file or directory.\n"},
      {"no path", {"--heapdump", "{pid}", "-o"}, "-o needs a path: -o PATH, --output PATH or --output=PATH.\n"},
      // Through a process's root, its own links would lead the file.
      {"through a process's root", {"-o", "/proc/{pid}/root{dir}/heap.heapsnapshot", "--heapdump", "{pid}"},
       "Output /proc/<pid>/root{dir}/heap.heapsnapshot: quellix does not write through a process's root (/proc/<pid>/root); give a path of its own side.\n"},
      {"a link to a process's root", {"-o", "{dir}/root/tmp/heap.heapsnapshot", "--heapdump", "{pid}"},
       "Output {dir}/root/tmp/heap.heapsnapshot: quellix does not write through a process's root (/proc/<pid>/root); give a path of its own side.\n"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir logs, dir;
    const std::string taken = dir.path + "/taken", target = dir.path + "/target";
    ASSERT_TRUE(std::ofstream(taken) << "keep");
    ASSERT_TRUE(std::ofstream(target) << "keep");
    ASSERT_EQ(symlink(target.c_str(), (dir.path + "/link").c_str()), 0);
    ASSERT_EQ(symlink((dir.path + "/nowhere").c_str(), (dir.path + "/dangling").c_str()), 0);
    auto peer = qtest::ListeningPeer({"--result", "write:0:10"}, {"NODE_LOG_DIR=" + logs.path});
    ASSERT_EQ(symlink(("/proc/" + peer->pid_text() + "/root").c_str(), (dir.path + "/root").c_str()), 0);
    qtest::RunResult r = qtest::RunQuellix(Fill(c.args, *peer, dir.path));
    EXPECT_EQ(Norm(r.out, *peer, logs.path, dir.path), c.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(peer->HasMessage(0));
    EXPECT_EQ(qtest::ReadFile(taken), "keep");
    EXPECT_EQ(qtest::ReadFile(target), "keep");
    EXPECT_TRUE(IsLink(dir.path + "/link"));
    EXPECT_FALSE(qtest::FileExists(dir.path + "/nowhere"));
  }
}

// The result as written, where -o says: owner-only, the runtime's file
// left in place; over a regular file only with --force; with --quiet only
// the "Written:" lines; with --json in the object.
TEST_F(OutputTest, CopiedWhereAsked) {
  const std::string written = "Written: " + kDumpPath + " (1000 bytes, <s> s).\n";
  const std::string copied = "Written: {dir}/heap.bin (as written, 1000 bytes).\n";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool taken;  // a file is at the path before
    std::string out;
  };
  // clang-format off
  const Case cases[] = {
      {"as written", {"-o", "{dir}/heap.bin", "--heapdump", "{pid}"}, false, kClock + kDump + written + kNoSummary + copied},
      {"--force over a regular file", {"--heapdump", "--force", "{pid}", "--output={dir}/heap.bin"}, true,
       kClock + kDump + written + kNoSummary + copied},
      {"--quiet", {"--quiet", "--heapdump", "{pid}", "-o", "{dir}/heap.bin"}, false, written + copied},
      {"--json", {"--json", "-o", "{dir}/heap.bin", "--heapdump", "{pid}"}, false,
       "{\"pid\":<pid>,\"command\":\"--heapdump\",\"delivered\":true,\"path\":\"" + kDumpPath +
           "\",\"status\":\"written\",\"bytes\":1000,\"seconds\":<s>,\"summaryError\":\"invalid value at byte 0\","
           "\"output\":\"{dir}/heap.bin\",\"outputFormat\":\"as written\",\"outputBytes\":1000}\n"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir logs, dir;
    const std::string out = dir.path + "/heap.bin";
    if (c.taken) {
      ASSERT_TRUE(std::ofstream(out) << "old");
    }
    auto peer = qtest::ListeningPeer({"--result", "write:100:1000"}, {"NODE_LOG_DIR=" + logs.path});
    qtest::RunResult r = qtest::RunQuellix(Fill(c.args, *peer, dir.path));
    EXPECT_EQ(Norm(r.out, *peer, logs.path, dir.path), c.out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(qtest::ReadFile(out), std::string(1000, 'x'));
    EXPECT_EQ(ModeOf(out), 0600u);
    // Nothing else in the directory: no temporary file is left.
    EXPECT_EQ(qtest::Run("/bin/ls", {"-A", dir.path}).out, "heap.bin\n");
  }
}

// When the output cannot be written after the wait, the run fails, says
// where the result stays and leaves the path as it was: a file that took
// the path meanwhile, a link in the place of the result (never followed),
// a profile that cannot be converted.
TEST_F(OutputTest, NotWritten) {
  struct Case {
    const char* name;
    std::vector<std::string> args, peer;
    bool take;  // a file takes the path while quellix waits
    std::string out;
  };
  const std::string stays = "The result stays at " + kDumpPath + ".\n";
  const std::string profile = "<logs>/cpu-profile-<pid>-<stamp>.cpuprofile";
  // clang-format off
  const Case cases[] = {
      {"taken meanwhile", {"-o", "{dir}/out", "--heapdump", "{pid}"}, {"--result", "write:1000:1000"}, true,
       kClock + kDump + "Written: " + kDumpPath + " (1000 bytes, <s> s).\n" + kNoSummary +
           "Output {dir}/out exists; add --force to replace it.\n" + stays},
      {"taken meanwhile, --json", {"--json", "-o", "{dir}/out", "--heapdump", "{pid}"}, {"--result", "write:1000:1000"}, true,
       "{\"pid\":<pid>,\"command\":\"--heapdump\",\"delivered\":true,\"path\":\"" + kDumpPath +
           "\",\"status\":\"written\",\"bytes\":1000,\"seconds\":<s>,\"summaryError\":\"invalid value at byte 0\","
           "\"error\":\"Output {dir}/out exists; add --force to replace it.\\nThe result stays at " + kDumpPath + ".\"}\n"},
      {"a link in the result's place", {"-o", "{dir}/out", "--heapdump", "{pid}"}, {"--result", "link:0:{dir}/secret"}, false,
       kClock + kDump + "Written: " + kDumpPath + " (0 bytes, <s> s).\nCannot copy " + kDumpPath +
           ": cannot open it: no regular file.\n"},
      {"no CPU profile to convert", {"-o", "{dir}/out.html", "--start_profiling", "time=1s", "{pid}"}, {"--result", "write:0:10"},
       false,
       kClock + "Profiling文件路径:" + profile + "\n请等待1秒后读取此cpu-profiling结果.\n" + kClock + "Written: " + profile +
           " (10 bytes, <s> s).\nNo summary of " + profile + ": invalid value at byte 0.\nCannot convert " + profile +
           ": invalid value at byte 0.\nThe result stays at " + profile + ".\n"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir logs, dir;
    ASSERT_TRUE(std::ofstream(dir.path + "/secret") << "secret");
    auto peer = qtest::ListeningPeer(InDir(c.peer, dir.path), {"NODE_LOG_DIR=" + logs.path});
    qtest::RunningTool run(Fill(c.args, *peer, dir.path), {});
    if (c.take) {
      ASSERT_TRUE(run.Waiting([&] { return peer->HasMessage(0); }));
      ASSERT_TRUE(std::ofstream(dir.path + "/out") << "taken");
    }
    EXPECT_EQ(run.Finish(20000), 1);
    EXPECT_EQ(Norm(run.out, *peer, logs.path, dir.path), c.out);
    EXPECT_EQ(qtest::ReadFile(dir.path + "/out"), c.take ? "taken" : "");
    EXPECT_EQ(qtest::Run("/bin/ls", {"-A", dir.path}).out, c.take ? "out\nsecret\n" : "secret\n");
  }
}

// No room where the output goes: the run fails, and nothing is left there,
// no temporary file either (a tmpfs of 1 MB; skipped where mounting is not
// permitted).
TEST_F(OutputTest, NoRoom) {
  TempDir logs, dir;
  const std::string small = dir.path + "/small";
  ASSERT_EQ(mkdir(small.c_str(), 0700), 0);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
  // Unmounted before the directory goes, also when a check fails.
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  auto peer = qtest::ListeningPeer({"--result", "write:0:2000000"}, {"NODE_LOG_DIR=" + logs.path});
  qtest::RunResult r = qtest::RunQuellix({"-o", small + "/heap", "--heapdump", peer->pid_text()});
  EXPECT_EQ(Norm(r.out, *peer, logs.path, dir.path),
            kClock + kDump + "Written: " + kDumpPath + " (2000000 bytes, <s> s).\n" + kNoSummary +
                "Cannot write {dir}/small/heap: No space left on device.\nThe result stays at " + kDumpPath + ".\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(qtest::Run("/bin/ls", {"-A", small}).out, "");
}

}  // namespace
