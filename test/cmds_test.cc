// In-process tests of the command line, the V8 options form, dispatch, the
// log-directory lookup, the duration parser and the clock-watching wait.
// cmds.cc is included to reach its file-local functions; the probe and the
// exchange are replaced by recorders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

// The deferred stop forks and ends the calling process. Here its fork always
// fails, so the tool takes its own fallback (the stop goes out at once) and
// the test process lives on to see the wait hint and the stop command.
static int g_forks = 0;
static pid_t FailingFork() {
  g_forks++;
  errno = EAGAIN;
  return -1;
}
#define fork FailingFork
#define QUELLIX_NO_MAIN
#include "../deps/inspector/cmds.cc"
#undef fork

#include "support.h"

namespace {

// Above any Linux pid_max, so it has no /proc entry: the tool's own
// NODE_LOG_DIR decides.
const int kTarget = 9999999;
const std::string P = "9999999";
const std::string kUsageText = kUsage;
const std::string kForkFailed = "node忙,请重试.\n<clock>\n";

struct Sent {
  int pid;
  unsigned int mask;
  std::string text;
};
std::vector<int> g_probed;
std::vector<Sent> g_sent;
int g_reply = 0;

bool ProbeStub(int pid) {
  g_probed.push_back(pid);
  return pid == kTarget;
}
int ExchangeStub(int pid, unsigned int mask) {
  g_sent.push_back({pid, mask, g_shm_buffer});
  return g_reply;
}

// Clock lines and file-name stamps change between runs.
std::string Normalize(const std::string& text) {
  std::string out = std::regex_replace(text, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\n\n)"), "<clock>\n");
  return std::regex_replace(out, std::regex(R"(-\d{8}-\d{6}\.)"), "-<stamp>.");
}

template <typename F>
std::string Captured(F run) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  run();
  fflush(stdout);
  return Normalize(testing::internal::GetCapturedStdout());
}

std::vector<unsigned int> Masks() {
  std::vector<unsigned int> masks;
  for (const Sent& sent : g_sent) masks.push_back(sent.mask);
  return masks;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

class Stubbed : public testing::Test {
 protected:
  void SetUp() override {
    g_probe = ProbeStub;
    g_exchange = ExchangeStub;
    g_probed.clear();
    g_sent.clear();
    g_reply = 0;
    g_forks = 0;
    memset(g_shm_buffer, 0, sizeof(g_shm_buffer));
    setenv("NODE_LOG_DIR", "/data/logs", 1);
  }
  void TearDown() override {
    g_probe = IsKestrun;
    g_exchange = sendUdsMessage;
    unsetenv("NODE_LOG_DIR");
  }
  // The whole run with the program name in front of args; returns the status.
  int Run(std::vector<std::string> args, std::string* out, int reply = 0) {
    SetUp();
    g_reply = reply;
    std::vector<char*> argv = {const_cast<char*>("quellix")};
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    int status = -1;
    *out = Captured([&] { status = RunCommandLine(static_cast<int>(argv.size()) - 1, argv.data()); });
    return status;
  }
};
using ArgumentLoopTest = Stubbed;
using TimedCommandTest = Stubbed;
using V8OptionsHandlerTest = Stubbed;
using SendSignalTest = Stubbed;
using GetLogDirTest = Stubbed;

}  // namespace

TEST(GetProcessIDTest, Table) {
  struct Case {
    const char* text;
    int pid;
  } cases[] = {
      // pid 0: refused
      {"1", 1},
      {"2147483647", INT_MAX},
      {"0000001234", 1234},
      {"00000001234", 0},
      {"2147483648", 0},
      {"4294967297", 0},
      {"99999999999", 0},
      {"0", 0},
      {"", 0},
      {"-5", 0},
      {"+5", 0},
      {" 5", 0},
      {"5 ", 0},
      {"12a", 0},
      {"1\xb5", 0},
  };
  for (const Case& c : cases) {
    int pid = 77;
    EXPECT_EQ(c.pid != 0, GetProcessID(c.text, &pid)) << c.text;
    EXPECT_EQ(c.pid != 0 ? c.pid : 77, pid) << c.text;
  }
}

