// The control socket exchange through the real quellix: every state of the
// exchange against the stand-in runtime, and the bytes the runtime receives.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "support.h"

namespace {

using qtest::kClock;
using qtest::kForceGc;
using qtest::KicksAfterStop;

// Leaves a socket file at the runtime's path that nobody listens on.
void ReplaceWithDeadSocket(int pid) {
  std::string path = qtest::SocketPath(pid);
  unlink(path.c_str());
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  close(fd);
}

TEST(ProtocolTest, StateTable) {
  enum Socket { kServed, kNoFile, kNoListener };
  struct Case {
    Socket socket;
    std::string first, kick;
    std::string out;  // after the clock line
    int status, kicks;
    bool sent;
    std::vector<std::string> options = {};  // more of the stand-in's options
  };
  const std::string no_kick = "marked:NK:no kick needed: accepted";
  // clang-format off
  const Case cases[] = {
      {kNoFile, "accept", "accept", "Please check if ENABLE_NODE_LOG=YES is configured.\n", 1, 0, false},
      {kNoListener, "accept", "accept", "Check if ENABLE_NODE_LOG=YES is configured.\n", 1, 0, false},
      {kServed, "silent", "accept", "Runtime is busy, please try later. 0\n", 1, 0, true},
      {kServed, "refuse:Runtime refuses now", "accept", "Runtime refuses now\n\n", 1, 0, true},
      {kServed, "refuse:", "accept", "\n\n", 1, 0, true},
      {kServed, "byte:N", "accept", "\n\n", 1, 0, true},
      {kServed, "byte:Y", "accept", kForceGc, 0, 1, true},
      // A hang-up before any byte is no acceptance: no kick, nothing printed as done.
      {kServed, "close", "accept", "Runtime closed the connection without a reply.\n", 1, 0, true},
      // The runtime's text reaches the terminal with its control characters escaped.
      {kServed, "refuse:\033]0;owned\007\033[2J", "accept", "\\x1b]0;owned\\x07\\x1b[2J\n\n", 1, 0, true},
      {kServed, "zero", "accept", kForceGc, 0, 1, true},
      {kServed, "accept", "close", kForceGc, 0, 1, true},
      {kServed, "accept", "silent", "Runtime is busy, please try later.. 0\n" + kForceGc, 0, 1, true},
      {kServed, "accept", "refuse:Not after the kick", "Not after the kick\n\n", 1, 1, true},
      {kServed, "accept", "accept", kForceGc, 0, 1, true},
      // The no-kick mark: no signal, the second reply as after a kick; also
      // for a runtime that a kick would end.
      {kServed, no_kick, "accept", kForceGc, 0, 0, true},
      {kServed, no_kick, "accept", kForceGc, 0, 0, true, {"--no-kick-handler"}},
      {kServed, no_kick, "silent", "Runtime is busy, please try later.. 0\n" + kForceGc, 0, 0, true},
      {kServed, no_kick, "refuse:Not without a kick", "Not without a kick\n\n", 1, 0, true},
      {kServed, no_kick, "close", kForceGc, 0, 0, true},
      // Anything short of the exact mark gets the kick.
      {kServed, "marked:NK:no kick", "accept", kForceGc, 0, 1, true},
      {kServed, "marked:NX:no kick needed", "accept", kForceGc, 0, 1, true},
      {kServed, "marked:nk:no kick needed", "accept", kForceGc, 0, 1, true},
      // A refusal marked "ask again": quellix says so once and asks again
      // until the answer comes; an unmarked one, or one with another mark,
      // is the answer.
      {kServed, "again:2:counting \033[2Jthe heap", "accept",
       "Pid <pid> will answer the next ask: counting \\x1b[2Jthe heap\n" + kForceGc, 0, 1, true},
      {kServed, "refuse:AAcounting", "accept", "AAcounting\n\n", 1, 0, true},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE("socket " + std::to_string(c.socket) + " first " + c.first + " kick " + c.kick);
    std::vector<std::string> options = {"--first", c.first, "--kick", c.kick};
    options.insert(options.end(), c.options.begin(), c.options.end());
    qtest::Peer peer(options);
    if (c.socket == kNoFile) unlink(qtest::SocketPath(peer.pid()).c_str());
    if (c.socket == kNoListener) ReplaceWithDeadSocket(peer.pid());
    qtest::RunResult r = qtest::RunQuellix({"--force_gc", peer.pid_text()});
    EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), kClock + c.out);
    EXPECT_EQ(r.status, c.status);
    if (c.sent) {
      EXPECT_EQ(peer.Message(0).size(), 512u);
    }
    EXPECT_TRUE(peer.Alive());
    EXPECT_EQ(KicksAfterStop(peer), c.kicks);
    EXPECT_EQ(peer.HasMessage(0), c.sent);
  }
}

