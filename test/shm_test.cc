// The tools module's shared-memory channel, against real System V shared
// memory. ShareMemoryRead keys by the caller's pid, so the segment here is
// keyed by this process's pid, which no other process has; TearDown removes
// it, also when a test fails. Refused access is shown in a child with a
// private IPC namespace, whose segments vanish with it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "support.h"
#include "tools.h"

namespace {

class ShareMemoryTest : public testing::Test {
 protected:
  // Another program's segment is never taken over, nor removed.
  void SetUp() override {
    ASSERT_EQ(-1, shmget(key_, 0, 0)) << "a segment under " << key_ << " exists";
    owned_ = true;
  }
  void TearDown() override {
    int id = shmget(key_, 0, 0);
    if (owned_ && id != -1) shmctl(id, IPC_RMID, nullptr);
  }

  // ShareMemoryRead's result; fills text_, value_ and err_ (its stderr).
  bool Read() {
    std::vector<char> buffer(OPTION_TEXT_SIZE + 16, '#');
    testing::internal::CaptureStderr();
    bool ok = ShareMemoryRead(buffer.data(), &value_);
    err_ = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string(16, '#'), std::string(buffer.end() - 16, buffer.end())) << "written past 4091 bytes";
    text_.assign(buffer.data(), strnlen(buffer.data(), OPTION_TEXT_SIZE));
    return ok;
  }
  std::string Stderr(const std::function<bool()>& call, bool* result) {
    testing::internal::CaptureStderr();
    *result = call();
    return testing::internal::GetCapturedStderr();
  }
  // The segment's first size bytes, through a mapping of its own.
  std::string Bytes(size_t size) {
    void* segment = shmat(shmget(key_, 0, 0), nullptr, SHM_RDONLY);
    if (segment == reinterpret_cast<void*>(-1)) return std::string();
    std::string bytes(static_cast<const char*>(segment), size);
    shmdt(segment);
    return bytes;
  }

  const int key_ = getpid();
  bool owned_ = false, result_ = false;
  std::string text_, err_;
  int value_ = -5;
};

TEST_F(ShareMemoryTest, InitCreatesOnceAndZeroFilled) {
  EXPECT_TRUE(ShareMemoryInit(key_));
  struct shmid_ds info;
  ASSERT_EQ(0, shmctl(shmget(key_, 0, 0), IPC_STAT, &info));
  EXPECT_EQ(4096u, info.shm_segsz);
  EXPECT_EQ(0666, info.shm_perm.mode & 0777);
  EXPECT_EQ("ShareMemoryInit shmget error: File exists\n", Stderr([&] { return ShareMemoryInit(key_); }, &result_));
  EXPECT_FALSE(result_);
  EXPECT_TRUE(Read());
  EXPECT_EQ(0, value_);
  EXPECT_EQ("", text_);
  EXPECT_EQ("", err_);
}

TEST_F(ShareMemoryTest, WriteCreatesReusesAndKeepsTextOnNull) {
  EXPECT_TRUE(ShareMemoryWrite(7, "--trace_gc ", key_));
  int id = shmget(key_, 0, 0);
  ASSERT_NE(-1, id);
  EXPECT_TRUE(ShareMemoryWrite(-8, nullptr, key_));
  EXPECT_EQ(id, shmget(key_, 0, 0));
  for (int pass = 0; pass < 2; pass++) {  // a read leaves the segment as it is
    EXPECT_TRUE(Read());
    EXPECT_EQ(-8, value_);
    EXPECT_EQ("--trace_gc ", text_);
  }
  EXPECT_TRUE(ShareMemoryWrite(9, "", key_));
  EXPECT_TRUE(Read());
  EXPECT_EQ(9, value_);
  EXPECT_EQ("", text_);
}