TEST(GetTimeInSecondTest, WorkedValues) {
  struct Case {
    const char* arg;
    int seconds;
  } cases[] = {
      {"time=1h30m", 5400},
      {"time=90s", 90},
      {"time=2m30s", 150},
      {"time=1h", 3600},
      {"time=5m", 300},
      {"time=1h5s", 3605},
      {"time=1h2m3s", 3723},
      {"time=99h99m99s", 362439},
      {"time=10s5m", 600},
      {"time=5m1h", 18000},
      {"time=2h3s4m", 7380},
      {"time=1h1h", 3600},
      {"time=h30m", 1800},
      {"time=1hm5s", 3600},
      {"time=1.5h", 3600},
      {"time=1h-30m", 1800},
      {"time=h", 0},
      {"time=m", 0},
      {"time=s", 0},
      {"time=ms", 0},
      {"time=0s", 0},
      {"time=0h0m0s", 0},
      {"time=-1s", INT_MAX},
      {"time=596523h", 2147482800},
      {"time=596524h", INT_MAX},
      {"time=600000h", INT_MAX},
      {"time=2147483647s", INT_MAX},
      {"time=2147483646s", 2147483646},
      // Unit numbers beyond int are read saturated, then the total rule applies.
      {"time=99999999999s", INT_MAX},
      {"time=-99999999999h1s", INT_MAX},
      {"time=99999999999m", INT_MAX},
      {"time=-99999999999s", INT_MAX},
      {"time=00000000000000000005s", 5},
      {"time=1h-99999999999s", INT_MAX},
      {"time=4294967297s", INT_MAX},
      {"time=4294967296h1s", INT_MAX},
      {"time=-4294967295s", INT_MAX},
      {"time=18446744073709551617s", INT_MAX},
  };
  for (const Case& c : cases) {
    int duration = 12345;
    GetTimeInSecond(c.arg, &duration);
    EXPECT_EQ(c.seconds, duration) << c.arg;
  }
}

// The clock steps by script[i] during the i-th nap, then by step; a wait that
// never ends fails the test instead of hanging it.
struct FakeClock {
  int64_t now;
  std::vector<int64_t> script;
  int64_t step;
  long naps, nap_limit;
  size_t next;
};
FakeClock g_clock;
int64_t ClockNow() { return g_clock.now; }
void ClockNap() {
  if (++g_clock.naps > g_clock.nap_limit) throw std::runtime_error("the wait did not end");
  g_clock.now += g_clock.next < g_clock.script.size() ? g_clock.script[g_clock.next++] : g_clock.step;
}

TEST(DelayWithClockTest, Script) {
  auto then = [](int64_t last) {
    std::vector<int64_t> s(5, 100);
    s.push_back(last);
    return s;
  };
  struct Case {
    const char* name;
    int seconds;
    std::vector<int64_t> script;
    int64_t step, elapsed;
    long naps;
  } cases[] = {
      {"steady", 2, {}, 100, 2000, 20},
      {"zero", 0, {}, 100, 0, 0},
      {"forward jump", 2, then(3600000), 100, 3602000, 21},
      {"backward jump", 2, then(-3600000), 100, -3598000, 21},
      {"pause", 2, then(1500), 100, 3500, 21},
      {"just over a second", 2, {1001}, 100, 3001, 21},
      {"exactly a second", 2, then(1000), 100, 2000, 11},
      {"second steps", 2, {}, 1000, 2000, 2},
      {"30 days, beyond 2^31 ms", 30 * 86400, {}, 1000, 30LL * 86400 * 1000, 30L * 86400},
  };
  for (const Case& c : cases) {
    const int64_t start = 1700000000000;
    g_clock = {start, c.script, c.step, 0, c.naps + 5, 0};
    EXPECT_NO_THROW(DelayWithClock(c.seconds, ClockNow, ClockNap)) << c.name;
    EXPECT_EQ(c.elapsed, g_clock.now - start) << c.name;
    EXPECT_EQ(c.naps, g_clock.naps) << c.name;
  }
}

