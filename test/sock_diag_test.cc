// Unit tests of asking the kernel for a namespace's TCP sockets: the reader
// of its answers, and real dumps of listeners and connections (another
// namespace's are asked by every --attach test, whose targets run in
// namespaces of their own).
#include "sock_diag.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

// One netlink message as the kernel writes it, padded to 4 bytes unless cut.
std::string Message(uint16_t type, uint32_t seq, const void* body, size_t len, bool pad = true) {
  struct nlmsghdr head = {};
  head.nlmsg_len = static_cast<uint32_t>(sizeof(head) + len);
  head.nlmsg_type = type;
  head.nlmsg_seq = seq;
  std::string text(reinterpret_cast<const char*>(&head), sizeof(head));
  text.append(static_cast<const char*>(body), len);
  while (pad && text.size() % 4 != 0) text.push_back('\0');
  return text;
}

std::string Socket(uint32_t seq, int family, const char* local, int port, const char* peer, int peer_port,
                   uint32_t inode, uint32_t uid = 1000) {
  struct inet_diag_msg msg = {};
  msg.idiag_family = static_cast<uint8_t>(family);
  msg.idiag_state = 1;
  inet_pton(family, local, msg.id.idiag_src);
  inet_pton(family, peer, msg.id.idiag_dst);
  msg.id.idiag_sport = htons(static_cast<uint16_t>(port));
  msg.id.idiag_dport = htons(static_cast<uint16_t>(peer_port));
  msg.idiag_inode = inode;
  msg.idiag_uid = uid;
  return Message(SOCK_DIAG_BY_FAMILY, seq, &msg, sizeof(msg));
}

std::string Done(uint32_t seq) {
  int zero = 0;
  return Message(NLMSG_DONE, seq, &zero, sizeof(zero));
}

std::string Error(uint32_t seq, int error) {
  struct nlmsgerr body = {};
  body.error = -error;
  return Message(NLMSG_ERROR, seq, &body, sizeof(body));
}

TEST(SockDiagReplyTest, Table) {
  const std::string v4 = Socket(7, AF_INET, "127.0.0.1", 40000, "127.0.0.1", 9229, 111);
  const std::string v6 = Socket(7, AF_INET6, "::1", 40001, "::ffff:127.0.0.1", 9229, 112, 0);
  struct inet_diag_msg short_msg = {};
  struct inet_diag_msg other = {};
  other.idiag_family = AF_UNIX;
  struct Case {
    const char* name;
    std::string data;
    int result;
    int count;
    int error = 0;
  };
  // clang-format off
  const Case cases[] = {
      {"two sockets and the end", v4 + v6 + Done(7), 1, 2},
      {"more to come", v4 + v6, 0, 2},
      {"an earlier request's answer is passed over", Socket(6, AF_INET, "10.0.0.1", 1, "10.0.0.2", 2, 9) + Done(6) + v4,
       0, 1},
      {"the end alone", Done(7), 1, 0},
      {"an error answer", Error(7, EPERM), -1, 0, EPERM},
      {"an error without its number", Message(NLMSG_ERROR, 7, "", 0), -1, 0, EPROTO},
      {"a cut header", v4 + std::string(10, '\0'), -1, 1},
      {"a length beyond the data", v4.substr(0, v4.size() - 4), -1, 0},
      {"a length below a header", Message(SOCK_DIAG_BY_FAMILY, 7, "", 0).replace(0, 4, std::string("\x08\0\0\0", 4)),
       -1, 0},
      {"a socket message cut short", Message(SOCK_DIAG_BY_FAMILY, 7, &short_msg, sizeof(short_msg) - 1), -1, 0},
      {"another family", Message(SOCK_DIAG_BY_FAMILY, 7, &other, sizeof(other)), -1, 0},
      {"an unknown message", Message(99, 7, "abcd", 4), -1, 0},
      {"the last message unpadded", v4 + Message(NLMSG_DONE, 7, "x", 1, false), 1, 1},
      {"nothing", "", 0, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TcpSocket sockets[4];
    int count = 0;
    errno = 0;
    EXPECT_EQ(c.result, ParseSockDiagReply(reinterpret_cast<const unsigned char*>(c.data.data()), c.data.size(), 7,
                                           sockets, 4, &count));
    const int error = errno;
    EXPECT_EQ(c.count, count);
    if (c.error != 0) {
      EXPECT_EQ(c.error, error);
    }
  }
}

TEST(SockDiagReplyTest, FieldsAndBound) {
  const std::string data = Socket(3, AF_INET, "127.0.0.1", 40000, "127.0.0.2", 9229, 111) +
                           Socket(3, AF_INET6, "::1", 40001, "::1", 9230, 112, 0) + Done(3);
  TcpSocket sockets[1];
  int count = 0;
  ASSERT_EQ(
      1, ParseSockDiagReply(reinterpret_cast<const unsigned char*>(data.data()), data.size(), 3, sockets, 1, &count));
  EXPECT_EQ(2, count) << "counted beyond what is stored";
  const TcpSocket& s = sockets[0];
  EXPECT_EQ(AF_INET, s.family);
  EXPECT_EQ(40000, s.port);
  EXPECT_EQ(9229, s.peer_port);
  EXPECT_EQ(111u, s.inode);
  EXPECT_EQ(1000u, s.uid);
  EXPECT_EQ(1, s.state);
  const unsigned char local[4] = {127, 0, 0, 1}, peer[4] = {127, 0, 0, 2};
  EXPECT_EQ(0, memcmp(local, s.address, 4));
  EXPECT_EQ(0, memcmp(peer, s.peer, 4));
}

unsigned long InodeOf(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 ? info.st_ino : 0;
}

int Port(int fd) {
  struct sockaddr_in address = {};
  socklen_t len = sizeof(address);
  getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &len);
  return ntohs(address.sin_port);
}

