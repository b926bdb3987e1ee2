// The real quellix against the stand-in runtime: the command form's failures
// and their order, the identification probe, and the result files and
// confirmations that dispatch prints and hands to the runtime.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/prctl.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>

#include "support.h"

namespace {

// As a subreaper this process inherits the deferred stops that quellix leaves
// behind, so a test can find and end them.
const struct TestProcess {
  TestProcess() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
} test_process;

// Kills and reaps the deferred stops left behind; returns how many there were.
int EndDeferredStops() {
  int count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    std::string stat = qtest::ReadFile(entry.path().string() + "/stat");  // "pid (comm) state ppid ..."
    size_t open = stat.find('('), close = stat.rfind(')');
    int ppid = 0;
    if (open == std::string::npos || close == std::string::npos ||
        stat.substr(open + 1, close - open - 1) != "quellix" ||
        sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) != 1 || ppid != getpid())
      continue;
    pid_t pid = atoi(stat.c_str());
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    count++;
  }
  return count;
}

const std::string kUsage =
    "Usage:\nquellix <options> node_pid OR\nquellix --v8-options  <options> [time=99h99m99s] --pid=<kestrun_pid>\n"
    "    --heapdump\n    --force_gc\n    --enable_node_log\n    --disable_node_log\n    --start_timeline\n"
    "    --start_heap_profiling\n    --start_profiling\n    --v8-options\n    --print_v8flags\n    --diag_report\n"
    "    time=99h99m99s\n** Signal will be sent to the specified node instance only.\n";
// --help: the usage text, then quellix's own options, one line each.
const std::string kHelp =
    kUsage +
    "\nquellix's own options, anywhere on the line; they never reach the runtime:\n"
    "  Targets:\n"
    "    --attach             first load the agent into a plain node process (root, nft: guarded)\n"
    "    --attach=unguarded   the same without the guard: others may use the inspector meanwhile\n"
    "    --list               list the Node.js processes on the machine, with their state\n"
    "  Waiting and output:\n"
    "    --wait[=SECONDS]     stay until the result file is written (--wait=90s, 2m or 1h30m too)\n"
    "    -o, --output PATH    put the result at PATH, in the format its extension names (implies --wait)\n"
    "    --force              let -o replace a regular file at PATH\n"
    "    --quiet              print only the Written: lines (everything when the run fails)\n"
    "    --json               print one JSON object instead of the text\n"
    "  Answers:\n"
    "    --stack              print what the main thread runs now: its JavaScript stack, idle or blocked\n"
    "  --version              print quellix's version\n"
    "QUELLIX_LANG=en prints the runtime's status texts in English.\n";
using qtest::kClock;
using qtest::kForceGc;
using qtest::Started;

// Puts the pid in place of "{pid}" in each argument.
std::vector<std::string> WithPid(std::vector<std::string> args, int pid) {
  for (std::string& arg : args) {
    size_t at = arg.find("{pid}");
    if (at != std::string::npos) arg.replace(at, 5, std::to_string(pid));
  }
  return args;
}

std::string NotARuntime() { return "Please check if pid <pid> is node process.\n"; }

// A text as --json writes it inside a string: without its last line end,
// line ends as \n.
std::string JsonText(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}
std::string JsonRefusal(const std::string& command, const std::string& error) {
  return "{\"pid\":<pid>,\"command\":\"" + command + "\",\"delivered\":false,\"error\":\"" + JsonText(error) + "\"}\n";
}