// Probed when the checks before the probe passed; sent when the clock line
// came out.
TEST_F(ArgumentLoopTest, Outcomes) {
  const std::string U = kUsageText, heapdump = "/data/logs/heapdump-9999999-<stamp>.heapsnapshot",
                    others = "/data/logs/others-9999999-<stamp>.v8options";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::vector<unsigned int> masks;
    std::string text;
    int reply;
  };
  const Case cases[] = {
      {{}, 1, U, {}, "", 0},
      {{"--force_gc", P}, 0, "<clock>\n强制fullGC一次.\n", {0x2}, "", 0},
      {{"--force_gc", "--force_gc", P}, 0, "<clock>\n强制fullGC一次.\n", {0x2}, "", 0},
      {{P, "--force_gc", "--enable_node_log"}, 0, "<clock>\n日志功能已经打开\n", {0x6}, "", 0},
      {{"--heapdump", "time=5m", P},
       0,
       "<clock>\nheapdump文件路径:" + heapdump + "\nheapdump可能需要数秒或数分钟.\n",
       {0x1},
       "--specified_log_path=" + heapdump + " ",
       0},
      {{P, "--v8-options", "time=-1s"},
       0,
       "<clock>\nv8options文件路径:" + others + "\n",
       {0x400},
       "--specified_log_path=" + others + " ",
       0},
      {{"--stop_timeline", P}, 0, "<clock>\n", {0x20}, "", 0},
      {{"--stop_profiling", P}, 0, "<clock>\n", {0x80}, "", 0},
      {{"--stop_heap_profiling", P}, 0, "<clock>\n", {0x200}, "", 0},
      {{"--stop-v8-options", P}, 0, "<clock>\n", {0x800}, "", 0},
      {{"--child_to_parent", P}, 0, "<clock>\n", {0x4000}, "", 0},
      {{"--force_gc", P}, 1, "<clock>\n", {0x2}, "", -1},
      {{"--start_profiling", P},
       1,
       "<clock>\n",
       {0x40},
       "--specified_log_path=/data/logs/cpu-profile-9999999-<stamp>.cpuprofile ",
       -1},
      {{"--Force_gc", P}, 1, "unsupported option: --Force_gc\n" + U, {}, "", 0},
      {{"--force_gc", P, "12"}, 1, "unsupported option: 12\n" + U, {}, "", 0},
      {{"--force_gc", "0", P}, 1, "unsupported option: 0\n" + U, {}, "", 0},
      {{"--force_gc", "-5"}, 1, "unsupported option: -5\n" + U, {}, "", 0},
      {{"--force_gc", P, "bogus", "--heapdump"}, 1, "unsupported option: bogus\n" + U, {}, "", 0},
      {{"--force_gc", "time=", P}, 1, "unsupported option: time=\n" + U, {}, "", 0},
      {{"--force_gc", "time=1h30", P}, 1, "unsupported option: time=1h30\n" + U, {}, "", 0},
      {{"--force_gc", "", P}, 1, "unsupported option: \n" + U, {}, "", 0},
      {{P}, 1, "Please specify options.\n" + U, {}, "", 0},
      {{"time=1m"}, 1, "Please specify options.\n" + U, {}, "", 0},
      {{"--force_gc", "time=1m"}, 1, "Please specify node pid.\n", {}, "", 0},
      // Above any pid_max, so no process has it.
      {{"--force_gc", "9999998"},
       1,
       "Please check if pid 9999998 is node process.\nNo process has pid 9999998.\n",
       {},
       "",
       0},
  };
  for (const Case& c : cases) {
    const std::string what = testing::PrintToString(c.args);
    std::string out;
    EXPECT_EQ(c.status, Run(c.args, &out, c.reply)) << what;
    EXPECT_EQ(c.out, out) << what;
    EXPECT_EQ(c.masks, Masks()) << what;
    EXPECT_EQ(c.text, g_sent.empty() ? "" : Normalize(g_sent[0].text)) << what;
    EXPECT_EQ(StartsWith(out, "<clock>") || StartsWith(out, "Please check"), !g_probed.empty()) << what;
    EXPECT_EQ(0, g_forks) << what;  // no deferred stop: nothing timed was delivered
  }
}

