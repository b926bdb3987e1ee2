// --wait and the ledger of pending deferred stops, through the real binary
// against the stand-in runtime, which answers the status query (or refuses
// it as an older runtime does) and writes, fails or ends for the result file
// it was given. The test process is a child subreaper, so every background
// process becomes its child and is found and reaped here.
#include <sys/time.h>

#include <functional>
#include <regex>

#include "watch.h"

namespace {

using qtest::kClock;

// A temporary directory that goes with its scope.
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

// What changes between runs: the clock lines, stamps, the pid, the log
// directory and the seconds waited.
std::string Norm(const std::string& text, const qtest::Peer& peer, const std::string& logs) {
  std::string out = qtest::Normalize(Replace(text, logs, "<logs>"), {peer.pid()});
  out = std::regex_replace(out, std::regex(R"(, \d+\.\d s\)\.)"), ", <s> s).");
  return std::regex_replace(out, std::regex(R"("seconds":\d+\.\d+)"), "\"seconds\":<s>");
}

std::vector<std::string> WithPid(std::vector<std::string> args, int pid) {
  for (std::string& arg : args) arg = Replace(arg, "{pid}", std::to_string(pid));
  return args;
}

const std::string kDump =
    "heapdump文件路径:<logs>/heapdump-<pid>-<stamp>.heapsnapshot\nheapdump可能需要数秒或数分钟.\n";
const std::string kDumpPath = "<logs>/heapdump-<pid>-<stamp>.heapsnapshot";
const std::string kProfilePath = "<logs>/cpu-profile-<pid>-<stamp>.cpuprofile";

// What follows a written file of the stand-in runtime, which holds only 'x'.
std::string NoSummary(const std::string& path) { return "No summary of " + path + ": invalid value at byte 0.\n"; }

class WaitTest : public qtest::BackgroundTest {};
class LedgerTest : public qtest::BackgroundTest {};

// Each row against a fresh runtime: the file written (the query answered,
// refused or unanswered), a failure with the runtime's reason, a runtime
// that ends, the limit, a timed command stopped from the foreground, a
// command without a file, and --json. No background process is left.
TEST_F(WaitTest, Outcomes) {
  const std::string written = "Written: " + kDumpPath + " (1000 bytes, <s> s).\n" + NoSummary(kDumpPath);
  const std::string json_path =
      "{\"pid\":<pid>,\"command\":\"--heapdump\",\"delivered\":true,\"path\":\"" + kDumpPath + "\"";
  struct Case {
    const char* name;
    std::vector<std::string> args, peer;
    std::string out;
    int status;
    std::vector<unsigned int> masks;  // of the messages the runtime got
    bool asked;                       // the status query was used
  };
  // clang-format off
  const Case cases[] = {
      {"written", {"--wait", "--heapdump", "{pid}"}, {"--result", "write:300:1000"},
       kClock + kDump + written, 0, {0x1}, true},
      {"query refused: the file decides", {"--heapdump", "--wait", "{pid}"}, {"--result", "write:300:1000", "--status", "refuse"},
       kClock + kDump + written, 0, {0x1}, true},
      {"query unanswered", {"--heapdump", "{pid}", "--wait"}, {"--result", "write:300:1000", "--status", "silent"},
       kClock + kDump + written, 0, {0x1}, true},
      {"failed", {"--wait", "--heapdump", "{pid}"}, {"--result", "fail:200:disk\tfull\x1b"},
       kClock + kDump + "The runtime could not write " + kDumpPath + ": disk\\x09full\\x1b\n", 1, {0x1}, true},
      {"runtime ended", {"--wait", "--heapdump", "{pid}"}, {"--result", "exit:300"},
       kClock + kDump + "Pid <pid> ended before the file was written.\n", 1, {0x1}, true},
      {"limit", {"--wait=1", "--heapdump", "{pid}"}, {},
       kClock + kDump + "Waited 1 s; " + kDumpPath + " is not written yet.\n", 1, {0x1}, true},
      {"timed, in the foreground", {"--wait", "--start_profiling", "time=1s", "{pid}"}, {"--result", "write:100:10"},
       kClock + "Profiling文件路径:" + kProfilePath + "\n请等待1秒后读取此cpu-profiling结果.\n" + kClock +
           "Written: " + kProfilePath + " (10 bytes, <s> s).\n" + NoSummary(kProfilePath), 0, {0x40, 0x80}, true},
      {"V8 options form", {"--v8-options", "--trace_gc", "--wait", "time=1s", "--pid={pid}"}, {"--result", "write:0:5"},
       kClock + "gc-log文件路径:<logs>/gc-log-<pid>-<stamp>.txt\n请等待1秒后读取此gc-log.\n" + kClock +
           "Written: <logs>/gc-log-<pid>-<stamp>.txt (5 bytes, <s> s).\n", 0, {0x400, 0x800}, true},
      {"no result file", {"--wait", "--force_gc", "{pid}"}, {"--result", "write:0:5"}, kClock + qtest::kForceGc, 0, {0x2},
       false},
      {"json, written", {"--json", "--wait", "--heapdump", "{pid}"}, {"--result", "write:300:1000"},
       json_path + ",\"status\":\"written\",\"bytes\":1000,\"seconds\":<s>,\"summaryError\":\"invalid value at byte 0\"}\n",
       0, {0x1}, true},
      {"json, failed", {"--heapdump", "--json", "--wait", "{pid}"}, {"--result", "fail:0:disk\tfull\x1b"},
       json_path + ",\"status\":\"failed\",\"bytes\":0,\"seconds\":<s>,\"error\":\"The runtime could not write " +
           kDumpPath + ": disk\\u0009full\\u001b\"}\n", 1, {0x1}, true},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir logs;
    auto peer = qtest::ListeningPeer(c.peer, {"NODE_LOG_DIR=" + logs.path});
    qtest::RunResult r = qtest::RunQuellix(WithPid(c.args, peer->pid()));
    EXPECT_EQ(Norm(r.out, *peer, logs.path), c.out);
    EXPECT_EQ(r.status, c.status);
    for (size_t i = 0; i < c.masks.size(); i++) {
      const std::string message = peer->Message(static_cast<int>(i));
      EXPECT_EQ(qtest::MaskOf(message), c.masks[i]);
      EXPECT_EQ(qtest::TextOf(message).find("--wait"), std::string::npos);
    }
    EXPECT_FALSE(peer->HasMessage(static_cast<int>(c.masks.size())));
    EXPECT_EQ(qtest::FileExists(peer->dir() + "/queries"), c.asked);
    if (c.asked) {
      // The status query: 1024 bytes, its own bit, parameter 0, the path as
      // the runtime was given it.
      const std::string query = qtest::ReadFile(peer->dir() + "/query.bin");
      EXPECT_EQ(query.size(), 1024u);
      EXPECT_EQ(qtest::MaskOf(query), 0x10000u);
      EXPECT_EQ(qtest::SenderOf(query), 0);
      EXPECT_EQ(qtest::TextOf(query).find(logs.path + "/"), 0u);
      EXPECT_TRUE(qtest::TailIsZero(query));
    }
    // An older runtime is asked once; the file decides from then on.
    if (c.peer.size() > 3 && c.peer[3] == "refuse") {
      EXPECT_EQ(qtest::ReadFile(peer->dir() + "/queries"), "1");
    }
    EXPECT_EQ(qtest::OtherChildren({peer->pid()}), std::vector<pid_t>{});
  }
}

// A runtime that ends before the status query said "written": a file at the
// result's path counts only when it is a regular file of the target's user,
// changed after the command went out; whatever else lies there (planted by
// another user, left from before, a link), the run fails.
TEST_F(WaitTest, EndedBeforeWritten) {
  const std::string ended = "Pid <pid> ended before the file was written.\n";
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> plant;
    std::vector<std::string> args;
    std::string out;  // after the status text
    int status;
  };
  const auto make = [](const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_EQ(::write(fd, "12345", 5), 5);
    close(fd);
  };
  const auto theirs = [&](const std::string& path) {
    make(path);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  };
  // clang-format off
  const Case cases[] = {
      {"nothing there", [](const std::string&) {}, {"--wait"}, ended, 1},
      {"another user's file", theirs, {"--wait"}, ended, 1},
      {"another user's file, --json", theirs, {"--wait", "--json"}, "", 1},
      {"a file from before", [&](const std::string& path) {
         make(path);
         struct timeval old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
         ASSERT_EQ(utimes(path.c_str(), old), 0);
       }, {"--wait"}, ended, 1},
      {"a link to a file of the target's user", [&](const std::string& path) {
         make(path + ".real");
         ASSERT_EQ(symlink((path + ".real").c_str(), path.c_str()), 0);
       }, {"--wait"}, ended, 1},
      // As a runtime that writes its file when it ends.
      {"the target's own file, written at its end", make, {"--wait"},
       "Written: " + kDumpPath + " (5 bytes, <s> s).\nNo summary of " + kDumpPath + ": the document is no object.\n", 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (geteuid() != 0 && std::string(c.name).find("another user") != std::string::npos) {
      std::cout << "[  SKIPPED ] " << c.name << ": needs root, to give a file to another user\n";
      continue;
    }
    TempDir logs;
    auto peer = qtest::ListeningPeer({"--result", "exit:1500"}, {"NODE_LOG_DIR=" + logs.path});
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--heapdump", peer->pid_text()});
    qtest::RunningTool tool(args, {});
    ASSERT_TRUE(tool.Waiting([&] { return peer->HasMessage(0); }));
    const std::string text = qtest::TextOf(peer->Message(0));
    const std::string path =
        text.substr(strlen("--specified_log_path="), text.find(' ') - strlen("--specified_log_path="));
    c.plant(path);
    EXPECT_EQ(tool.Finish(10000), c.status);
    if (c.args.size() == 2) {
      EXPECT_NE(tool.out.find(",\"status\":\"failed\",\"bytes\":0,"), std::string::npos) << tool.out;
      EXPECT_NE(tool.out.find("\"error\":\"Pid " + peer->pid_text() + " ended before the file was written.\""),
                std::string::npos)
          << tool.out;
    } else {
      EXPECT_EQ(Norm(tool.out, *peer, logs.path), kClock + kDump + c.out);
    }
  }
}

// Ctrl-C during the duration stops the activity at once and still waits
// for the file; a second Ctrl-C, or SIGTERM, leaves (SIGTERM after sending
// the stop), with status 1.
TEST_F(WaitTest, InterruptDuringTheDuration) {
  const std::string started =
      kClock + "Profiling文件路径:" + kProfilePath + "\n请等待60秒后读取此cpu-profiling结果.\n" + kClock;
  const std::string left = "Stopped waiting; " + kProfilePath + " may still be written.\n";
  struct Case {
    const char* name;
    std::string result;
    std::vector<int> signals;  // each sent once the one before it had its effect
    std::string out;
    int status;
  };
  const Case cases[] = {
      {"Ctrl-C",
       "write:100:10",
       {SIGINT},
       started + "Written: " + kProfilePath + " (10 bytes, <s> s).\n" + NoSummary(kProfilePath),
       0},
      {"Ctrl-C twice", "none", {SIGINT, SIGINT}, started + left, 1},
      {"SIGTERM", "none", {SIGTERM}, started + left, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir logs;
    auto peer = qtest::ListeningPeer({"--result", c.result}, {"NODE_LOG_DIR=" + logs.path});
    qtest::RunningTool tool({"--wait", "--start_profiling", "time=60s", peer->pid_text()}, {});
    long long begin = qtest::NowMs();
    for (size_t i = 0; i < c.signals.size(); i++) {
      // The start (then the stop) arrived, and the wait catches its signals.
      ASSERT_TRUE(tool.Waiting([&] { return peer->HasMessage(static_cast<int>(i)); }));
      tool.Signal(c.signals[i]);
    }
    EXPECT_EQ(tool.Finish(10000), c.status);
    EXPECT_EQ(Norm(tool.out, *peer, logs.path), c.out);
    EXPECT_LT(qtest::NowMs() - begin, 20000);
    // The stop went out once, at the first signal.
    EXPECT_EQ(qtest::MaskOf(peer->Message(1)), 0x80u);
    EXPECT_EQ(qtest::TextOf(peer->Message(1)), qtest::TextOf(peer->Message(0)));
    EXPECT_FALSE(peer->HasMessage(2));
    EXPECT_EQ(qtest::OtherChildren({peer->pid()}), std::vector<pid_t>{});
  }
}

// The ledger in a private directory of the test's own ($XDG_RUNTIME_DIR).
struct Ledger {
  TempDir runtime_dir;
  std::string Dir() const { return runtime_dir.path + "/quellix"; }
  std::string Entry(int target, pid_t stopper) const {
    return Dir() + "/stop-" + std::to_string(target) + "-" + std::to_string(stopper);
  }
  std::vector<std::string> Env() const { return {"XDG_RUNTIME_DIR=" + runtime_dir.path}; }
};

// True once pid ended by SIGKILL (it is reaped here).
bool KilledBySignal(pid_t pid) {
  int status = 0;
  return qtest::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }) && WIFSIGNALED(status) &&
         WTERMSIG(status) == SIGKILL;
}