TEST(ProtocolTest, MessageLayout) {
  struct Case {
    std::vector<std::string> args;
    std::string out, text;
    unsigned int mask;
  };
  // clang-format off
  const Case cases[] = {
      {{"--force_gc", "--disable_node_log", "--stop_profiling", "--child_to_parent", "{pid}"}, "日志功能已经关闭\n", "",
       0x408A},
      {{"--v8-options", "--max_old_space_size=128", "--stack_size=900", "--pid={pid}"},
       "v8-options:\n--max_old_space_size=128 --stack_size=900 \n发送成功.\n",
       "--max_old_space_size=128 --stack_size=900 ", 0x400},
  };
  // clang-format on
  for (const Case& c : cases) {
    qtest::Peer peer;
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
      size_t at = arg.find("{pid}");
      if (at != std::string::npos) arg.replace(at, 5, peer.pid_text());
    }
    SCOPED_TRACE(::testing::PrintToString(args));
    qtest::RunResult r = qtest::RunQuellix(args);
    EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), kClock + c.out);
    EXPECT_EQ(r.status, 0);
    std::string message = peer.Message(0);
    EXPECT_EQ(message.size(), 512u);
    EXPECT_EQ(qtest::MaskOf(message), c.mask);
    EXPECT_GT(qtest::SenderOf(message), 0);
    EXPECT_NE(qtest::SenderOf(message), peer.pid());
    EXPECT_NE(qtest::SenderOf(message), getpid());
    EXPECT_EQ(qtest::TextOf(message), c.text);
    EXPECT_TRUE(qtest::TailIsZero(message));
    EXPECT_EQ(KicksAfterStop(peer), 1);
  }
}

// The message carries 503 characters of option text; a longer text is
// refused whole rather than cut.
TEST(ProtocolTest, OptionTextLimit) {
  qtest::Peer peer;
  const std::string pid = peer.pid_text();
  const std::string fits = "--x=" + std::string(498, 'a') + " ";  // 503 characters
  const std::string too_long = "Option text too long for the control message (";
  // A long flag, --trace_gc and its gc-log path under /tmp/ together pass 503.
  const std::string flag = "--" + std::string(470, 'y');
  const int with_path =
      11 + static_cast<int>(flag.size()) + 1 + 21 + 5 + 7 + static_cast<int>(pid.size()) + 1 + 15 + 4 + 1;
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  // clang-format off
  const Case cases[] = {
      {{"--v8-options", "--x=" + std::string(499, 'a'), "--pid=" + pid}, too_long + "504 characters, at most 503).\n"},
      {{"--v8-options", "--trace_gc", flag, "time=1s", "--pid=" + pid},
       "NODE_LOG_DIR not configured, default dir /tmp/ is used\n" + too_long + std::to_string(with_path) +
           " characters, at most 503).\n"},
  };
  // clang-format on
  for (const Case& c : cases) {
    qtest::RunResult r = qtest::RunQuellix(c.args, {"NODE_LOG_DIR="});
    EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), kClock + c.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(peer.HasMessage(0));
  }
  qtest::RunResult r = qtest::RunQuellix({"--v8-options", fits.substr(0, 502), "--pid=" + pid});
  EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), kClock + "v8-options:\n" + fits + "\n发送成功.\n");
  EXPECT_EQ(r.status, 0);
  std::string message = peer.Message(0);
  EXPECT_EQ(qtest::TextOf(message), fits);
  EXPECT_TRUE(qtest::TailIsZero(message));
  EXPECT_FALSE(peer.HasMessage(1));
  EXPECT_EQ(KicksAfterStop(peer), 1);
}

}  // namespace
