// Fuzzes the reply handling of the control socket exchange: the fuzz process
// serves its own control socket from a thread and answers with the input's
// bytes, so the listener check passes and the kick reaches its own handler.
#define QUELLIX_NO_MAIN

#include <stddef.h>
#include <stdint.h>

#include "../deps/inspector/cmds.cc"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qfuzz::QuietStdout();
  // An ask again is answered by a hang-up; waiting half a second for it
  // would slow the run a hundredfold.
  g_ask_again_every_us = 1000;
  return 0;
}

// Input: two bytes that split the rest into the first reply and the reply to
// the kick, then the replies.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  size_t split = (data[0] | static_cast<size_t>(data[1]) << 8) % (rest.size() + 1);
  qfuzz::Script script;
  script.first = rest.substr(0, split);
  script.second = rest.substr(split);
  snprintf(g_shm_buffer, sizeof(g_shm_buffer), "--trace_gc --specified_log_path=/tmp/gc-log.txt ");

  qfuzz::ReplyServer& server = qfuzz::ReplyServer::Get();
  int kicks_before = qfuzz::g_kicks;
  int result = server.Run(script, [] { return sendUdsMessage(getpid(), V8_OPTIONS); });
  int kicks = qfuzz::g_kicks - kicks_before;
  // Only an answer that is not a refusal earns the kick, and only one,
  // unless it says no kick is needed; a hang-up before any byte of it earns
  // nothing.
  if (server.WasSlow()) return 0;
  bool refused = script.first.empty() || script.first[0] == 'N';
  if (result != 0 && result != -1) abort();
  if (kicks != (refused || qfuzz::HasNoKickMark(script.first) ? 0 : 1)) abort();
  if (refused && result != -1) abort();
  return 0;
}