// A stop by hand ends the deferred stop of that activity, which then sends
// nothing, and removes its entry; with --wait the hand stop waits for the
// activity's file, known from the ledger. A deferred stop of another
// activity stays.
TEST_F(LedgerTest, HandStopEndsThePendingStop) {
  Ledger ledger;
  TempDir logs;
  auto peer = qtest::ListeningPeer({"--result", "write:100:10"}, {"NODE_LOG_DIR=" + logs.path});
  std::vector<pid_t> known = {peer->pid()};
  auto start = [&](const std::string& command) {
    qtest::RunResult r = qtest::RunQuellix({command, "time=60s", peer->pid_text()}, ledger.Env());
    EXPECT_EQ(r.status, 0);
    pid_t stopper = qtest::FindBackground(known);
    known.push_back(stopper);
    return stopper;
  };

  pid_t stopper = start("--start_profiling");
  ASSERT_NE(stopper, -1);
  // Owner-only, one entry: target, its start, the stop kind, the stopper,
  // its start, the result path.
  struct stat info;
  ASSERT_EQ(stat(ledger.Dir().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  const std::string entry = qtest::ReadFile(ledger.Entry(peer->pid(), stopper));
  std::smatch m;
  ASSERT_TRUE(std::regex_match(entry, m, std::regex(R"((\d+) \d+ 1 (\d+) \d+ (\S+)\n)"))) << entry;
  EXPECT_EQ(m[1], peer->pid_text());
  EXPECT_EQ(m[2], std::to_string(stopper));
  EXPECT_EQ(Norm(m[3], *peer, logs.path), kProfilePath);
  pid_t other = start("--start_heap_profiling");

  qtest::RunResult r = qtest::RunQuellix({"--stop_profiling", peer->pid_text()}, ledger.Env());
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(KilledBySignal(stopper));
  EXPECT_FALSE(qtest::FileExists(ledger.Entry(peer->pid(), stopper)));
  EXPECT_TRUE(qtest::FileExists(ledger.Entry(peer->pid(), other)));
  EXPECT_EQ(waitpid(other, nullptr, WNOHANG), 0) << "the other activity's deferred stop was ended";

  // --wait with a stop by hand: the file of the activity it stopped.
  r = qtest::RunQuellix({"--wait", "--stop_heap_profiling", peer->pid_text()}, ledger.Env());
  EXPECT_EQ(Norm(r.out, *peer, logs.path),
            kClock + "Written: <logs>/heap-profile-<pid>-<stamp>.heapprofile (10 bytes, <s> s).\n" +
                NoSummary("<logs>/heap-profile-<pid>-<stamp>.heapprofile"));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(KilledBySignal(other));
  std::vector<unsigned int> masks;
  for (int i = 0; peer->HasMessage(i); i++) masks.push_back(qtest::MaskOf(peer->Message(i)));
  EXPECT_EQ(masks, (std::vector<unsigned int>{0x40, 0x100, 0x80, 0x200}));
}

// A ledger directory that is not the user's own alone (made first by
// someone else, or open to others) is not used: the deferred stop works as
// without a ledger, and a stop by hand leaves it.
TEST_F(LedgerTest, DirectoryNotOursIsNotUsed) {
  Ledger ledger;
  ASSERT_EQ(mkdir(ledger.Dir().c_str(), 0755), 0);
  ASSERT_EQ(chmod(ledger.Dir().c_str(), 0755), 0);
  auto peer = qtest::ListeningPeer({}, {"NODE_LOG_DIR=/data/logs"});
  qtest::RunResult r = qtest::RunQuellix({"--start_profiling", "time=60s", peer->pid_text()}, ledger.Env());
  EXPECT_EQ(r.status, 0);
  pid_t stopper = qtest::FindBackground({peer->pid()});
  ASSERT_NE(stopper, -1);
  EXPECT_FALSE(qtest::FileExists(ledger.Entry(peer->pid(), stopper)));
  r = qtest::RunQuellix({"--stop_profiling", peer->pid_text()}, ledger.Env());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(waitpid(stopper, nullptr, WNOHANG), 0) << "the deferred stop was ended";
}

}  // namespace