// Both forms: timed commands get 180 s for no or a zero duration, the last
// duration wins, no limit means no stop, and the stop (sent at once, as the
// fork fails) carries the start's option text.
TEST_F(TimedCommandTest, DurationAndStop) {
  const std::string cpu = "<clock>\nProfiling文件路径:/data/logs/cpu-profile-9999999-<stamp>.cpuprofile\n",
                    gc = "<clock>\ngc-log文件路径:/data/logs/gc-log-9999999-<stamp>.txt\n", pid = "--pid=" + P;
  auto cpu_hint = [&](int s) {
    return cpu + "请等待" + std::to_string(s) + "秒后读取此cpu-profiling结果.\n" + kForkFailed;
  };
  auto gc_hint = [&](int s) { return gc + "请等待" + std::to_string(s) + "秒后读取此gc-log.\n" + kForkFailed; };
  struct Case {
    std::vector<std::string> args;
    std::string out;
    std::vector<unsigned int> masks;
  } cases[] = {
      {{"--start_profiling", P}, cpu_hint(180), {0x40, 0x80}},
      {{"--start_profiling", "time=0s", P}, cpu_hint(180), {0x40, 0x80}},
      {{"time=1m", "--start_profiling", "time=2s", P}, cpu_hint(2), {0x40, 0x80}},
      {{"time=1m", "--start_profiling", "time=ms", P}, cpu_hint(180), {0x40, 0x80}},
      {{"--start_profiling", "time=-1s", P}, cpu, {0x40}},
      {{"--start_timeline", "time=1h", P},
       "<clock>\nheaptimeline文件路径:/data/logs/timeline-9999999-<stamp>.heaptimeline\n请等待3600秒后读取此timeline结果.\n" +
           kForkFailed,
       {0x10, 0x20}},
      {{P, "--start_heap_profiling"},
       "<clock>\nheapprofile文件路径:/data/logs/heap-profile-9999999-<stamp>.heapprofile\n请等待180秒后读取此heap-profile结果.\n" +
           kForkFailed,
       {0x100, 0x200}},
      {{P, "--v8-options"},
       "<clock>\nv8options文件路径:/data/logs/others-9999999-<stamp>.v8options\n请等待180秒后读取.\n" + kForkFailed,
       {0x400, 0x800}},
      {{"--v8-options", "--trace_gc", pid}, gc_hint(180), {0x400, 0x800}},
      {{"--v8-options", pid, "--trace_gc", "time=0s"}, gc_hint(180), {0x400, 0x800}},
      {{"--v8-options", "time=1m", "--trace_gc", "time=30s", pid}, gc_hint(30), {0x400, 0x800}},
      {{"--v8-options", "--trace_gc", "time=-1s", pid}, gc, {0x400}},
      {{"--v8-options", pid},
       "<clock>\nv8options文件路径:/data/logs/others-9999999-<stamp>.v8options\n请等待180秒后读取.\n" + kForkFailed,
       {0x400, 0x800}},
  };
  for (const Case& c : cases) {
    std::string out;
    int status = Run(c.args, &out);
    EXPECT_EQ(c.out, out) << testing::PrintToString(c.args);
    ASSERT_EQ(c.masks, Masks()) << testing::PrintToString(c.args);
    EXPECT_EQ(c.masks.size() - 1, static_cast<size_t>(g_forks));
    // A stop that had to follow at once ends the activity early: the run failed.
    EXPECT_EQ(c.masks.size() == 2 ? 1 : 0, status);
    EXPECT_EQ(g_sent[0].text, g_sent.back().text);
  }
}