// Help, version and every failure of the command line: an answer from the
// tool alone, nothing sent; only help and version exit 0.
TEST(DriverTest, AnswersWithoutSending) {
  const std::string unsupported = "unsupported option: ";
  const std::string kWaitUnits =
      "Or a duration in the units of time=, in their order: --wait=90s, --wait=2m, --wait=1h30m.\n";
  const std::string kStackAlone = "--stack takes a pid and nothing else: quellix [--attach] [--json] --stack <pid>\n";
  struct Case {
    std::vector<std::string> args;
    std::string probe;  // PEER_PROBE for the identification probe
    std::string out;
    int status = 1;
  };
  // clang-format off
  const Case cases[] = {
      {{"--help"}, "", kHelp, 0},
      {{"-h"}, "", kHelp, 0},
      {{"--version"}, "", "quellix " QUELLIX_VERSION "\n", 0},
      {{"--help", "{pid}"}, "", unsupported + "--help\n" + kUsage},
      {{"--force_gc", "-h"}, "", unsupported + "-h\n" + kUsage},
      {{"--version", "--force_gc", "{pid}"}, "", unsupported + "--version\n" + kUsage},
      {{"--HELP"}, "", unsupported + "--HELP\n" + kUsage},
      {{}, "", kUsage},
      {{"--bogus"}, "", unsupported + "--bogus\n" + kUsage},
      {{"{pid}"}, "", "Please specify options.\n" + kUsage},
      {{"time=1s"}, "", "Please specify options.\n" + kUsage},
      {{"--heapdump"}, "undefined", "Please specify node pid.\n"},
      {{"--heapdump", "time=1s"}, "", "Please specify node pid.\n"},
      {{"--heapdump", "{pid}"}, "undefined", NotARuntime()},
      {{"--heapdump", "{pid}", "{pid}"}, "", unsupported + "<pid>\n" + kUsage},
      {{"--heapdump", "0", "{pid}"}, "", unsupported + "0\n" + kUsage},
      {{"--heapdump", "{pid}", "--nope", "--force_gc"}, "", unsupported + "--nope\n" + kUsage},
      {{"--HEAPDUMP", "{pid}"}, "", unsupported + "--HEAPDUMP\n" + kUsage},
      {{"--heapdump", "time=", "{pid}"}, "", unsupported + "time=\n" + kUsage},
      {{"--heapdump", "", "{pid}"}, "", unsupported + "\n" + kUsage},
      {{"--v8-options"}, "", "Please check if pid:-1 is kestrun process.\n"},
      {{"--v8-options", "--trace_gc", "--pid={pid}", "--pid=0"}, "", "invalid pid:0\n"},
      {{"--v8-options", "--trace_gc", "--pid={pid}"}, "undefined", "Please check if pid:<pid> is kestrun process.\n"},
      // quellix's own options: refused values, --list alone, and --json in
      // both forms (one object, no other text).
      {{"--wait=0", "--heapdump", "{pid}"}, "", "Invalid --wait=0: give whole seconds from 1 to 2147483647.\n" + kWaitUnits},
      {{"--heapdump", "--wait=1m30", "{pid}"}, "", "Invalid --wait=1m30: give whole seconds from 1 to 2147483647.\n" + kWaitUnits},
      {{"--wait=2m", "--heapdump", "{pid}"}, "undefined", NotARuntime()},
      {{"--heapdump", "--wait=1h30m", "{pid}"}, "undefined", NotARuntime()},
      {{"--wait", "30", "--heapdump", "{pid}"}, "", "--wait takes its limit in the same word: --wait=30.\n"},
      {{"--v8-options", "--wait", "30", "--pid={pid}"}, "", "--wait takes its limit in the same word: --wait=30.\n"},
      {{"--heapdump", "--wait", "{pid}"}, "undefined", NotARuntime()},
      {{"--list", "{pid}"}, "", unsupported + "<pid>\n" + kUsage},
      // --stack takes the pid alone, and is refused as a command is.
      {{"--stack"}, "", kUsage},
      {{"--stack", "--heapdump", "{pid}"}, "", kStackAlone},
      {{"--v8-options", "--stack", "--pid={pid}"}, "", kStackAlone},
      {{"--stack", "-o", "stack.txt", "{pid}"}, "", kStackAlone},
      {{"--stack", "{pid}"}, "undefined", NotARuntime()},
      {{"--json", "--heapdump", "{pid}"}, "undefined", JsonRefusal("--heapdump", NotARuntime())},
      {{"--v8-options", "--json", "--trace_gc", "--pid={pid}"}, "undefined",
       JsonRefusal("--v8-options", "Please check if pid:<pid> is kestrun process.")},
      {{"--json", "--bogus"}, "",
       "{\"pid\":null,\"command\":null,\"delivered\":false,\"error\":\"" + JsonText(unsupported + "--bogus\n" + kUsage) +
           "\"}\n"},
      {{"--json", "--heapdump"}, "", "{\"pid\":null,\"command\":\"--heapdump\",\"delivered\":false,\"error\":\"Please specify node pid.\"}\n"},
  };
  // clang-format on
  qtest::Peer peer;
  for (const Case& c : cases) {
    std::vector<std::string> args = WithPid(c.args, peer.pid());
    qtest::RunResult r = qtest::RunQuellix(args, {"PEER_PROBE=" + c.probe});
    SCOPED_TRACE(::testing::PrintToString(args));
    EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_FALSE(peer.HasMessage(0));
  }
  peer.Stop();
  EXPECT_EQ(peer.Kicks(), 0);
  EXPECT_FALSE(peer.HasMessage(0));
}

