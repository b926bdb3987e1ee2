// Fuzzes the reading of a stack file, which the runtime writes: whatever it
// holds, the lines printed stay within their buffers, and the members added
// to the --json object stay JSON (the last one, an array of frames or an
// object of handles, can be read back whole).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"
#include "json.h"
#include "report.h"
#include "stack.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qfuzz::QuietStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ClearReportMembers();
  int status = PrintStackFile(4321, text.c_str(), text.size());
  if (status != 0 && status != 1) abort();
  const char* members = ReportMembers();
  size_t len = strnlen(members, 32768);
  if (len >= 32768) abort();
  if (len > 0) {
    const std::string object = "{" + std::string(members + 1, len - 1) + "}";
    static char value[32768];
    char state[16];
    if (JsonMember(object.data(), object.size(), "state", false, state, sizeof(state)) != 's') abort();
    if (strcmp(state, "running") == 0 &&
        JsonMember(object.data(), object.size(), "frames", false, value, sizeof(value)) != 'a')
      abort();
    if (strcmp(state, "idle") == 0 &&
        JsonMember(object.data(), object.size(), "handles", false, value, sizeof(value)) != 'o')
      abort();
  }
  ClearReportMembers();
  return 0;
}