// Rows that send use a failing exchange, so a bare flag starts no stop.
TEST_F(V8OptionsHandlerTest, Outcomes) {
  const std::string a(2000, 'a'), pid = "--pid=" + P, bytes = "--a=1 b  --heapdump --v8-options time=30 ",
                                  limit = "v8-options exceeds length limit.\n\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, text;
    int reply;
  } cases[] = {
      {{std::string(4089, 'a'), "time=1m", pid}, 1, "<clock>\n", std::string(4089, 'a') + " ", -1},
      {{a, pid, std::string(2088, 'b')}, 1, "<clock>\n", a + " " + std::string(2088, 'b') + " ", -1},
      {{std::string(4090, 'a'), pid}, 1, limit, "", 0},
      {{a, std::string(2089, 'b'), pid}, 1, limit, "", 0},
      {{"--pid=0"}, 1, "invalid pid:0\n", "", 0},
      {{"--pid="}, 1, "invalid pid:\n", "", 0},
      {{"--pid=abc"}, 1, "invalid pid:abc\n", "", 0},
      {{"--pid=2147483648"}, 1, "invalid pid:2147483648\n", "", 0},
      {{"--pid=00000000001"}, 1, "invalid pid:00000000001\n", "", 0},
      {{"--trace_gc", "--pid=-5"}, 1, "invalid pid:-5\n", "", 0},
      {{pid, "--trace_gc", "--pid=x", "--pid=0"}, 1, "invalid pid:x\n", "", 0},
      {{}, 1, "Please check if pid:-1 is kestrun process.\n", "", 0},
      {{"--trace_gc"}, 1, "Please check if pid:-1 is kestrun process.\n", "", 0},
      {{pid, "--pid=9999998"},
       1,
       "Please check if pid:9999998 is kestrun process.\nNo process has pid 9999998.\n",
       "",
       0},
      {{"--pid=9999998", "--max_old_space_size=1", pid},
       0,
       "<clock>\nv8-options:\n--max_old_space_size=1 \n发送成功.\n",
       "--max_old_space_size=1 ",
       0},
      {{"--a=1 b", "", "--heapdump", "--v8-options", "time=30", pid, "time=-1s"},
       0,
       "<clock>\nv8-options:\n" + bytes + "\n发送成功.\n",
       bytes,
       0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--v8-options"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string out;
    EXPECT_EQ(c.status, Run(args, &out, c.reply)) << testing::PrintToString(c.args).substr(0, 80);
    EXPECT_EQ(c.out, out);
    EXPECT_EQ(StartsWith(out, "<clock>") || StartsWith(out, "Please check"), g_probed.size() == 1);
    ASSERT_EQ(StartsWith(out, "<clock>") ? 1u : 0u, g_sent.size());
    if (g_sent.empty()) continue;
    EXPECT_EQ(c.text, g_sent[0].text);  // the full rows leave no room for a result option
    EXPECT_EQ(0x400u, g_sent[0].mask);
    EXPECT_EQ(kTarget, g_sent[0].pid);
  }
}

