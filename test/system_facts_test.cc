// Unit tests of what the system says of a target: whether it is node,
// whether it serves its control socket, and the lines of its TCP tables.
#include "system_facts.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support.h"

TEST(TcpTableTest, Lines) {
  struct Case {
    const char* line;
    bool parsed;
    int family = 0, port = 0, state = 0;
    unsigned long inode = 0;
    bool loopback = false;
  };
  // clang-format off
  const Case cases[] = {
      {"   0: 0100007F:240D 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 41233 1 0 100 0 0 10 0",
       true, AF_INET, 9229, 10, 41233, true},
      {"   1: 00000000:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 144 1 0 100 0 0 10 0",
       true, AF_INET, 2024, 10, 144, false},
      {"   2: 00000000000000000000000001000000:240D 00000000000000000000000000000000:0000 0A 00000000:00000000 "
       "00:00000000 00000000     0        0 777 1 0", true, AF_INET6, 9229, 10, 777, true},
      {"   3: 0000000000000000FFFF00000100007F:1F90 00000000000000000000000000000000:0000 01 00000000:00000000 "
       "00:00000000 00000000     0        0 778 1 0", true, AF_INET6, 8080, 1, 778, true},
      {"  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode", false},
      {"   4: 0100007F:1FFFFF 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1 1", false},
      {"   5: 0100007:240D 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1 1", false},
      {"", false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TcpSocket socket;
    ASSERT_EQ(c.parsed, ParseTcpLine(c.line, &socket));
    if (!c.parsed) continue;
    EXPECT_EQ(c.family, socket.family);
    EXPECT_EQ(c.port, socket.port);
    EXPECT_EQ(c.state, socket.state);
    EXPECT_EQ(c.inode, socket.inode);
    EXPECT_EQ(c.loopback, IsLoopbackSocket(socket));
  }
}

// The executable exports the entry point, or a shared libnode mapped into
// the process does; this test binary does neither until it loads one.
TEST(IsNodeProcessTest, ExecutableOrSharedLibnode) {
  qtest::Peer peer;
  EXPECT_TRUE(IsNodeProcess(peer.pid()));
  EXPECT_FALSE(IsNodeProcess(getpid()));
  EXPECT_FALSE(IsNodeProcess(0));
  void* libnode = dlopen(LIBNODE_STANDIN, RTLD_NOW);
  ASSERT_NE(nullptr, libnode) << dlerror();
  EXPECT_TRUE(IsNodeProcess(getpid()));
  dlclose(libnode);
}

// Only a listening socket at the path that the process itself holds counts.
TEST(ServesControlSocketTest, ListenerHeldByThePid) {
  const std::string path = qtest::SocketPath(getpid());
  unlink(path.c_str());
  EXPECT_FALSE(ServesControlSocket(getpid()));
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
  EXPECT_FALSE(ServesControlSocket(getpid()));  // bound, not listening
  ASSERT_EQ(0, listen(fd, 1));
  EXPECT_TRUE(ServesControlSocket(getpid()));
  // The same listener, held by another process only.
  pid_t holder = fork();
  if (holder == 0) {
    pause();
    _exit(0);
  }
  close(fd);
  EXPECT_FALSE(ServesControlSocket(getpid()));
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  // A socket's path with a line feed adds a line to /proc/net/unix that
  // names another socket of the process (here a TCP listener) as bound at
  // the path: the socket itself says it is not.
  unlink(path.c_str());
  fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
  int tcp = socket(AF_INET, SOCK_STREAM, 0);
  struct stat tcp_info;
  ASSERT_TRUE(tcp != -1 && listen(tcp, 1) == 0 && fstat(tcp, &tcp_info) == 0);
  const std::string dir = qtest::MakeTempDir();
  const std::string fake = dir + "/x\n0: 0 0 00010000 0001 01 " + std::to_string(tcp_info.st_ino) + " ";
  ASSERT_EQ(0, system(("mkdir -p '" + fake + "/tmp'").c_str()));
  struct sockaddr_un line = {};
  line.sun_family = AF_UNIX;
  snprintf(line.sun_path, sizeof(line.sun_path), "%s%s", fake.c_str(), path.c_str());
  int injector = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(0, bind(injector, reinterpret_cast<struct sockaddr*>(&line), sizeof(line))) << line.sun_path;
  EXPECT_FALSE(ServesControlSocket(getpid()));
  for (int open_fd : {fd, tcp, injector}) close(open_fd);
  unlink(path.c_str());
  qtest::RemoveTree(dir);
}
