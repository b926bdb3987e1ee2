// Unit tests of watching a target's sockets: new listeners of its own
// found one at a time, and connections to a listener that this process did
// not make with the inspector client.
#include "inspector_watch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <string>

#include "inspector_client.h"
#include "support.h"

namespace {

TcpSocket Address(int family, const char* text, int port) {
  TcpSocket socket = {};
  socket.family = family;
  inet_pton(family, text, socket.address);
  socket.port = port;
  return socket;
}

TEST(PeerIsListenerTest, Table) {
  struct Case {
    int family;
    const char* peer;
    int peer_port;
    TcpSocket listener;
    bool same;
  };
  // clang-format off
  const Case cases[] = {
      {AF_INET, "127.0.0.1", 9229, Address(AF_INET, "127.0.0.1", 9229), true},
      {AF_INET6, "::ffff:127.0.0.1", 9229, Address(AF_INET, "127.0.0.1", 9229), true},
      {AF_INET, "127.0.0.1", 9229, Address(AF_INET6, "::ffff:127.0.0.1", 9229), true},
      {AF_INET6, "::1", 9229, Address(AF_INET6, "::1", 9229), true},
      {AF_INET, "127.0.0.1", 9230, Address(AF_INET, "127.0.0.1", 9229), false},
      {AF_INET, "127.0.0.2", 9229, Address(AF_INET, "127.0.0.1", 9229), false},
      {AF_INET6, "::1", 9229, Address(AF_INET, "127.0.0.1", 9229), false},
      {AF_INET6, "::2", 9229, Address(AF_INET6, "::1", 9229), false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.peer) + ":" + std::to_string(c.peer_port));
    TcpSocket socket = {};
    socket.family = c.family;
    inet_pton(c.family, c.peer, socket.peer);
    socket.peer_port = c.peer_port;
    EXPECT_EQ(c.same, PeerIsListener(socket, c.listener));
  }
}

TEST(ListenerViewTest, PortsAndAddresses) {
  static ListenerView view;
  view.count = 4;
  view.listeners[0] = Address(AF_INET, "0.0.0.0", 22);
  view.listeners[1] = Address(AF_INET6, "::", 22);
  view.listeners[2] = Address(AF_INET, "127.0.0.1", 8080);
  view.listeners[3] = Address(AF_INET6, "::1", 9229);
  int ports[8];
  ASSERT_EQ(3, ListeningPorts(view, ports, 8));
  EXPECT_EQ(22, ports[0]);
  EXPECT_EQ(8080, ports[1]);
  EXPECT_EQ(9229, ports[2]);
  EXPECT_EQ(1, ListeningPorts(view, ports, 1));
  char text[64];
  for (int i = 0; i < 4; i++) {
    TcpSocket reachable = ReachableAddress(view.listeners[i]);
    inet_ntop(reachable.family, reachable.address, text, sizeof(text));
    const char* expected[] = {"127.0.0.1", "::1", "127.0.0.1", "::1"};
    EXPECT_STREQ(expected[i], text);
    EXPECT_EQ(view.listeners[i].port, reachable.port);
  }
}

int Listener() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 8) != 0) return -1;
  return fd;
}

unsigned long InodeOf(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 ? info.st_ino : 0;
}

TcpSocket AsListener(int fd) {
  struct sockaddr_in address = {};
  socklen_t len = sizeof(address);
  getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &len);
  TcpSocket listener = Address(AF_INET, "127.0.0.1", ntohs(address.sin_port));
  listener.inode = InodeOf(fd);
  return listener;
}

// This process plays the target: its listener made after the view is
// found once; another process's new listener is passed over.
TEST(NewListenerTest, OwnNewListenersOnce) {
  SockDiag diag;
  ASSERT_TRUE(OpenSockDiag(getpid(), &diag));
  static ListenerView before;
  ASSERT_TRUE(ReadListenerView(getpid(), &diag, &before));
  static NewListenerSearch search;
  StartNewListenerSearch(&search, &before);
  TcpSocket found;
  // Listeners that come and go elsewhere on the machine are never this process's.
  while (NextNewListener(getpid(), &diag, &search, &found) == 1) {
  }
  pid_t other = fork();
  if (other == 0) {
    Listener();
    alarm(30);
    pause();
    _exit(0);
  }
  int fd = Listener();
  ASSERT_NE(-1, fd);
  ASSERT_EQ(1, NextNewListener(getpid(), &diag, &search, &found));
  EXPECT_EQ(InodeOf(fd), found.inode);
  EXPECT_EQ(AsListener(fd).port, found.port);
  EXPECT_EQ(0, NextNewListener(getpid(), &diag, &search, &found)) << "found once";
  EXPECT_EQ(1, StillListens(getpid(), &diag, found));
  LookAgainAt(&search, found.inode);
  EXPECT_EQ(1, NextNewListener(getpid(), &diag, &search, &found)) << "asked for again";
  close(fd);
  EXPECT_EQ(0, StillListens(getpid(), &diag, found));
  kill(other, SIGKILL);
  qtest::Reap(other, 3000);
  CloseSockDiag(&diag);
}

// A connection made with the inspector client is this process's own; one
// made otherwise is reported with its holder and owner.
TEST(ForeignConnectionTest, OwnAndOthers) {
  int fd = Listener();
  ASSERT_NE(-1, fd);
  const TcpSocket listener = AsListener(fd);
  SockDiag diag;
  ASSERT_TRUE(OpenSockDiag(getpid(), &diag));
  Intrusion intrusion = {};
  int own = ConnectToListener(getpid(), listener, 2000);
  ASSERT_NE(-1, own);
  EXPECT_FALSE(FindForeignConnection(&diag, listener, &intrusion));
  int other = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(listener.port));
  ASSERT_EQ(0, connect(other, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)));
  EXPECT_TRUE(FindForeignConnection(&diag, listener, &intrusion));
  EXPECT_TRUE(intrusion.seen);
  EXPECT_EQ(getpid(), intrusion.holder);
  EXPECT_EQ(geteuid(), intrusion.uid);
  // Once seen, it stays seen.
  close(other);
  EXPECT_TRUE(FindForeignConnection(&diag, listener, &intrusion));
  Intrusion fresh = {};
  EXPECT_FALSE(FindForeignConnection(&diag, listener, &fresh)) << "a closed connection is nobody's any more";
  close(own);
  close(fd);
  CloseSockDiag(&diag);
}

}  // namespace