TEST_F(SendSignalTest, ResultFiles) {
  const std::string D = "/data/logs/";
  struct Case {
    unsigned int mask;
    std::string text, path, status, hint;
    int kind;
  } cases[] = {
      {0x1, "", D + "heapdump-9999999-<stamp>.heapsnapshot", "heapdump文件路径:%\nheapdump可能需要数秒或数分钟.\n", "",
       0},
      {0x40, "", D + "cpu-profile-9999999-<stamp>.cpuprofile", "Profiling文件路径:%\n",
       "请等待30秒后读取此cpu-profiling结果.\n", 1},
      {0x10, "", D + "timeline-9999999-<stamp>.heaptimeline", "heaptimeline文件路径:%\n",
       "请等待30秒后读取此timeline结果.\n", 3},
      {0x100, "", D + "heap-profile-9999999-<stamp>.heapprofile", "heapprofile文件路径:%\n",
       "请等待30秒后读取此heap-profile结果.\n", 4},
      {0x1000, "", D + "v8flags-9999999-<stamp>.txt", "v8flags文件路径:%\n", "", 0},
      {0x2000, "", D + "diagnostic-report-9999999-<stamp>.diag", "diagnostic-report文件路径:%\n", "", 0},
      {0x400, "--trace_gc ", D + "gc-log-9999999-<stamp>.txt", "gc-log文件路径:%\n", "请等待30秒后读取此gc-log.\n", 2},
      {0x400, "--prof ", D + "prof-9999999-<stamp>.v8.log", "Prof文件路径:%\n", "请等待30秒后读取此prof结果.\n", 2},
      {0x400, "--perf_basic_prof ", "/tmp/perf-9999999.map", "basic-prof文件路径:%\n",
       "请等待30秒后读取此basic-prof结果.\n", 2},
      {0x400, "", D + "others-9999999-<stamp>.v8options", "v8options文件路径:%\n", "请等待30秒后读取.\n", 2},
      // Several bits: the first row in table order names the file.
      {0x41, "", D + "heapdump-9999999-<stamp>.heapsnapshot", "heapdump文件路径:%\nheapdump可能需要数秒或数分钟.\n", "",
       0},
      {0x3, "--trace_gc ", D + "heapdump-9999999-<stamp>.heapsnapshot",
       "heapdump文件路径:%\nheapdump可能需要数秒或数分钟.\n", "", 0},
      {0x150, "", D + "cpu-profile-9999999-<stamp>.cpuprofile", "Profiling文件路径:%\n",
       "请等待30秒后读取此cpu-profiling结果.\n", 1},
      {0x3000, "", D + "v8flags-9999999-<stamp>.txt", "v8flags文件路径:%\n", "", 0},
      {0x402, "--trace_gc_nvp --prof ", D + "gc-log-9999999-<stamp>.txt", "gc-log文件路径:%\n",
       "请等待30秒后读取此gc-log.\n", 2},
      {0x400, "--prof_browser_mode time=10 ", D + "others-9999999-<stamp>.v8options", "v8options文件路径:%\n",
       "请等待30秒后读取.\n", 2},
  };
  for (const Case& c : cases) {
    const std::string status = std::regex_replace(c.status, std::regex("%"), c.path);
    for (int duration : {30, NO_LIMIT, -1}) {  // -1: the exchange fails
      SetUp();
      snprintf(g_shm_buffer, sizeof(g_shm_buffer), "%s", c.text.c_str());
      g_reply = duration == -1 ? -1 : 0;
      int kind = -1;
      std::string out = Captured([&] { kind = SendSignal(kTarget, c.mask, duration == -1 ? 30 : duration); });
      const std::string expected = duration == -1 ? "" : status + (duration == 30 ? c.hint : "");
      EXPECT_EQ("<clock>\n" + expected, out) << c.mask << " " << c.text << " " << duration;
      EXPECT_EQ(duration == 30 ? c.kind : 0, kind) << c.mask << " " << c.text << " " << duration;
      ASSERT_EQ(std::vector<unsigned int>{c.mask}, Masks());
      EXPECT_EQ(c.text + "--specified_log_path=" + c.path + " ", Normalize(g_sent[0].text));
      EXPECT_EQ(g_sent[0].text, g_shm_buffer);  // it stays for the stop command
    }
  }
  SetUp();
  int kind = -1;
  EXPECT_EQ(
      "<clock>\nheaptimeline文件路径:/data/logs/timeline-9999999-<stamp>.heaptimeline\n请等待0秒后读取此timeline结果.\n",
      Captured([&] { kind = SendSignal(kTarget, 0x10, 0); }));
  EXPECT_EQ(3, kind);
  SetUp();
  unsetenv("NODE_LOG_DIR");  // the fixed perf map name still looks the directory up
  snprintf(g_shm_buffer, sizeof(g_shm_buffer), "--perf_basic_prof ");
  EXPECT_EQ(
      "<clock>\nNODE_LOG_DIR not configured, default dir /tmp/ is used\nbasic-prof文件路径:/tmp/perf-9999999.map\n",
      Captured([&] { SendSignal(kTarget, 0x400, NO_LIMIT); }));
}