// --attach is quellix's own option in both forms, wherever it stands: a pid
// that serves its control socket is taken whatever the probe says and not
// loaded again. Without --attach the probe decides, and the refusal says
// what would reach the pid.
TEST(DriverTest, AttachToServedRuntime) {
  const std::string already = "Pid <pid> already runs the agent.\n";
  const std::string v8_status = kClock + "v8-options:\n--stack_trace_limit=50 \n发送成功.\n";
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
    unsigned int mask;  // of the message delivered; 0: none
  };
  // clang-format off
  const Case cases[] = {
      {{"--attach", "{pid}"}, already, 0, 0},
      {{"--force_gc", "{pid}", "--attach"}, already + kClock + kForceGc, 0, 0x2},
      {{"--v8-options", "--stack_trace_limit=50", "--attach", "--pid={pid}"}, already + v8_status, 0, 0x400},
      {{"--attach", "--v8-options", "--stack_trace_limit=50", "--pid={pid}"}, already + v8_status, 0, 0x400},
      {{"--force_gc", "{pid}"}, NotARuntime() + "Pid <pid> runs the agent loaded by --attach; add --attach to reach it.\n",
       1, 0},
      {{"--attach"}, kUsage, 1, 0},
      {{"--attach", "time=1s"}, "Please specify node pid.\n", 1, 0},
      {{"--v8-options", "--attach"}, "Please check if pid:-1 is kestrun process.\n", 1, 0},
  };
  // clang-format on
  qtest::Peer peer({"--bind-dir"});
  int sent = 0;
  for (const Case& c : cases) {
    std::vector<std::string> args = WithPid(c.args, peer.pid());
    SCOPED_TRACE(::testing::PrintToString(args));
    qtest::RunResult r = qtest::RunQuellix(args, {"PEER_PROBE=undefined"});
    EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), c.out);
    EXPECT_EQ(r.status, c.status);
    if (c.mask != 0) {
      std::string message = peer.Message(sent++);
      EXPECT_EQ(qtest::MaskOf(message), c.mask);
      EXPECT_EQ(qtest::TextOf(message).find("--attach"), std::string::npos) << qtest::TextOf(message);
    }
    EXPECT_FALSE(peer.HasMessage(sent));
  }
  EXPECT_EQ(qtest::KicksAfterStop(peer), sent);
}

TEST(ProbeTest, FirstLineDecides) {
  struct Case {
    const char* mode;
    bool runtime;
  };
  // clang-format off
  const Case cases[] = {
      {"undefined", false}, {"undefined-noeol", false}, {"undefined-crlf", false}, {"multi", false},
      {"none", false},      {"stderr", false},          {"Undefined", true},       {"empty-line", true},
      {"long", true},       {"sleep", true},
  };
  // clang-format on
  qtest::Peer peer;
  const std::string record = peer.dir() + "/probe";
  int sent = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    unlink(record.c_str());
    // The tool's own ENABLE_NODE_LOG must not reach the probe.
    qtest::RunResult r =
        qtest::RunQuellix({"--force_gc", peer.pid_text()},
                          {std::string("PEER_PROBE=") + c.mode, "PEER_PROBE_RECORD=" + record, "ENABLE_NODE_LOG=YES"});
    EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), c.runtime ? kClock + kForceGc : NotARuntime());
    EXPECT_EQ(r.status, c.runtime ? 0 : 1);
    EXPECT_EQ(r.err, std::string(c.mode) == "stderr" ? "peer probe: only on stderr\n" : "");
    // A probe that answered and lives on is ended at once ("sleep" sleeps 30 s).
    EXPECT_LT(r.elapsed_ms, 5000);
    EXPECT_EQ(qtest::ReadFile(record).rfind("ENABLE_NODE_LOG=NO\n", 0), 0u);
    // Every probe has a session of its own, without the tool's terminal.
    EXPECT_NE(qtest::ReadFile(record).find("session=own\n"), std::string::npos);
    if (c.runtime) {
      EXPECT_EQ(qtest::MaskOf(peer.Message(sent++)), 0x2u);
    }
    EXPECT_FALSE(peer.HasMessage(sent));
  }
}

