// Timed commands, their deferred stop and the V8 options form, through the
// real binary against the stand-in runtime. The test process is a child
// subreaper, so every background process becomes its child and is reaped here.
#include "watch.h"

namespace {

using qtest::Peer;

// The runtime's own log directory; the stand-in writes no result files.
const std::vector<std::string> kPeerEnv = {"NODE_LOG_DIR=/data/logs"};

std::vector<std::string> WithPid(std::vector<std::string> args, int pid) {
  for (std::string& arg : args) {
    size_t at = arg.find("%p");
    if (at != std::string::npos) arg.replace(at, 2, std::to_string(pid));
  }
  return args;
}

std::string Norm(const std::string& text, const Peer& peer) { return qtest::Normalize(text, {peer.pid()}); }

// quellix started as a script would start it: from a working directory of
// its own, with one more descriptor (an open file, 7) than the standard ones.
qtest::RunResult RunFromScript(const std::vector<std::string>& args, const std::string& dir) {
  std::vector<std::string> sh = {"-c", "cd \"$1\" && shift && exec \"$@\" 7>held", "sh", dir, QUELLIX_BIN};
  sh.insert(sh.end(), args.begin(), args.end());
  return qtest::Run("/bin/sh", sh);
}

// Own session and process group, file-creation mask 0, /dev/null as the
// standard descriptors and no other but the target's process descriptor
// (for the kick), "/" as the working directory.
void ExpectDetached(pid_t pid) {
  int ppid, pgrp, session;
  ASSERT_TRUE(qtest::ReadStat(pid, &ppid, &pgrp, &session));
  EXPECT_EQ(pid, session);
  EXPECT_EQ(pid, pgrp);
  std::string proc = "/proc/" + std::to_string(pid);
  EXPECT_NE(std::string::npos, qtest::ReadFile(proc + "/status").find("\nUmask:\t0000\n"));
  for (const char* fd : {"/fd/0", "/fd/1", "/fd/2"}) {
    EXPECT_TRUE(qtest::WaitFor([&] {
      char target[64] = {0};
      return readlink((proc + fd).c_str(), target, sizeof(target) - 1) > 0 && strcmp(target, "/dev/null") == 0;
    })) << fd;
  }
  std::vector<std::string> fds;
  EXPECT_TRUE(qtest::WaitFor([&] {
    fds.clear();
    DIR* dir = opendir((proc + "/fd").c_str());
    while (struct dirent* entry = dir == nullptr ? nullptr : readdir(dir)) {
      char target[64] = {0};
      readlinkat(dirfd(dir), entry->d_name, target, sizeof(target) - 1);
      if (entry->d_name[0] != '.' && strcmp(target, "anon_inode:[pidfd]") != 0) fds.push_back(entry->d_name);
    }
    if (dir != nullptr) closedir(dir);
    std::sort(fds.begin(), fds.end());
    return fds == std::vector<std::string>{"0", "1", "2"};
  })) << testing::PrintToString(fds);
  std::string cwd;
  EXPECT_TRUE(qtest::WaitFor([&] {
    char target[256];
    ssize_t len = readlink((proc + "/cwd").c_str(), target, sizeof(target));
    cwd.assign(target, len > 0 ? static_cast<size_t>(len) : 0);
    return cwd == "/";
  })) << cwd;
}

class DeferredStopTest : public qtest::BackgroundTest {};
class ExitStatusTest : public qtest::BackgroundTest {};

// All stop kinds, started one after the other and waited for together: the
// foreground returns at once; the detached process sends the matching stop
// with the start's option text after the duration and ends with 42.
TEST_F(DeferredStopTest, StopFollowsAfterDuration) {
  struct Cycle {
    std::vector<std::string> args;
    int seconds;
    unsigned int start_mask, stop_mask;
    std::string output, text;  // normalized; the output after the clock line
  };
  const std::vector<Cycle> cycles = {
      {{"--start_profiling", "time=1s", "%p"},
       1,
       0x40,
       0x80,
       "Profiling文件路径:/data/logs/cpu-profile-<pid>-<stamp>.cpuprofile\n请等待1秒后读取此cpu-profiling结果.\n",
       "--specified_log_path=/data/logs/cpu-profile-<pid>-<stamp>.cpuprofile "},
      {{"%p", "time=1s", "--start_timeline"},
       1,
       0x10,
       0x20,
       "heaptimeline文件路径:/data/logs/timeline-<pid>-<stamp>.heaptimeline\n请等待1秒后读取此timeline结果.\n",
       "--specified_log_path=/data/logs/timeline-<pid>-<stamp>.heaptimeline "},
      {{"time=1m", "--start_heap_profiling", "%p", "time=1s"},
       1,
       0x100,
       0x200,
       "heapprofile文件路径:/data/logs/heap-profile-<pid>-<stamp>.heapprofile\n请等待1秒后读取此heap-profile结果.\n",
       "--specified_log_path=/data/logs/heap-profile-<pid>-<stamp>.heapprofile "},
      {{"--v8-options", "--trace_gc", "time=2s", "--pid=%p"},
       2,
       0x400,
       0x800,
       "gc-log文件路径:/data/logs/gc-log-<pid>-<stamp>.txt\n请等待2秒后读取此gc-log.\n",
       "--trace_gc --specified_log_path=/data/logs/gc-log-<pid>-<stamp>.txt "},
  };
  struct Started {
    std::unique_ptr<Peer> peer;
    pid_t background;
    long long begin, end, arrival;
  };
  std::vector<Started> runs;
  std::vector<pid_t> known;
  for (const Cycle& cycle : cycles) {
    SCOPED_TRACE(cycle.output);
    auto peer = qtest::ListeningPeer({}, kPeerEnv);
    known.push_back(peer->pid());
    long long begin = qtest::NowMs();
    qtest::RunResult run = RunFromScript(WithPid(cycle.args, peer->pid()), peer->dir());
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("<clock>\n\n" + cycle.output, Norm(run.out, *peer));
    EXPECT_LT(run.elapsed_ms, cycle.seconds * 750);
    pid_t background = qtest::FindBackground(known);
    ASSERT_NE(-1, background);
    known.push_back(background);
    ExpectDetached(background);
    runs.push_back({std::move(peer), background, begin, qtest::NowMs(), 0});
  }
  qtest::WaitFor(
      [&] {
        bool all = true;
        for (Started& run : runs) {
          if (run.arrival == 0 && run.peer->HasMessage(1)) run.arrival = qtest::NowMs();
          all = all && run.arrival != 0;
        }
        return all;
      },
      8000);
  for (size_t i = 0; i < cycles.size(); i++) {
    SCOPED_TRACE(cycles[i].output);
    const Started& run = runs[i];
    std::string start = run.peer->Message(0, 0), stop = run.peer->Message(1, 0);
    EXPECT_EQ(cycles[i].start_mask, qtest::MaskOf(start));
    EXPECT_EQ(cycles[i].text, Norm(qtest::TextOf(start), *run.peer));
    EXPECT_EQ(cycles[i].stop_mask, qtest::MaskOf(stop));
    EXPECT_EQ(qtest::TextOf(start), qtest::TextOf(stop));
    EXPECT_EQ(run.background, qtest::SenderOf(stop));
    EXPECT_NE(qtest::SenderOf(start), qtest::SenderOf(stop));
    ASSERT_NE(0, run.arrival);
    EXPECT_GE(run.arrival - run.begin, cycles[i].seconds * 1000);
    EXPECT_LT(run.arrival - run.end, cycles[i].seconds * 1000 + 2000);
    EXPECT_EQ(42, qtest::ExitCode(run.background, 3000));
  }
}

// Delivered commands: a background process exists exactly for a timed one
// with a limit (the default 180 s when none or 0 is given). In the V8
// options form flags are copied byte for byte with one blank each, the
// result file follows from them, and "--pid=" may stand anywhere, the last
// one winning.
TEST_F(DeferredStopTest, ScheduledOnlyForALimitedTimedCommand) {
  struct Case {
    std::vector<std::string> args;
    unsigned int mask;
    std::string output, text;
    bool deferred;
  };
  const std::string others = "v8options文件路径:/data/logs/others-<pid>-<stamp>.v8options\n请等待180秒后读取.\n";
  const std::string others_path = "--specified_log_path=/data/logs/others-<pid>-<stamp>.v8options ";
  const std::vector<Case> cases = {
      {{"--start_profiling", "time=-1s", "%p"},
       0x40,
       "Profiling文件路径:/data/logs/cpu-profile-<pid>-<stamp>.cpuprofile\n",
       "--specified_log_path=/data/logs/cpu-profile-<pid>-<stamp>.cpuprofile ",
       false},
      {{"--stop_profiling", "time=1s", "%p"}, 0x80, "", "", false},
      {{"--stop_timeline", "time=1s", "%p"}, 0x20, "", "", false},
      {{"--stop-v8-options", "time=1s", "%p"}, 0x800, "", "", false},
      {{"--v8-options", "--trace_gc", "time=-1s", "--pid=%p"},
       0x400,
       "gc-log文件路径:/data/logs/gc-log-<pid>-<stamp>.txt\n",
       "--trace_gc --specified_log_path=/data/logs/gc-log-<pid>-<stamp>.txt ",
       false},
      {{"--v8-options", "--max_old_space_size=128", "--pid=%p"},
       0x400,
       "v8-options:\n--max_old_space_size=128 \n发送成功.\n",
       "--max_old_space_size=128 ",
       false},
      {{"--v8-options", "--pid=%p", "--trace_gc"},
       0x400,
       "gc-log文件路径:/data/logs/gc-log-<pid>-<stamp>.txt\n请等待180秒后读取此gc-log.\n",
       "--trace_gc --specified_log_path=/data/logs/gc-log-<pid>-<stamp>.txt ",
       true},
      {{"--v8-options", "--pid=%p"}, 0x400, others, others_path, true},
      {{"--v8-options", "time=30", "--pid=%p"}, 0x400, others, "time=30 " + others_path, true},
      {{"--v8-options", "", "--heapdump", "--v8-options", "--pid=%p"},
       0x400,
       others,
       " --heapdump --v8-options " + others_path,
       true},
      {{"--v8-options", "--prof", "time=0s", "--pid=1", "--pid=%p"},
       0x400,
       "Prof文件路径:/data/logs/prof-<pid>-<stamp>.v8.log\n请等待180秒后读取此prof结果.\n",
       "--prof --specified_log_path=/data/logs/prof-<pid>-<stamp>.v8.log ",
       true},
  };
  std::vector<std::unique_ptr<Peer>> undeferred;
  std::vector<pid_t> known;
  for (const Case& c : cases) {
    auto peer = qtest::ListeningPeer({}, kPeerEnv);
    known.push_back(peer->pid());
    SCOPED_TRACE(c.output);
    qtest::RunResult run = qtest::RunQuellix(WithPid(c.args, peer->pid()));
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("<clock>\n\n" + c.output, Norm(run.out, *peer));
    std::string message = peer->Message(0);
    EXPECT_EQ(c.mask, qtest::MaskOf(message));
    EXPECT_EQ(c.text, Norm(qtest::TextOf(message), *peer));
    // A background process would be this process's child by now.
    EXPECT_EQ(c.deferred ? 1u : 0u, qtest::OtherChildren(known).size());
    qtest::KillOtherChildren(known);  // stops after 180 s are not waited for
    if (!c.deferred) undeferred.push_back(std::move(peer));
  }
  // Longer than the durations above: still one message each.
  EXPECT_FALSE(qtest::WaitFor(
      [&] {
        return std::any_of(undeferred.begin(), undeferred.end(), [](const auto& peer) { return peer->HasMessage(1); });
      },
      1500));
}

// Every failure ends with status 1 and schedules nothing. An argument error
// sends nothing: a later command to the same runtime arrives as its first
// message.
TEST_F(ExitStatusTest, FailuresExitOne) {
  struct Case {
    std::vector<std::string> args;
    std::string first, output;
    bool sent;
  };
  const std::string unknown = "Please check if pid:-1 is kestrun process.\n";
  const std::vector<Case> cases = {
      {{"--v8-options"}, "accept", unknown, false},
      {{"--v8-options", "--trace_gc", "time=1s"}, "accept", unknown, false},
      {{"--v8-options", "--pid=%p", "--pid=0", "--trace_gc"}, "accept", "invalid pid:0\n", false},
      {{"--v8-options", "--trace_gc", "--pid="}, "accept", "invalid pid:\n", false},
      {{"--v8-options", "--pid=12a", "--pid=%p"}, "accept", "invalid pid:12a\n", false},
      {{"--v8-options", "--pid=%p", std::string(4090, 'x')}, "accept", "v8-options exceeds length limit.\n\n", false},
      // One character less fills the text exactly; the target check follows.
      {{"--v8-options", std::string(4089, 'x'), "--pid=2147483647"},
       "accept",
       "Please check if pid:2147483647 is kestrun process.\nNo process has pid 2147483647.\n",
       false},
      {{"--v8-options", "--trace_gc", "time=1s", "--pid=%p"}, "refuse:busy now", "<clock>\n\nbusy now\n\n", true},
      {{"--start_profiling", "time=1s", "%p"}, "refuse:busy now", "<clock>\n\nbusy now\n\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    auto peer = qtest::ListeningPeer({"--first", c.first}, kPeerEnv);
    qtest::RunResult run = qtest::RunQuellix(WithPid(c.args, peer->pid()));
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(c.output, Norm(run.out, *peer));
    EXPECT_EQ(std::vector<pid_t>{}, qtest::OtherChildren({peer->pid()}));
    qtest::RunQuellix({"--force_gc", peer->pid_text()});
    EXPECT_EQ(0x2u, qtest::MaskOf(peer->Message(c.sent ? 1 : 0)));
  }
}

}  // namespace