// A listener and a connection of this process, found by the kernel's dump
// of this namespace: listeners by state, connections by their peer's port.
TEST(DumpTcpSocketsTest, ListenersAndConnections) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)));
  ASSERT_EQ(0, listen(listener, 4));
  const int port = Port(listener);
  address.sin_port = htons(static_cast<uint16_t>(port));
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(0, connect(client, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)));

  SockDiag diag;
  ASSERT_TRUE(OpenSockDiag(getpid(), &diag)) << strerror(errno);
  static TcpSocket sockets[8192];
  int count = DumpTcpSockets(&diag, TCP_MASK_LISTEN, 0, sockets, 8192);
  ASSERT_GE(count, 1) << strerror(errno);
  int found = 0;
  for (int i = 0; i < count; i++) {
    EXPECT_EQ(10, sockets[i].state);
    if (sockets[i].inode == InodeOf(listener)) {
      found++;
      EXPECT_EQ(port, sockets[i].port);
      EXPECT_EQ(geteuid(), sockets[i].uid);
    }
  }
  EXPECT_EQ(1, found);

  // The client side only: the accepted side's peer is the client's port.
  count = DumpTcpSockets(&diag, TCP_MASK_CONNECTED, port, sockets, 8192);
  ASSERT_GE(count, 1) << strerror(errno);
  found = 0;
  for (int i = 0; i < count; i++) {
    EXPECT_EQ(port, sockets[i].peer_port);
    if (sockets[i].inode != InodeOf(client)) continue;
    found++;
    EXPECT_EQ(Port(client), sockets[i].port);
    EXPECT_EQ(1, sockets[i].state);
  }
  EXPECT_EQ(1, found);
  // Too many for the room given.
  EXPECT_EQ(-1, DumpTcpSockets(&diag, TCP_MASK_LISTEN, 0, sockets, 0));
  EXPECT_EQ(EOVERFLOW, errno);
  // After a fault the socket is made again.
  CloseSockDiag(&diag);
  EXPECT_GE(DumpTcpSockets(&diag, TCP_MASK_CONNECTED, port, sockets, 8192), 1);
  CloseSockDiag(&diag);
  close(client);
  close(listener);
}

}  // namespace