// Whatever the tool was started with, the probe reads /dev/null, runs in
// "/" and has SIGCHLD at its default; the tool still waits for it.
TEST(ProbeTest, StartsClean) {
  struct Case {
    std::vector<std::string> wrapper;  // runs quellix
    std::string line;                  // in the probe's record
  };
  const std::string dir = qtest::MakeTempDir();
  const Case cases[] = {
      {{"/bin/sh", "-c", "exec \"$0\" \"$@\" < /etc/passwd"}, "stdin=/dev/null\n"},
      {{"/bin/sh", "-c", "cd " + dir + " && exec \"$0\" \"$@\""}, "cwd=/\n"},
      {{"/usr/bin/env", "--ignore-signal=CHLD"}, "sigchld=default\n"},
  };
  qtest::Peer peer;
  const std::string record = peer.dir() + "/probe";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    unlink(record.c_str());
    std::vector<std::string> args(c.wrapper.begin() + 1, c.wrapper.end());
    args.insert(args.end(), {QUELLIX_BIN, "--force_gc", peer.pid_text()});
    qtest::RunResult r = qtest::Run(c.wrapper[0], args, {"PEER_PROBE_RECORD=" + record});
    EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), kClock + kForceGc);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(qtest::ReadFile(record).find("\n" + c.line), std::string::npos) << qtest::ReadFile(record);
  }
  qtest::RemoveTree(dir);
}

// Only a Node.js-based runtime is ever started: a pid that has ended, a
// program that is no node (whatever it would make of "-p"), and the stand-in
// built without node's addon entry point are refused, and nothing runs.
TEST(ProbeTest, OnlyNodeIsEverRun) {
  pid_t gone = qtest::Spawn({PEER_BIN, "-p", "process.kestrun"}, {});
  ASSERT_NE(qtest::Reap(gone, 5000), -1);
  pid_t sleeper = qtest::Spawn({"/bin/sleep", "30"}, {});
  qtest::Peer plain({}, {}, true, PLAIN_BIN);
  const std::string dir = qtest::MakeTempDir();
  for (pid_t pid : {gone, sleeper, static_cast<pid_t>(plain.pid())}) {
    SCOPED_TRACE(pid);
    qtest::RunResult r =
        qtest::RunQuellix({"--heapdump", std::to_string(pid)}, {"PEER_PROBE_RECORD=" + dir + "/probe"});
    EXPECT_EQ(qtest::Normalize(r.out, {pid}), NotARuntime() + (pid == gone ? "No process has pid <pid>.\n" : ""));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");  // sleep would say what it thinks of -p
    EXPECT_FALSE(qtest::FileExists(dir + "/probe")) << "a probe was started";
  }
  kill(sleeper, SIGKILL);
  qtest::Reap(sleeper, 3000);
  EXPECT_FALSE(plain.HasMessage(0));
  qtest::RemoveTree(dir);
}

// After "cp node node.new && mv node.new node" the running binary is probed,
// not the file now at its path, with that path as argv[0].
TEST(ProbeTest, ReplacedExecutable) {
  const std::string dir = qtest::MakeTempDir();
  const std::string exe = dir + "/kestrun_peer";
  std::filesystem::copy_file(PEER_BIN, exe);
  pid_t pid = qtest::Spawn({exe, "--dir", dir, "--lifetime", "60"}, {});
  ASSERT_TRUE(qtest::WaitFor([&] { return qtest::FileExists(qtest::SocketPath(pid)); }));
  std::filesystem::copy_file("/bin/false", dir + "/new");
  ASSERT_EQ(rename((dir + "/new").c_str(), exe.c_str()), 0);
  qtest::RunResult r = qtest::RunQuellix({"--force_gc", std::to_string(pid)}, {"PEER_PROBE_RECORD=" + dir + "/probe"});
  kill(pid, SIGTERM);
  qtest::Reap(pid, 3000);
  unlink(qtest::SocketPath(pid).c_str());
  EXPECT_EQ(qtest::Normalize(r.out, {pid}), kClock + kForceGc);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(qtest::ReadFile(dir + "/probe").find("\nargv0=" + exe + "\n"), std::string::npos);
  qtest::RemoveTree(dir);
}

