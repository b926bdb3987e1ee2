// The real quellix against hostile runtimes and sockets: replies that are too
// long, too short or late, socket paths that are no sockets, a stranger on
// the socket, targets that the kick signal would kill, overlong texts, and
// what the probe gets of the caller.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <map>
#include <memory>

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
      {"close", "accept", "Runtime closed the connection without a reply.\n", 1, 0},
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

// A stranger's listener that never accepts, its backlog full, cannot hold
// quellix: the connect ends, and nothing is sent.
TEST(HostileSocketTest, BacklogNeverAccepted) {
  qtest::Peer victim;
  const std::string path = qtest::SocketPath(victim.pid());
  unlink(path.c_str());
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  std::vector<int> queued;
  for (int i = 0; i < 8; i++) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      close(fd);
      break;
    }
    queued.push_back(fd);
  }
  qtest::RunResult r = qtest::RunQuellix({"--force_gc", victim.pid_text()});
  EXPECT_EQ(qtest::Normalize(r.out), kClock + "Check if ENABLE_NODE_LOG=YES is configured.\n");
  EXPECT_EQ(r.status, 1);
  for (int fd : queued) close(fd);
  close(listener);
  EXPECT_EQ(KicksAfterStop(victim), 0);
}

// A listener keeps the pid of the process that made it after that process
// has ended. When the pid goes to a runtime (which then serves elsewhere,
// its path being taken), the listener is no proof of that runtime: it gets
// no byte, and nothing is kicked.
TEST(HostileSocketTest, ListenerOfAnEndedProcess) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a pid to a new process";
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_NE(listener, -1);
  pid_t maker = fork();
  if (maker == 0) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", qtest::SocketPath(getpid()).c_str());
    _exit(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(listener, 4) == 0 ? 0 : 1);
  }
  ASSERT_EQ(qtest::Reap(maker, 3000), 0);
  std::unique_ptr<qtest::Peer> target;
  for (int attempt = 0; attempt < 20 && (target == nullptr || target->pid() != maker); attempt++) {
    std::ofstream("/proc/sys/kernel/ns_last_pid") << maker - 1;
    target = std::make_unique<qtest::Peer>(std::vector<std::string>{"--squat", "99999999"});
  }
  if (target->pid() != maker) {
    close(listener);
    unlink(qtest::SocketPath(maker).c_str());
    GTEST_SKIP() << "the pid could not be given to a new process";
  }
  qtest::RunResult r = qtest::RunQuellix({"--force_gc", target->pid_text()});
  EXPECT_EQ(qtest::Normalize(r.out, {maker}),
            kClock + "Socket /tmp/kestrun-uds-path-<pid> is not served by pid <pid>.\n");
  EXPECT_EQ(r.status, 1);
  fcntl(listener, F_SETFL, O_NONBLOCK);
  int connection = accept(listener, nullptr, nullptr);
  char byte;
  EXPECT_TRUE(connection == -1 || recv(connection, &byte, 1, 0) <= 0) << "a byte reached the listener";
  if (connection != -1) close(connection);
  close(listener);
  EXPECT_EQ(KicksAfterStop(*target), 0);
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
      {{"--first", "close"}, {"--force_gc", "{pid}"}, "Runtime closed the connection without a reply.\n", true},
      {{"--first", "trickle:Yabc"}, {"--force_gc", "{pid}"}, not_sent, true},
      {{"--first", "refuse:no"}, {"--force_gc", "{pid}"}, "no\n\n", true},
      {{"--first", "full:no"}, {"--force_gc", "{pid}"}, "no" + std::string(507, 'x') + "\n\n", true},
      {{"--first", "silent"}, {"--force_gc", "{pid}"}, "Runtime is busy, please try later. 0\n", true},
      // Only the exact no-kick mark is taken for one.
      {{"--first", "marked:NK:no kick neede"}, {"--force_gc", "{pid}"}, not_sent, true},
      {{"--first", "marked:KN:no kick needed"}, {"--force_gc", "{pid}"}, not_sent, true},
      {{"--first", "marked:NK: no kick needed"}, {"--force_gc", "{pid}"}, not_sent, true},
      {{"--first", "refuse:no kick needed"}, {"--force_gc", "{pid}"}, "no kick needed\n\n", true},
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

// The record lines of a probe as name -> value.
std::map<std::string, std::string> RecordFields(const std::string& record) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(record);
  for (std::string line; std::getline(lines, line);) {
    size_t at = line.find('=');
    if (at != std::string::npos) fields[line.substr(0, at)] = line.substr(at + 1);
  }
  return fields;
}

