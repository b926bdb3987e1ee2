// Fuzzes the reading of a target's environment (GetLogDir on
// /proc/<pid>/environ): the input's NUL-separated pieces become the whole
// environment of a child, and GetLogDir reads it back from the kernel.
#define QUELLIX_NO_MAIN

#include <sched.h>
#include <spawn.h>
#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "../deps/inspector/cmds.cc"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qfuzz::QuietStdout();
  // Only the child's environment may name the directory.
  unsetenv(NODE_LOG_DIR_ENV_NAME);
  return 0;
}

// Closes the environment, so that the harness can tell when it is in place.
static const char kSentinel[] = "QUELLIX_FUZZ_SENTINEL=1";

// posix_spawn returns when the child's old memory is released, a moment
// before the kernel records where its new environment lies: wait until the
// environ file ends with the sentinel (bounded by a count, not a clock).
static bool WaitForEnvironment(pid_t child) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/environ", static_cast<int>(child));
  for (int attempt = 0; attempt < 100000; attempt++) {
    std::string text;
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return false;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), file)) > 0) text.append(buf, n);
    fclose(file);
    const std::string tail = std::string(kSentinel) + '\0';
    if (text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0) return true;
    sched_yield();
  }
  return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> entries = qfuzz::SplitAtNul(data, size);
  // Entries the dynamic loader acts on could keep the child from starting.
  for (const std::string& entry : entries) {
    if (entry.compare(0, 3, "LD_") == 0 || entry.compare(0, 14, "GLIBC_TUNABLES") == 0) return 0;
  }
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(&entry[0]);
  envp.push_back(const_cast<char*>(kSentinel));
  envp.push_back(nullptr);
  char* const argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("30"), nullptr};
  pid_t child;
  if (posix_spawn(&child, argv[0], nullptr, nullptr, argv, envp.data()) != 0) return 0;
  if (!WaitForEnvironment(child)) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return 0;
  }

  char dir[1024];
  memset(dir, 'x', sizeof(dir));
  GetLogDir(child, dir);
  // A child that is already gone has no environment to compare with.
  bool alive = waitpid(child, nullptr, WNOHANG) == 0;
  kill(child, SIGKILL);
  while (alive && waitpid(child, nullptr, 0) == -1 && errno == EINTR) {
  }
  if (!alive) return 0;

  std::string expected = DEFAULT_LOG_DIR;
  for (const std::string& entry : entries) {
    if (entry.compare(0, strlen(NODE_LOG_DIR_ENV), NODE_LOG_DIR_ENV) == 0) {
      expected = entry.substr(strlen(NODE_LOG_DIR_ENV));
      if (expected.empty() || expected.back() != '/') expected += '/';
      break;
    }
  }
  expected.resize(std::min(expected.size(), sizeof(dir) - 1));
  if (strnlen(dir, sizeof(dir)) == sizeof(dir) || expected != dir) abort();
  return 0;
}