// Ctrl-C on quellix during a slow probe ends the probe and what it started,
// then quellix, as the signal ends it: no process is left behind.
TEST(ProbeTest, InterruptLeavesNothingBehind) {
  qtest::Peer peer;
  const std::string record = peer.dir() + "/probe";
  // Started with SIGINT at its default, as from an interactive shell.
  pid_t tool = qtest::Spawn({"/usr/bin/env", "--default-signal=INT", QUELLIX_BIN, "--force_gc", peer.pid_text()},
                            {"PEER_PROBE=group-sleep", "PEER_PROBE_RECORD=" + record});
  int probe = 0, helper = 0;
  ASSERT_TRUE(qtest::WaitFor([&] {
    std::string text = qtest::ReadFile(record);
    size_t at = text.find("\npids=");
    return at != std::string::npos && sscanf(text.c_str() + at, "\npids=%d,%d", &probe, &helper) == 2;
  }));
  kill(tool, SIGINT);
  int status = qtest::Reap(tool, 5000);
  EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  // Both end; as the subreaper here, this process reaps what quellix left.
  for (int pid : {probe, helper}) {
    EXPECT_TRUE(qtest::WaitFor([&] { return waitpid(pid, nullptr, WNOHANG) == pid || kill(pid, 0) != 0; })) << pid;
  }
  EXPECT_FALSE(peer.HasMessage(0));
}

// A runtime installed under a path a shell would split and expand.
TEST(ProbeTest, PathIsNeverGivenToAShell) {
  const std::string dir = qtest::MakeTempDir();
  const std::string odd = dir + "/we ird 'q' $(touch X) `touch Y`;touch Z;";
  const std::string exe = odd + "/kestrun_peer";
  std::filesystem::create_directory(odd);
  std::filesystem::copy_file(PEER_BIN, exe);
  pid_t pid = qtest::Spawn({exe, "--dir", dir, "--lifetime", "60"}, {});
  struct Cleanup {
    pid_t pid;
    std::string dir;
    ~Cleanup() {
      if (pid > 0) {
        kill(pid, SIGTERM);
        qtest::Reap(pid, 3000);
        unlink(qtest::SocketPath(pid).c_str());
      }
      qtest::RemoveTree(dir);
    }
  } cleanup{pid, dir};
  ASSERT_TRUE(qtest::WaitFor([&] { return qtest::FileExists(qtest::SocketPath(pid)); }));

  // A shell would run the touches in the tool's working directory.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  qtest::RunResult r = qtest::RunQuellix({"--force_gc", std::to_string(pid)});
  ASSERT_EQ(chdir(cwd), 0);

  EXPECT_EQ(qtest::Normalize(r.out, {pid}), kClock + kForceGc);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::string message = qtest::ReadFile(dir + "/msg-0.bin");
  EXPECT_EQ(qtest::MaskOf(message), 0x2u);
  for (const char* marker : {"X", "Y", "Z"}) EXPECT_FALSE(qtest::FileExists(dir + "/" + marker)) << marker;
}

// Each row runs against a fresh runtime whose log directory is /data/logs;
// a row with a stop kind and a limited duration leaves one deferred stop.
// The values of a text, line by line: paths, numbers and placeholders.
std::vector<std::vector<std::string>> ValuesByLine(const std::string& text) {
  static const std::regex value(R"((/[^\s:]*|<[a-z]+>|\d+))");
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.emplace_back();
    for (std::sregex_iterator it(line.begin(), line.end(), value), end; it != end; ++it)
      lines.back().push_back(it->str());
  }
  return lines;
}

// True when text holds a character of the CJK blocks (three-byte UTF-8 led
// by E3 to E9, or a full-width form led by EF).
bool HasHan(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    unsigned char b = static_cast<unsigned char>(c);
    return (b >= 0xe3 && b <= 0xe9) || b == 0xef;
  });
}

