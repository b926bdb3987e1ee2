// Fuzzes the whole argument loop of both command-line forms: RunCommandLine
// on an argv built from the input, with the probe, the load of --attach and
// the exchange stubbed (a real load would signal real processes).
#define QUELLIX_NO_MAIN

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <vector>

#include "../deps/inspector/cmds.cc"
#include "fuzz_support.h"

static bool g_probe_answer = false;
static bool g_attach_answer = false;
static bool g_deliver_plain = false;
static int g_exchanges = 0;
static int g_delivered = 0;
static int g_attaches = 0;

static bool StubProbe(int) { return g_probe_answer; }
static int StubAttach(int) {
  g_attaches++;
  return g_attach_answer ? 0 : -1;
}

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
  g_attach = StubAttach;
  g_exchange = StubExchange;
  return 0;
}

// Input: one byte of stub behaviour, then the arguments separated by NULs.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  g_probe_answer = (data[0] & 1) != 0;
  g_deliver_plain = (data[0] & 2) != 0;
  g_attach_answer = (data[0] & 4) != 0;
  g_exchanges = g_delivered = g_attaches = 0;
  std::vector<std::string> args = qfuzz::SplitAtNul(data + 1, size - 1);
  args.insert(args.begin(), "quellix");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  int status = RunCommandLine(static_cast<int>(args.size()), argv.data());
  if (status != 0 && status != 1) abort();
  if (strnlen(g_shm_buffer, sizeof(g_shm_buffer)) >= sizeof(g_shm_buffer)) abort();
  // --attach, wherever it stands, loads in place of the probe, once at most.
  const bool attach = std::count(args.begin(), args.end(), "--attach") > 0;
  if (g_attaches > 1 || (g_attaches == 1 && !attach)) abort();
  // One exchange at most, only for a target that passed the probe or was
  // loaded; success only when it was delivered, when --attach alone loaded,
  // or for the help and version forms.
  const bool accepted = attach ? g_attaches == 1 && g_attach_answer : g_probe_answer;
  if (g_exchanges > 1 || (g_exchanges == 1 && !accepted)) abort();
  const bool asks_about_tool = args.size() == 2 && (args[1] == "--help" || args[1] == "-h" || args[1] == "--version");
  if (asks_about_tool) {
    if (status != 0 || g_exchanges != 0) abort();
  } else if ((status == 0) != (g_delivered == 1 || (accepted && g_exchanges == 0 && attach))) {
    abort();
  }
  return 0;
}