TEST_F(SendSignalTest, PlainConfirmations) {
  struct Case {
    unsigned int mask;
    const char* text;
    const char* status;
  } cases[] = {
      {0x400, "--max_old_space_size=128 ", "v8-options:\n--max_old_space_size=128 \n发送成功.\n"},
      {0x400, "--trace_opt time=1 time=2 ", "v8-options:\n--trace_opt time=1 time=2 \n发送成功.\n"},
      {0x2, "", "强制fullGC一次.\n"},
      {0x4, "", "日志功能已经打开\n"},
      {0x8, "", "日志功能已经关闭\n"},
      {0x6, "", "日志功能已经打开\n"},
      {0x402, "--a=1 ", "强制fullGC一次.\n"},
      {0xe, "", "日志功能已经关闭\n"},
      {0x20, "", ""},
      {0x80, "--a=1 ", ""},
      {0x200, "", ""},
      {0x800, "", ""},
      {0x4000, "", ""},
  };
  for (const Case& c : cases) {
    SetUp();
    snprintf(g_shm_buffer, sizeof(g_shm_buffer), "%s", c.text);
    int kind = -1;
    EXPECT_EQ(std::string("<clock>\n") + c.status, Captured([&] { kind = SendSignal(kTarget, c.mask, 30); }));
    EXPECT_EQ(0, kind) << c.mask;
    ASSERT_EQ(std::vector<unsigned int>{c.mask}, Masks());
    EXPECT_EQ(c.text, g_sent[0].text);
  }
}

// A 1100-character log directory: directory, path and status text are cut at
// 1023 bytes, the option text at 4090 characters; nothing runs over.
TEST_F(SendSignalTest, Bounds) {
  const std::string dir = "/" + std::string(1099, 'd'), path = dir.substr(0, 1023);
  setenv("NODE_LOG_DIR", dir.c_str(), 1);
  EXPECT_EQ("<clock>\n" + ("Profiling文件路径:" + path).substr(0, 1023),
            Captured([&] { SendSignal(kTarget, 0x40, 30); }));
  EXPECT_EQ("--specified_log_path=" + path + " ", g_sent.back().text);

  memset(g_shm_buffer, 'v', 4000);
  Captured([&] { SendSignal(kTarget, 0x40, 30); });
  EXPECT_EQ((std::string(4000, 'v') + "--specified_log_path=" + path).substr(0, 4090), g_sent.back().text);

  // The confirmation shows no more of the flags than a message carries.
  snprintf(g_shm_buffer, sizeof(g_shm_buffer), "--a=1 %s", std::string(4000, 'w').c_str());
  EXPECT_EQ("<clock>\nv8-options:\n" + std::string(g_shm_buffer, 503) + "\n发送成功.\n",
            Captured([&] { SendSignal(kTarget, 0x400, 30); }));

  // The wait hint goes only into the room the path line leaves.
  setenv("NODE_LOG_DIR", ("/" + std::string(949, 'd')).c_str(), 1);
  std::string out = Captured([&] { SendSignal(kTarget, 0x40, 30); });
  EXPECT_EQ("<clock>\nProfiling文件路径:/" + std::string(949, 'd') + "/cpu-profile-9999999-<stamp>.cpuprofile\n请",
            out);
}