TEST(DispatchTest, ResultFilesAndConfirmations) {
  const std::string heapdump =
      "heapdump文件路径:/data/logs/heapdump-<pid>-<stamp>.heapsnapshot\n"
      "heapdump可能需要数秒或数分钟.\n";
  const std::string heapdump_text = "--specified_log_path=/data/logs/heapdump-<pid>-<stamp>.heapsnapshot ";
  const std::string others = "/data/logs/others-<pid>-<stamp>.v8options";
  struct Case {
    std::vector<std::string> args;
    std::string status;  // printed after the clock line
    std::string text;    // option text the runtime receives
    unsigned int mask;
    bool deferred_stop;
  };
  // clang-format off
  const Case cases[] = {
      {{"--heapdump", "{pid}"}, heapdump, heapdump_text, 0x1, false},
      {{"--start_profiling", "{pid}"},
       "Profiling文件路径:/data/logs/cpu-profile-<pid>-<stamp>.cpuprofile\n请等待180秒后读取此cpu-profiling结果.\n",
       "--specified_log_path=/data/logs/cpu-profile-<pid>-<stamp>.cpuprofile ", 0x40, true},
      {{"--start_timeline", "time=1m", "{pid}"},
       "heaptimeline文件路径:/data/logs/timeline-<pid>-<stamp>.heaptimeline\n请等待60秒后读取此timeline结果.\n",
       "--specified_log_path=/data/logs/timeline-<pid>-<stamp>.heaptimeline ", 0x10, true},
      {{"--start_heap_profiling", "time=1m", "{pid}"},
       "heapprofile文件路径:/data/logs/heap-profile-<pid>-<stamp>.heapprofile\n请等待60秒后读取此heap-profile结果.\n",
       "--specified_log_path=/data/logs/heap-profile-<pid>-<stamp>.heapprofile ", 0x100, true},
      {{"--print_v8flags", "time=1m", "{pid}"}, "v8flags文件路径:/data/logs/v8flags-<pid>-<stamp>.txt\n",
       "--specified_log_path=/data/logs/v8flags-<pid>-<stamp>.txt ", 0x1000, false},
      {{"--diag_report", "{pid}"}, "diagnostic-report文件路径:/data/logs/diagnostic-report-<pid>-<stamp>.diag\n",
       "--specified_log_path=/data/logs/diagnostic-report-<pid>-<stamp>.diag ", 0x2000, false},
      {{"--start_timeline", "time=-1s", "{pid}"}, "heaptimeline文件路径:/data/logs/timeline-<pid>-<stamp>.heaptimeline\n",
       "--specified_log_path=/data/logs/timeline-<pid>-<stamp>.heaptimeline ", 0x10, false},
      {{"--start_profiling", "--heapdump", "{pid}"}, heapdump, heapdump_text, 0x41, false},
      {{"--heapdump", "--force_gc", "{pid}"}, heapdump, heapdump_text, 0x3, false},
      {{"--v8-options", "--trace_gc", "--pid={pid}"},
       "gc-log文件路径:/data/logs/gc-log-<pid>-<stamp>.txt\n请等待180秒后读取此gc-log.\n",
       "--trace_gc --specified_log_path=/data/logs/gc-log-<pid>-<stamp>.txt ", 0x400, true},
      {{"--v8-options", "--pid={pid}", "--trace_gc_nvp", "time=1m"},
       "gc-log文件路径:/data/logs/gc-log-<pid>-<stamp>.txt\n请等待60秒后读取此gc-log.\n",
       "--trace_gc_nvp --specified_log_path=/data/logs/gc-log-<pid>-<stamp>.txt ", 0x400, true},
      {{"--v8-options", "--prof", "time=1m", "--pid={pid}"},
       "Prof文件路径:/data/logs/prof-<pid>-<stamp>.v8.log\n请等待60秒后读取此prof结果.\n",
       "--prof --specified_log_path=/data/logs/prof-<pid>-<stamp>.v8.log ", 0x400, true},
      {{"--v8-options", "--perf_basic_prof", "time=1m", "--pid={pid}"},
       "basic-prof文件路径:/tmp/perf-<pid>.map\n请等待60秒后读取此basic-prof结果.\n",
       "--perf_basic_prof --specified_log_path=/tmp/perf-<pid>.map ", 0x400, true},
      {{"--v8-options", "--trace_opt", "time=1m", "--pid={pid}"}, "v8options文件路径:" + others + "\n请等待60秒后读取.\n",
       "--trace_opt --specified_log_path=" + others + " ", 0x400, true},
      {{"--v8-options", "--trace_opt", "time=10", "time=-1s", "--pid={pid}"}, "v8options文件路径:" + others + "\n",
       "--trace_opt time=10 --specified_log_path=" + others + " ", 0x400, false},
      {{"--force_gc", "--v8-options", "time=-1s", "{pid}"}, "v8options文件路径:" + others + "\n",
       "--specified_log_path=" + others + " ", 0x402, false},
      {{"--v8-options", "--max_old_space_size=128", "--pid={pid}"}, "v8-options:\n--max_old_space_size=128 \n发送成功.\n",
       "--max_old_space_size=128 ", 0x400, false},
      {{"--v8-options", "--trace_opt", "time=1", "time=2", "--pid={pid}"},
       "v8-options:\n--trace_opt time=1 time=2 \n发送成功.\n", "--trace_opt time=1 time=2 ", 0x400, false},
      {{"--force_gc", "{pid}"}, kForceGc, "", 0x2, false},
      {{"--enable_node_log", "{pid}"}, "日志功能已经打开\n", "", 0x4, false},
      {{"--disable_node_log", "{pid}"}, "日志功能已经关闭\n", "", 0x8, false},
      {{"--force_gc", "--enable_node_log", "{pid}"}, "日志功能已经打开\n", "", 0x6, false},
      // --json: the one object instead of the text, in both forms; a
      // deferred stop still follows.
      {{"--json", "--heapdump", "{pid}"},
       "{\"pid\":<pid>,\"command\":\"--heapdump\",\"delivered\":true,\"path\":\"/data/logs/heapdump-<pid>-<stamp>.heapsnapshot\"}\n",
       heapdump_text, 0x1, false},
      {{"--force_gc", "--json", "--enable_node_log", "{pid}"},
       "{\"pid\":<pid>,\"command\":\"--force_gc --enable_node_log\",\"delivered\":true}\n", "", 0x6, false},
      {{"--v8-options", "--trace_gc", "--json", "time=1m", "--pid={pid}"},
       "{\"pid\":<pid>,\"command\":\"--v8-options\",\"delivered\":true,\"path\":\"/data/logs/gc-log-<pid>-<stamp>.txt\"}\n",
       "--trace_gc --specified_log_path=/data/logs/gc-log-<pid>-<stamp>.txt ", 0x400, true},
  };
  // clang-format on
  for (const Case& c : cases) {
    qtest::Peer peer({}, {"NODE_LOG_DIR=/data/logs"});
    std::vector<std::string> args = WithPid(c.args, peer.pid());
    SCOPED_TRACE(::testing::PrintToString(args));
    qtest::RunResult r = qtest::RunQuellix(args);
    const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
    EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), (json ? "" : kClock) + c.status);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(EndDeferredStops(), c.deferred_stop ? 1 : 0);
    std::string message = peer.Message(0);
    EXPECT_EQ(qtest::MaskOf(message), c.mask);
    EXPECT_EQ(qtest::Normalize(qtest::TextOf(message), {peer.pid()}), c.text);
    // QUELLIX_LANG=en: the same lines with the same values, none in Chinese.
    qtest::Peer english({}, {"NODE_LOG_DIR=/data/logs"});
    qtest::RunResult en = qtest::RunQuellix(WithPid(c.args, english.pid()), {"QUELLIX_LANG=en"});
    EndDeferredStops();
    EXPECT_EQ(en.status, 0);
    EXPECT_FALSE(HasHan(en.out)) << en.out;
    EXPECT_EQ(ValuesByLine(qtest::Normalize(en.out, {english.pid()})),
              ValuesByLine(qtest::Normalize(r.out, {peer.pid()})))
        << en.out;
  }
}

