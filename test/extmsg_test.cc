// The tools module's extended control message and version line, against the
// stand-in runtime reading 1024-byte messages.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "tools.h"
#include "watch.h"

namespace {

using qtest::Peer;

// sendUdsMsg's result, and what it printed into *out.
int Send(int pid, unsigned int mask, int parameter, const std::string& text, std::string* out) {
  testing::internal::CaptureStdout();
  int result = sendUdsMsg(pid, mask, parameter, text.c_str());
  fflush(stdout);
  *out = testing::internal::GetCapturedStdout();
  return result;
}

// Each message is 1024 bytes: mask, parameter (where the 512-byte message has
// the sender), text of at most 1015 characters, zeros.
TEST(SendUdsMsgTest, MessageLayoutAndTextBound) {
  auto peer = qtest::ListeningPeer({"--size", "1024", "--kick", "none"});
  const std::pair<size_t, size_t> lengths[] = {{0, 0}, {1015, 1015}, {1016, 1015}, {3000, 1015}};
  int n = 0;
  for (const auto& length : lengths) {
    SCOPED_TRACE(length.first);
    std::string text(length.first, static_cast<char>('a' + n)), out;
    EXPECT_EQ(0, Send(peer->pid(), 0x4000u + n, -7 - n, text, &out));
    EXPECT_EQ("", out);
    std::string message = peer->Message(n);
    ASSERT_EQ(1024u, message.size());
    EXPECT_EQ(0x4000u + n, qtest::MaskOf(message));
    EXPECT_EQ(-7 - n, qtest::SenderOf(message));
    EXPECT_EQ(text.substr(0, length.second), qtest::TextOf(message));
    EXPECT_TRUE(qtest::TailIsZero(message));
    n++;
  }
  // The stand-in records its kicks before it takes the next connection, so
  // a kick from any call but the last would show here.
  EXPECT_EQ(0, peer->Kicks());
}

// Only a reply whose verdict byte is 'N' is a refusal; a hang-up before any
// byte is no acceptance either.
TEST(SendUdsMsgTest, Replies) {
  struct Case {
    std::vector<std::string> options;
    int result;
    std::string printed;
  };
  const Case cases[] = {
      {{"--first", "accept", "--kick", "none"}, 0, ""},
      {{"--first", "byte:Y", "--kick", "none"}, 0, ""},
      {{"--first", "close", "--kick", "none"}, -1, "Runtime closed the connection without a reply.\n"},
      {{"--first", "refuse:not now, later", "--kick", "none"}, -1, "not now, later\n\n"},
      // The stand-in holds the connection open while it waits for a kick.
      {{"--first", "silent", "--kick", "accept"}, -1, "Runtime is busy, please try later. 0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[1]);
    std::vector<std::string> options = {"--size", "1024"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    auto peer = qtest::ListeningPeer(options);
    std::string out;
    EXPECT_EQ(c.result, Send(peer->pid(), 0x1, 0, "--trace_gc ", &out));
    EXPECT_EQ(c.printed, out);
    EXPECT_EQ("--trace_gc ", qtest::TextOf(peer->Message(0)));
  }
}

// Without a socket file the missing path is named before the connect fails;
// a socket file nobody listens on fails the connect alone.
TEST(SendUdsMsgTest, NoListener) {
  std::string path = qtest::SocketPath(getpid()), out;
  unlink(path.c_str());
  EXPECT_EQ(-1, Send(getpid(), 0x1, 0, "", &out));
  EXPECT_EQ(path + " does not exists.\nconnect socket failed\n", out);

  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  close(fd);
  EXPECT_EQ(-1, Send(getpid(), 0x1, 0, "", &out));
  unlink(path.c_str());
  EXPECT_EQ("connect socket failed\n", out);
}

// A socket under the pid's path served by another process gets nothing.
TEST(SendUdsMsgTest, SquatterGetsNothing) {
  qtest::Peer squatter({"--squat", std::to_string(getpid()), "--size", "1024", "--kick", "none"});
  std::string out;
  EXPECT_EQ(-1, Send(getpid(), 0x1, 0, "secret", &out));
  EXPECT_EQ("Socket " + qtest::SocketPath(getpid()) + " is not served by pid " + std::to_string(getpid()) + ".\n", out);
  squatter.Stop();
  EXPECT_EQ("", squatter.Message(0, 0));
}

TEST(PrintVersonTest, Line) {
  int local = 0;
  for (const void* pointer : {static_cast<const void*>(&local), static_cast<const void*>(nullptr)}) {
    char expected[128];
    snprintf(expected, sizeof(expected), "[%d:%p] version:10.16.0, gitversion:7b5510fa\n", getpid(), pointer);
    testing::internal::CaptureStdout();
    PrintVerson(pointer);
    fflush(stdout);
    EXPECT_EQ(expected, testing::internal::GetCapturedStdout());
  }
}

}  // namespace
