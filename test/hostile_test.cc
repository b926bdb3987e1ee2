// The real quellix against hostile runtimes and sockets: replies that are too
// long, too short or late, socket paths that are no sockets, a stranger on
// the socket, targets that the kick signal would kill, overlong texts, and
// the probe's drop to the target's owner.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "support.h"

namespace {

using qtest::kClock;
using qtest::kForceGc;
using qtest::KicksAfterStop;

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

TEST(HostileReplyTest, BoundedOutput) {
  const std::string text = "runtime refuses with a reply that fills the whole message";
  struct Case {
    std::string first, kick;
    std::string out;  // after the clock line
    int status, kicks;
  } cases[] = {
      // 512 bytes without a NUL: the text ends with the last byte received.
      {"full:" + text, "accept", text + std::string(509 - text.size(), 'x') + "\n\n", 1, 0},
      {"byte:N", "accept", "\n\n", 1, 0},
      {"byte:Y", "accept", kForceGc, 0, 1},
      // Whatever part of "Yabc" the first read gets, it is no refusal; the
      // rest is read as the answer to the kick.
      {"trickle:Yabc", "accept", kForceGc, 0, 1},
      {"silent", "accept", "Runtime is busy, please try later. 0\n", 1, 0},
      {"accept", "silent", "Runtime is busy, please try later.. 0\n" + kForceGc, 0, 1},
      {"close", "accept", kForceGc, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("first " + c.first + " kick " + c.kick);
    qtest::Peer peer({"--first", c.first, "--kick", c.kick});
    qtest::RunResult r = qtest::RunQuellix({"--force_gc", peer.pid_text()});
    EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}), kClock + c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(KicksAfterStop(peer), c.kicks);
  }
}

// A refusal that trickles in: the first read may get one byte or a few; the
// printed text is whatever of byte 3 onwards arrived, never more.
TEST(HostileReplyTest, TricklingRefusal) {
  qtest::Peer peer({"--first", "trickle:NxxDEFG"});
  qtest::RunResult r = qtest::RunQuellix({"--force_gc", peer.pid_text()});
  std::string out = qtest::Normalize(r.out, {peer.pid()});
  ASSERT_EQ(out.rfind(kClock, 0), 0u) << out;
  std::string rest = out.substr(kClock.size());
  ASSERT_GE(rest.size(), 2u);
  EXPECT_EQ(rest.substr(rest.size() - 2), "\n\n");
  EXPECT_EQ(std::string("DEFG").rfind(rest.substr(0, rest.size() - 2), 0), 0u) << rest;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(KicksAfterStop(peer), 0);
}

TEST(HostileSocketTest, PathIsNoSocket) {
  enum Kind {
    kFile,
    kDirectory,
    kDanglingLink,
    kLinkToOtherRuntime
  } kinds[] = {kFile, kDirectory, kDanglingLink, kLinkToOtherRuntime};
  for (Kind kind : kinds) {
    SCOPED_TRACE("kind " + std::to_string(kind));
    qtest::Peer peer;
    qtest::Peer other;
    const std::string path = qtest::SocketPath(peer.pid());
    unlink(path.c_str());
    std::string out;
    if (kind == kFile) {
      std::ofstream(path) << "not a socket";
      out = "Check if ENABLE_NODE_LOG=YES is configured.\n";
    } else if (kind == kDirectory) {
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
      out = "Check if ENABLE_NODE_LOG=YES is configured.\n";
    } else if (kind == kDanglingLink) {
      ASSERT_EQ(symlink((peer.dir() + "/nowhere").c_str(), path.c_str()), 0);
      out = "Please check if ENABLE_NODE_LOG=YES is configured.\n";
    } else {
      ASSERT_EQ(symlink(qtest::SocketPath(other.pid()).c_str(), path.c_str()), 0);
      out = "Socket " + path + " is not served by pid " + peer.pid_text() + ".\n";
    }
    qtest::RunResult r = qtest::RunQuellix({"--force_gc", peer.pid_text()});
    rmdir(path.c_str());
    EXPECT_EQ(qtest::Normalize(r.out), kClock + out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(KicksAfterStop(peer), 0);
    EXPECT_EQ(KicksAfterStop(other), 0);
    EXPECT_EQ(qtest::ReadFile(other.dir() + "/msg-0.bin"), "");
  }
}

// A stranger listens on the socket path of an innocent runtime that the kick
// signal would end: it gets no byte, and the runtime is never signalled.
TEST(HostileSocketTest, SquatterGetsNothing) {
  qtest::Peer victim({"--no-kick-handler"});
  unlink(qtest::SocketPath(victim.pid()).c_str());
  qtest::Peer squatter({"--squat", victim.pid_text()});
  qtest::RunResult r = qtest::RunQuellix({"--force_gc", victim.pid_text()});
  EXPECT_EQ(qtest::Normalize(r.out, {victim.pid()}),
            kClock + "Socket /tmp/kestrun-uds-path-<pid> is not served by pid <pid>.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(victim.Alive());
  EXPECT_EQ(KicksAfterStop(squatter), 0);
  EXPECT_EQ(qtest::ReadFile(squatter.dir() + "/msg-0.bin"), "");
}

// A target without a SIGUSR2 handler, which the kick would end, is never
// signalled, whatever goes wrong.
TEST(HostileKickTest, NoHandlerIsNeverSignalled) {
  const std::string not_sent = "Pid {pid} does not handle the kick signal; not sent.\n";
  // A flag with a value names no result file, so the text stays 603 long.
  const std::string long_flag = "--x=" + std::string(598, '1');
  struct Case {
    std::vector<std::string> peer_options, args;
    std::string out;  // after the clock line; {pid} stands for the pid
    bool sent;
  } cases[] = {
      {{"--first", "accept"}, {"--force_gc", "{pid}"}, not_sent, true},
      {{"--first", "byte:Y"}, {"--force_gc", "{pid}"}, not_sent, true},
      {{"--first", "close"}, {"--force_gc", "{pid}"}, not_sent, true},
      {{"--first", "trickle:Yabc"}, {"--force_gc", "{pid}"}, not_sent, true},
      {{"--first", "refuse:no"}, {"--force_gc", "{pid}"}, "no\n\n", true},
      {{"--first", "full:no"}, {"--force_gc", "{pid}"}, "no" + std::string(507, 'x') + "\n\n", true},
      {{"--first", "silent"}, {"--force_gc", "{pid}"}, "Runtime is busy, please try later. 0\n", true},
      {{"--first", "accept"},
       {"--v8-options", long_flag, "--pid={pid}"},
       "Option text too long for the control message (603 characters, at most 503).\n",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.peer_options[1] + " " + c.args[0]);
    std::vector<std::string> options = c.peer_options;
    options.push_back("--no-kick-handler");
    qtest::Peer peer(options);
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(Replace(arg, "{pid}", peer.pid_text()));
    qtest::RunResult r = qtest::RunQuellix(args);
    EXPECT_EQ(qtest::Normalize(r.out), kClock + Replace(c.out, "{pid}", peer.pid_text()));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(peer.HasMessage(0), c.sent);
    EXPECT_TRUE(peer.Alive());
  }
}

// NODE_LOG_DIR of 1100 characters in the target's environment: the result
// path is cut at 1023 characters, and the option text that carries it is too
// long for the message, so nothing is sent.
TEST(HostileTextTest, LongLogDirectory) {
  const std::string dir = "/" + std::string(1099, 'd');
  qtest::Peer peer({}, {"NODE_LOG_DIR=" + dir});
  qtest::RunResult r = qtest::RunQuellix({"--heapdump", peer.pid_text()});
  EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}),
            kClock + "Option text too long for the control message (1045 characters, at most 503).\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(peer.HasMessage(0));
  EXPECT_EQ(KicksAfterStop(peer), 0);
}

