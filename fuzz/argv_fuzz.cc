// Fuzzes the whole argument loop of both command-line forms: RunCommandLine
// on an argv built from the input, with the probe and the exchange stubbed.
#define QUELLIX_NO_MAIN

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "../deps/inspector/cmds.cc"
#include "fuzz_support.h"

static bool g_probe_answer = false;
static bool g_deliver_plain = false;
static int g_exchanges = 0;
static int g_delivered = 0;

static bool StubProbe(int) { return g_probe_answer; }

// A delivered command with a stop kind would fork the deferred stop and exit:
// the stub fails every exchange that could get one.
static int StubExchange(int, unsigned int mask) {
  g_exchanges++;
  if (!g_deliver_plain) return -1;
  if ((mask & TIMED_COMMANDS) != 0) return -1;
  if (IsLogFileNeeded(static_cast<int>(mask)) && FindResultFile(mask).stop_kind != 0) return -1;
  g_delivered++;
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qfuzz::QuietStdout();
  g_probe = StubProbe;
  g_exchange = StubExchange;
  return 0;
}

// Input: one byte of stub behaviour, then the arguments separated by NULs.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  g_probe_answer = (data[0] & 1) != 0;
  g_deliver_plain = (data[0] & 2) != 0;
  g_exchanges = g_delivered = 0;
  std::vector<std::string> args = qfuzz::SplitAtNul(data + 1, size - 1);
  args.insert(args.begin(), "quellix");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  int status = RunCommandLine(static_cast<int>(args.size()), argv.data());
  if (status != 0 && status != 1) abort();
  if (strnlen(g_shm_buffer, sizeof(g_shm_buffer)) >= sizeof(g_shm_buffer)) abort();
  // One exchange at most, only for a target that passed the probe; success
  // only when it was delivered, or for the help and version forms.
  if (g_exchanges > 1 || (g_exchanges == 1 && !g_probe_answer)) abort();
  const bool asks_about_tool = args.size() == 2 && (args[1] == "--help" || args[1] == "-h" || args[1] == "--version");
  if (asks_about_tool) {
    if (status != 0 || g_exchanges != 0) abort();
  } else if ((status == 0) != (g_delivered == 1)) {
    abort();
  }
  return 0;
}