// Starts /bin/sleep with exactly env; returns once the exec has happened (the
// close-on-exec pipe reads end of file), so /proc/<pid>/environ shows env.
static pid_t StartWithEnvironment(const std::vector<std::string>& env) {
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("30"), nullptr};
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  pid_t child = fork();
  if (child == -1) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (child == 0) {
    execve("/bin/sleep", argv, envp.data());
    _exit(write(fds[1], "x", 1) == 1 ? 127 : 126);
  }
  close(fds[1]);
  char byte;
  ssize_t got;
  while ((got = read(fds[0], &byte, 1)) == -1 && errno == EINTR) {
  }
  close(fds[0]);
  return got == 0 ? child : -1;
}

TEST_F(GetLogDirTest, Environments) {
  struct Case {
    bool live;
    std::vector<std::string> target;
    const char* own;
    const char* dir;
  } cases[] = {
      {true, {"A=1", "NODE_LOG_DIR=/t1", "NODE_LOG_DIR=/t2/"}, "/own", "/t1/"},
      {true, {"NODE_LOG_DIRX=/x", "X=NODE_LOG_DIR=/y", "NODE_LOG_DIR=/t/"}, nullptr, "/t/"},
      {true, {"NODE_LOG_DIR="}, "/own", "/"},
      {true, {"PATH=/bin"}, "/own", "/own/"},
      {true, {}, "/own/", "/own/"},
      {true, {"node_log_dir=/x"}, "", "/tmp/"},
      {false, {}, "/o", "/o/"},  // no /proc entry: the tool's own environment, silently
      {false, {}, nullptr, "/tmp/"},
  };
  for (const Case& c : cases) {
    c.own != nullptr ? setenv("NODE_LOG_DIR", c.own, 1) : unsetenv("NODE_LOG_DIR");
    pid_t child = c.live ? StartWithEnvironment(c.target) : kTarget;
    ASSERT_GT(child, 0);
    char dir[1024];
    std::string out = Captured([&] { EXPECT_TRUE(GetLogDir(child, dir)); });
    if (c.live) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    EXPECT_STREQ(c.dir, dir) << testing::PrintToString(c.target);
    EXPECT_EQ(strcmp(c.dir, "/tmp/") ? "" : "NODE_LOG_DIR not configured, default dir /tmp/ is used\n", out);
  }
}

// The name reaches the lookup pipeline as one quoted word: a quote in it
// still finds the process, and shell syntax in it runs nothing.
TEST(GetPIDsTest, NameIsOneShellWord) {
  const std::string dir = qtest::MakeTempDir();
  const std::string name = "q'$(touch ran)";  // ps shows up to 15 characters
  const std::string copy = dir + "/" + name;
  {
    std::ofstream out(copy, std::ios::binary);
    out << qtest::ReadFile("/bin/sleep");
  }
  ASSERT_EQ(0, chmod(copy.c_str(), 0755));
  pid_t sleeper = qtest::Spawn({copy, "30"}, {});
  ASSERT_NE(-1, sleeper);
  ASSERT_TRUE(
      qtest::WaitFor([&] { return qtest::ReadFile("/proc/" + std::to_string(sleeper) + "/comm") == name + "\n"; }));
  static int wanted;
  wanted = sleeper;
  g_probe = [](int pid) { return pid == wanted; };
  int pids[1024];
  EXPECT_EQ(1, GetPIDs(name.c_str(), pids));
  EXPECT_EQ(sleeper, pids[0]);
  EXPECT_EQ(0, GetPIDs("$(touch ran)x", pids));
  g_probe = IsKestrun;
  kill(sleeper, SIGKILL);
  waitpid(sleeper, nullptr, 0);
  EXPECT_FALSE(qtest::FileExists("ran"));
  qtest::RemoveTree(dir);
}
