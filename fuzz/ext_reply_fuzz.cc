// Fuzzes the reply handling of the extended control message (sendUdsMsg):
// the fuzz process serves its own control socket from a thread and answers
// with the input's bytes.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "fuzz_support.h"
#include "tools.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qfuzz::QuietStdout();
  return 0;
}

// Input: the option text up to the first NUL, then the reply.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\0');
  std::string text = input.substr(0, split);
  qfuzz::Script script;
  script.message_size = 1024;
  script.kick_reply = false;
  script.first = split == std::string::npos ? std::string() : input.substr(split + 1);

  qfuzz::ReplyServer& server = qfuzz::ReplyServer::Get();
  int kicks_before = qfuzz::g_kicks;
  int result = server.Run(script, [&] { return sendUdsMsg(getpid(), 0x400, 7, text.c_str()); });
  if (server.WasSlow()) return 0;
  // A hang-up before any byte of the reply is no acceptance.
  bool refused = script.first.empty() || script.first[0] == 'N';
  if (result != (refused ? -1 : 0)) abort();
  // The extended message has no kick.
  if (qfuzz::g_kicks != kicks_before) abort();
  return 0;
}