// The target's NODE_LOG_DIR wins over the tool's; an empty one in the tool's
// environment counts as none. A chosen directory with white space cannot be
// carried in the blank-separated option text: nothing is sent, no stop is
// left behind, and commands without a result file never look at it.
TEST(DispatchTest, LogDirectory) {
  const std::string fallback = "NODE_LOG_DIR not configured, default dir /tmp/ is used\n";
  const std::string heapdump = "heapdump-<pid>-<stamp>.heapsnapshot\nheapdump可能需要数秒或数分钟.\n";
  const std::vector<std::string> dump = {"--heapdump"};
  // Printed with its control characters escaped.
  auto blank = [](const std::string& value) {
    return "Log directory \"" + value + "\" contains white space, which the runtime cannot take in a result path.\n";
  };
  struct Case {
    std::vector<std::string> target_env, tool_env;
    std::string out;
    std::vector<std::string> args = {"--heapdump"};
    bool sent = true;
  };
  // clang-format off
  const Case cases[] = {
      {{"NODE_LOG_DIR=/data/logs"}, {"NODE_LOG_DIR=/tool/logs"}, "heapdump文件路径:/data/logs/" + heapdump},
      {{"NODE_LOG_DIR=/data/logs/"}, {}, "heapdump文件路径:/data/logs/" + heapdump},
      {{"NODE_LOG_DIR="}, {"NODE_LOG_DIR=/tool/logs"}, "heapdump文件路径:/" + heapdump},
      {{}, {"NODE_LOG_DIR=/tool/logs"}, "heapdump文件路径:/tool/logs/" + heapdump},
      {{}, {"NODE_LOG_DIR=/tool/logs/"}, "heapdump文件路径:/tool/logs/" + heapdump},
      {{}, {"NODE_LOG_DIR="}, fallback + "heapdump文件路径:/tmp/" + heapdump},
      {{}, {}, fallback + "heapdump文件路径:/tmp/" + heapdump},
      {{"NODE_LOG_DIR=/srv/my logs"}, {}, blank("/srv/my logs"), dump, false},
      {{}, {"NODE_LOG_DIR=/tool/a\tb/"}, blank("/tool/a\\x09b/"), dump, false},
      {{"NODE_LOG_DIR=/x\ny"}, {}, blank("/x\\x0ay"), {"--start_profiling", "time=1s"}, false},
      {{"NODE_LOG_DIR=/x\r\v\fy"}, {}, blank("/x\\x0d\\x0b\\x0cy"), {"--diag_report"}, false},
      {{"NODE_LOG_DIR=/srv/my logs"}, {}, kForceGc, {"--force_gc"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.target_env) + " " + ::testing::PrintToString(c.tool_env));
    qtest::Peer peer({}, c.target_env);
    std::vector<std::string> args = c.args;
    args.push_back(peer.pid_text());
    qtest::RunResult r = qtest::RunQuellix(args, c.tool_env);
    EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), kClock + c.out);
    EXPECT_EQ(r.status, c.sent ? 0 : 1);
    EXPECT_EQ(peer.HasMessage(0), c.sent);
    EXPECT_EQ(EndDeferredStops(), 0);
  }
  // The perf map's name is fixed, yet the log directory is still looked up;
  // its white space does not matter then.
  qtest::Peer peer({}, {"NODE_LOG_DIR=/srv/my logs"});
  qtest::RunResult r = qtest::RunQuellix({"--v8-options", "--perf_basic_prof", "time=-1s", "--pid=" + peer.pid_text()});
  EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), kClock + "basic-prof文件路径:/tmp/perf-<pid>.map\n");
  EXPECT_EQ(r.status, 0);
  qtest::Peer plain;
  r = qtest::RunQuellix({"--v8-options", "--perf_basic_prof", "time=-1s", "--pid=" + plain.pid_text()});
  EXPECT_EQ(qtest::Normalize(r.out, {plain.pid()}), kClock + fallback + "basic-prof文件路径:/tmp/perf-<pid>.map\n");
  EXPECT_EQ(EndDeferredStops(), 0) << "no limit, no deferred stop";
}