// An option text of exactly 4090 characters passes the V8 options parser and
// is then refused whole by the message limit.
TEST(HostileTextTest, LongestOptionText) {
  qtest::Peer peer;
  const std::string flag = "--" + std::string(4087, 'f');  // and its blank: 4090
  qtest::RunResult r = qtest::RunQuellix({"--v8-options", flag, "--pid=" + peer.pid_text()});
  EXPECT_EQ(qtest::Normalize(r.out, {peer.pid()}),
            kClock + "NODE_LOG_DIR not configured, default dir /tmp/ is used\n" +
                "Option text too long for the control message (4090 characters, at most 503).\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(peer.HasMessage(0));
  EXPECT_EQ(KicksAfterStop(peer), 0);
}

// As root against another user's runtime, the probe runs with that user's
// identity; the command then goes through as usual.
TEST(ProbeIdentityTest, RootDropsToTargetOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the probe only changes identity when the tool runs as root";
  const uid_t nobody = 65534;
  std::string dir = qtest::MakeTempDir();
  ASSERT_FALSE(dir.empty());
  // The other user must be able to run the copy and record into dir.
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
  const std::string peer_bin = dir + "/kestrun_peer";
  std::ofstream(peer_bin, std::ios::binary) << std::ifstream(PEER_BIN, std::ios::binary).rdbuf();
  ASSERT_EQ(chmod(peer_bin.c_str(), 0755), 0);

  pid_t peer = fork();
  if (peer == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; fd++) dup2(null_fd, fd);
    if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(126);
    execl(peer_bin.c_str(), peer_bin.c_str(), "--dir", dir.c_str(), "--lifetime", "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(peer, 0);
  const std::string socket = qtest::SocketPath(peer);
  bool listening = qtest::WaitFor([&] { return qtest::FileExists(socket); });

  const std::string record = dir + "/probe.txt";
  qtest::RunResult r = qtest::RunQuellix({"--force_gc", std::to_string(peer)}, {"PEER_PROBE_RECORD=" + record});
  kill(peer, SIGTERM);
  qtest::Reap(peer, 3000);
  unlink(socket.c_str());
  std::string recorded = qtest::ReadFile(record);
  qtest::RemoveTree(dir);

  ASSERT_TRUE(listening);
  // Another user's program gets neither root's terminal nor its input.
  EXPECT_EQ(recorded,
            "ENABLE_NODE_LOG=NO\nuid=65534\ngid=65534\nsession=own\nstdin=/dev/null\ncwd=/\nsigchld=default\n");
  EXPECT_EQ(qtest::Normalize(r.out), kClock + kForceGc);
  EXPECT_EQ(r.status, 0);
}

}  // namespace