// Runs quellix as a session leader whose controlling terminal is a new
// pseudo-terminal, also its standard error, with a root-only file open as
// descriptor 7 and exactly env; returns its output and status.
qtest::RunResult RunInTerminal(const std::vector<std::string>& args, const std::vector<std::string>& env,
                               const std::string& secret_file, std::string* terminal) {
  qtest::RunResult result;
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  int out[2];
  if (master == -1 || grantpt(master) != 0 || unlockpt(master) != 0 || pipe(out) != 0) return result;
  *terminal = ptsname(master);
  pid_t child = fork();
  if (child == 0) {
    // The first terminal a session leader opens becomes its controlling one.
    int tty = setsid() == -1 ? -1 : open(terminal->c_str(), O_RDWR);
    int secret = open(secret_file.c_str(), O_RDONLY);
    if (tty == -1 || secret == -1 || dup2(out[1], 1) == -1 || dup2(tty, 2) == -1 || dup2(secret, 7) == -1) _exit(126);
    std::vector<char*> argv = {const_cast<char*>("/usr/bin/env"), const_cast<char*>("-i")};
    for (const std::string& entry : env) argv.push_back(const_cast<char*>(entry.c_str()));
    argv.push_back(const_cast<char*>(QUELLIX_BIN));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  const long long deadline = qtest::NowMs() + 20000;
  char buf[4096];
  for (;;) {
    struct pollfd entry = {out[0], POLLIN, 0};
    if (qtest::NowMs() >= deadline || poll(&entry, 1, 50) < 0) break;
    if (entry.revents == 0) continue;
    ssize_t n = read(out[0], buf, sizeof(buf));
    if (n <= 0) break;
    result.out.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = qtest::Reap(child, 3000);
  if (status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  // Closed only now: a terminal that goes away hangs its session up.
  close(master);
  return result;
}

// Run as root from a terminal, with a root-only file open and a secret in
// its environment, quellix hands the probe nothing of that: no descriptor
// above 2 and no controlling terminal, and for another user's runtime that
// user's identity, a pipe as standard error and only the variables node
// needs. A probe of quellix's own user keeps its standard error and
// environment.
TEST(ProbeIdentityTest, NothingOfTheCallerReachesTheProbe) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the probe only changes identity when the tool runs as root";
  const std::string dir = qtest::MakeTempDir();
  ASSERT_FALSE(dir.empty());
  // The other user must be able to run the copy and record into dir.
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
  const std::string peer_bin = dir + "/kestrun_peer", secret = dir + "/secret", record = dir + "/probe";
  std::ofstream(peer_bin, std::ios::binary) << std::ifstream(PEER_BIN, std::ios::binary).rdbuf();
  std::ofstream(secret) << "root only";
  ASSERT_EQ(chmod(peer_bin.c_str(), 0755), 0);
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  // The record path reaches another user's probe through NODE_OPTIONS.
  const std::vector<std::string> env = {"PATH=/usr/bin:/bin",
                                        "HOME=/root",
                                        "TZ=UTC",
                                        "LC_TIME=C",
                                        "QUELLIX_SECRET=s3cret",
                                        "NODE_OPTIONS=PEER_PROBE_RECORD=" + record};
  struct Case {
    uid_t owner;
    std::map<std::string, std::string> fields;  // "{tty}": quellix's terminal
  };
  const Case cases[] = {
      {65534,
       {{"uid", "65534"},
        {"gid", "65534"},
        {"session", "own"},
        {"tty", "none"},
        {"fds", ""},
        {"stderr", "pipe"},
        {"stdin", "/dev/null"},
        {"cwd", "/"},
        {"HOME", "/"},
        {"ENABLE_NODE_LOG", "NO"},
        {"env", "ENABLE_NODE_LOG,HOME,LC_TIME,NODE_OPTIONS,PATH,TZ"}}},
      {0,
       {{"uid", "0"},
        {"session", "own"},
        {"tty", "none"},
        {"fds", ""},
        {"stderr", "{tty}"},
        {"HOME", "/root"},
        {"ENABLE_NODE_LOG", "NO"},
        {"env", "ENABLE_NODE_LOG,HOME,LC_TIME,NODE_OPTIONS,PATH,QUELLIX_SECRET,TZ"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("owner " + std::to_string(c.owner));
    unlink(record.c_str());
    pid_t peer = fork();
    if (peer == 0) {
      int null_fd = open("/dev/null", O_RDWR);
      for (int fd = 0; fd <= 2; fd++) dup2(null_fd, fd);
      if (c.owner != 0 && (setgroups(0, nullptr) != 0 || setgid(c.owner) != 0 || setuid(c.owner) != 0)) _exit(126);
      execl(peer_bin.c_str(), peer_bin.c_str(), "--dir", dir.c_str(), "--lifetime", "60", static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_GT(peer, 0);
    const std::string socket = qtest::SocketPath(peer);
    bool listening = qtest::WaitFor([&] { return qtest::FileExists(socket); });
    std::string terminal;
    qtest::RunResult r = RunInTerminal({"--force_gc", std::to_string(peer)}, env, secret, &terminal);
    kill(peer, SIGTERM);
    qtest::Reap(peer, 3000);
    unlink(socket.c_str());

    ASSERT_TRUE(listening);
    EXPECT_EQ(qtest::Normalize(r.out), kClock + kForceGc);
    EXPECT_EQ(r.status, 0);
    std::map<std::string, std::string> fields = RecordFields(qtest::ReadFile(record));
    for (const auto& field : c.fields) {
      EXPECT_EQ(fields[field.first], field.second == "{tty}" ? terminal : field.second) << field.first;
    }
  }
  qtest::RemoveTree(dir);
}

}  // namespace
