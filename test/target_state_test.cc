// Unit tests of what a target is doing and the memory it has left: where
// its main thread waits, unread wake-ups of its event loops, and the room
// under its memory cgroups.
#include "target_state.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "support.h"

namespace {

TEST(MainThreadTest, EpollWaitLines) {
  const std::string pwait = std::to_string(SYS_epoll_pwait) + " 0xe 0x7ffc7b6fb640 0x400 0xea60 0x0 0x8 0x7ffc 0x7f28";
  EXPECT_TRUE(IsEpollWait(pwait.c_str(), 'S'));
  EXPECT_TRUE(IsEpollWait("441 0x3 0x0 0x0 0x0 0x0 0x0 0x7ffc 0x7f28", 'S'));
  EXPECT_FALSE(IsEpollWait(pwait.c_str(), 'R')) << "woken, not waiting any more";
  EXPECT_FALSE(IsEpollWait(pwait.c_str(), 'D'));
  const std::string futex = std::to_string(SYS_futex) + " 0x38b2f910 0x189 0x0 0x0 0x0 0xffffffff 0x7f 0x7f";
  EXPECT_FALSE(IsEpollWait(futex.c_str(), 'S'));
  EXPECT_FALSE(IsEpollWait("running", 'R'));
  EXPECT_FALSE(IsEpollWait("-1 0x7ffc 0x7f28", 'S'));
  EXPECT_FALSE(IsEpollWait("", 'S'));
  EXPECT_FALSE(IsEpollWait((std::to_string(SYS_epoll_pwait) + "x").c_str(), 'S'));
}

// A child that waits as told until it is killed: in epoll_wait, or in a
// sleep; it first leaves an eventfd with an unread count when asked.
pid_t StartWaiter(bool in_epoll, bool unread) {
  pid_t child = fork();
  if (child != 0) return child;
  alarm(30);
  int event = eventfd(unread ? 1 : 0, 0);
  if (event == -1) _exit(1);
  if (in_epoll) {
    int poller = epoll_create1(0);
    struct epoll_event never[1];
    for (;;) epoll_wait(poller, never, 1, -1);
  }
  for (;;) pause();
}

// Waits until the child sleeps (in whatever call) and then asks.
bool WaitsInLoop(pid_t child) {
  qtest::WaitFor([&] {
    std::string stat = qtest::ReadFile("/proc/" + std::to_string(child) + "/stat");
    size_t end = stat.rfind(')');
    return end != std::string::npos && stat.size() > end + 2 && stat[end + 2] == 'S';
  });
  return MainThreadWaitsInLoop(child);
}

TEST(MainThreadTest, RealWaits) {
  struct Case {
    const char* name;
    bool in_epoll, unread;
  };
  const Case cases[] = {{"idle in its loop", true, false}, {"elsewhere, a wake-up unread", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pid_t child = StartWaiter(c.in_epoll, c.unread);
    ASSERT_GT(child, 0);
    EXPECT_EQ(c.in_epoll, WaitsInLoop(child));
    EXPECT_EQ(c.unread, HasUnreadWakeup(child));
    kill(child, SIGKILL);
    qtest::Reap(child, 3000);
  }
  // A process that cannot be read: busy, as far as anyone can tell.
  EXPECT_FALSE(MainThreadWaitsInLoop(999999999));
  EXPECT_TRUE(HasUnreadWakeup(999999999));
}

TEST(MemoryCgroupTest, Mounts) {
  const char kV1[] =
      "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
      "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
  const char kV2[] = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";
  const char kNested[] = "30 23 0:26 /kube/pod1 /sys/fs/cgroup\\040here rw - cgroup2 cgroup2 rw\n";
  const char kCombined[] = "35 31 0:32 / /cg/cpu,memory rw - cgroup cgroup rw,cpu,memory\n";
  struct Case {
    const char* name;
    const char* cgroups;
    const char* mountinfo;
    bool found;
    const char* dir = "";
    const char* top = "";
    bool v1 = false;
  };
  // clang-format off
  const Case cases[] = {
      {"v1 first on a hybrid host", "4:memory:/app/x\n0::/other\n", kV1, true, "/sys/fs/cgroup/memory/app/x",
       "/sys/fs/cgroup/memory", true},
      {"v2", "0::/system.slice/app.service\n", kV2, true, "/sys/fs/cgroup/system.slice/app.service", "/sys/fs/cgroup"},
      {"v2 at the root", "0::/\n", kV2, true, "/sys/fs/cgroup", "/sys/fs/cgroup"},
      {"a mount of a subtree, its name escaped", "0::/kube/pod1/c1\n", kNested, true, "/sys/fs/cgroup here/c1",
       "/sys/fs/cgroup here"},
      {"a cgroup outside the mount's subtree", "0::/kube/pod2/c1\n", kNested, false},
      {"a prefix that is no parent", "0::/kube/pod10\n", kNested, false},
      {"outside the reader's namespace", "0::/../../x\n", kV2, false},
      {"controllers mounted together", "5:cpu,memory:/a\n", kCombined, true, "/cg/cpu,memory/a", "/cg/cpu,memory",
       true},
      {"a v1 line without memory", "4:cpu:/a\n", kV1, false},
      {"no mount", "0::/a\n", "", false},
      {"garbage", "memory\n::\n", "x - y\n - \n", false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char dir[256] = "", top[256] = "";
    bool v1 = false;
    ASSERT_EQ(c.found, FindMemoryCgroup(c.cgroups, c.mountinfo, dir, top, sizeof(dir), &v1));
    if (!c.found) continue;
    EXPECT_STREQ(c.dir, dir);
    EXPECT_STREQ(c.top, top);
    EXPECT_EQ(c.v1, v1);
  }
}

// Writes text into path; false when it cannot.
bool WriteText(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd == -1) return false;
  bool done = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return done;
}

// A child in a memory cgroup of its own with a 64 MB limit has at most that
// left; outside it, nothing here limits it as much.
TEST(MemoryRoomTest, CgroupLimit) {
  const std::string own = qtest::ReadFile("/proc/self/cgroup");
  size_t at = own.find(":memory:");
  std::string dir, limit_file;
  if (at != std::string::npos) {
    dir = "/sys/fs/cgroup/memory" + own.substr(at + 8, own.find('\n', at) - at - 8);
    limit_file = "memory.limit_in_bytes";
  } else if ((at = own.find("0::")) != std::string::npos) {
    dir = "/sys/fs/cgroup" + own.substr(at + 3, own.find('\n', at) - at - 3);
    limit_file = "memory.max";
  }
  dir += "/quellix-test-" + std::to_string(getpid());
  if (mkdir(dir.c_str(), 0755) != 0) GTEST_SKIP() << "cannot make a memory cgroup here: " << dir;
  const int64_t kLimit = 64 * 1024 * 1024;
  if (!WriteText(dir + "/" + limit_file, std::to_string(kLimit))) {
    rmdir(dir.c_str());
    GTEST_SKIP() << "cannot limit a memory cgroup here: " << dir;
  }
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t child = fork();
  if (child == 0) {
    char byte;
    alarm(30);
    if (read(ready[0], &byte, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  const MemoryRoom outside = GetMemoryRoom(child);
  const bool moved = WriteText(dir + "/cgroup.procs", std::to_string(child));
  const MemoryRoom inside = GetMemoryRoom(child);
  kill(child, SIGKILL);
  qtest::Reap(child, 3000);
  close(ready[0]);
  close(ready[1]);
  rmdir(dir.c_str());
  ASSERT_TRUE(moved);
  EXPECT_TRUE(inside.cgroup);
  EXPECT_LE(inside.bytes, kLimit);
  EXPECT_GT(inside.bytes, kLimit / 2) << "the child itself uses little";
  EXPECT_GT(outside.bytes, kLimit);
  EXPECT_GT(GetMemoryRoom(999999999).bytes, 0) << "a process that cannot be read: the host's room";
}

}  // namespace