// 4090 characters pass whole, longer texts are cut to 4090 with the NUL
// behind, and the last byte is never written; a text without a NUL left by
// another program is read cut to 4090 as well.
TEST_F(ShareMemoryTest, TextBound) {
  for (size_t length : {4090u, 4091u, 6000u}) {
    SCOPED_TRACE(length);
    EXPECT_TRUE(ShareMemoryWrite(1, std::string(length, 'a').c_str(), key_));
    EXPECT_EQ(std::string(4090, 'a') + std::string(2, '\0'), Bytes(4096).substr(4));
    EXPECT_TRUE(Read());
    EXPECT_EQ(std::string(4090, 'a'), text_);
  }
  void* segment = shmat(shmget(key_, 0, 0), nullptr, 0);
  ASSERT_NE(reinterpret_cast<void*>(-1), segment);
  memset(static_cast<char*>(segment) + 4, 'y', 4092);
  shmdt(segment);
  EXPECT_TRUE(Read());
  EXPECT_EQ(std::string(4090, 'y'), text_);
}

TEST_F(ShareMemoryTest, ReadWithoutSegment) {
  EXPECT_FALSE(Read());
  EXPECT_EQ("shmget error, please try later.: No such file or directory\n", err_);
  EXPECT_EQ(-5, value_);
}

// A smaller segment made by another program is neither written nor read.
TEST_F(ShareMemoryTest, SmallerSegmentRefused) {
  ASSERT_NE(-1, shmget(key_, 100, IPC_CREAT | IPC_EXCL | 0666));
  const std::string refusal = "shared memory segment is smaller than 4096 bytes: Invalid argument\n";
  EXPECT_EQ(refusal, Stderr([&] { return ShareMemoryWrite(3, std::string(200, 'w').c_str(), key_); }, &result_));
  EXPECT_FALSE(result_);
  // The mapping is a whole page: nothing was written in it, nor past the end.
  EXPECT_EQ(std::string(4096, '\0'), Bytes(4096));
  EXPECT_FALSE(Read());
  EXPECT_EQ(refusal, err_);
  EXPECT_EQ(-5, value_);
}

// Key 0 would make a new, unreachable segment on every call.
TEST_F(ShareMemoryTest, PrivateKeyRefused) {
  EXPECT_EQ("ShareMemoryInit shmget error: Invalid argument\n", Stderr([] { return ShareMemoryInit(0); }, &result_));
  EXPECT_FALSE(result_);
  EXPECT_EQ("shmget error, please try later.\n: Invalid argument\n",
            Stderr([] { return ShareMemoryWrite(1, "x", 0); }, &result_));
  EXPECT_FALSE(result_);
}

// The messages ending in a line end put perror's colon on the next line.
TEST_F(ShareMemoryTest, PerrorTextsOfRefusedAccess) {
  int err[2];
  ASSERT_EQ(0, pipe(err));
  pid_t child = fork();
  ASSERT_NE(-1, child) << strerror(errno);
  if (child == 0) {
    dup2(err[1], STDERR_FILENO);
    // Read-only for everyone, under the child's own pid for the read.
    if (unshare(CLONE_NEWIPC) != 0 || shmget(getpid(), 4096, IPC_CREAT | 0444) == -1) _exit(77);
    int limit = open("/proc/sys/kernel/shmmax", O_WRONLY);
    if (limit == -1 || write(limit, "100", 3) != 3) _exit(77);
    bool refused = !ShareMemoryWrite(1, "x", 12345);  // a new segment larger than allowed
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
    char text[OPTION_TEXT_SIZE];
    int value;
    refused = !ShareMemoryWrite(1, "x", getpid()) && !ShareMemoryRead(text, &value) && refused;
    _exit(refused ? 0 : 1);
  }
  close(err[1]);
  int status = qtest::Reap(child, 5000);
  std::string printed;
  char buf[512];
  for (ssize_t n; (n = read(err[0], buf, sizeof(buf))) > 0;) printed.append(buf, static_cast<size_t>(n));
  close(err[0]);
  ASSERT_TRUE(status != -1 && WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private IPC namespace with its own limits here";
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(
      "shmget error, please try later.\n: Invalid argument\n"
      "shmat error, please try later.\n: Permission denied\n"
      "shmat error, please try later.\n: Permission denied\n",
      printed);
}

}  // namespace