// Seconds since the epoch of a local "YYYY-mm-dd HH:MM:SS" or "YYYYmmdd-HHMMSS".
time_t LocalSeconds(const std::string& text, const char* format) {
  struct tm parts = {};
  if (strptime(text.c_str(), format, &parts) == nullptr) return 0;
  return timegm(&parts);
}

TEST(DispatchTest, HeapdumpNamesItsFileAndTellsTheRuntime) {
  qtest::Peer peer({}, {"NODE_LOG_DIR=/data/logs"});
  qtest::RunResult r = qtest::RunQuellix({"--heapdump", peer.pid_text()});
  std::smatch m;
  const std::regex form("(\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2})\n\nheapdump文件路径:(/data/logs/heapdump-" +
                        peer.pid_text() + "-(\\d{8}-\\d{6})\\.heapsnapshot)\nheapdump可能需要数秒或数分钟\\.\n");
  ASSERT_TRUE(std::regex_match(r.out, m, form)) << r.out;
  EXPECT_EQ(r.status, 0);
  // Clock line and file name are read separately and may differ by a second.
  time_t clock = LocalSeconds(m[1], "%Y-%m-%d %H:%M:%S");
  time_t stamp = LocalSeconds(m[3], "%Y%m%d-%H%M%S");
  EXPECT_GE(stamp, clock);
  EXPECT_LE(stamp, clock + 1);

  std::string message = peer.Message(0);
  EXPECT_EQ(message.size(), 512u);
  EXPECT_EQ(qtest::MaskOf(message), 0x1u);
  EXPECT_EQ(qtest::TextOf(message), "--specified_log_path=" + m[2].str() + " ");
  EXPECT_TRUE(qtest::TailIsZero(message));
}

}  // namespace
