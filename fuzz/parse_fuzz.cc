// Fuzzes the parsers of the command form's values: the duration ("time=...")
// and the pid.
#define QUELLIX_NO_MAIN

#include <stddef.h>
#include <stdint.h>

#include "../deps/inspector/cmds.cc"

// The pid parser accepts exactly the decimal texts of 1..INT_MAX, leading
// zeros allowed, in at most 10 characters.
static void CheckPid(const std::string& text) {
  int pid = -7;
  bool ok = GetProcessID(text, &pid);
  size_t first = text.find_first_not_of('0');
  bool digits = !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos;
  bool in_range = digits && first != std::string::npos && std::stoll(text.substr(first)) <= INT_MAX;
  if (ok != in_range) abort();
  if (!ok && pid != -7) abort();
  if (ok && std::to_string(pid) != text.substr(first)) abort();
}

static void CheckDuration(const std::string& text) {
  if (!IsDurationInput(text.c_str())) return;
  int duration = -7;
  GetTimeInSecond(text, &duration);
  if (duration < 0) abort();
  // "time=" followed by plain digits and one unit is exact while it fits.
  static const char kUnits[] = "hms";
  static const int kSeconds[] = {3600, 60, 1};
  std::string digits = text.substr(5, text.size() - 6);
  if (!digits.empty() && digits.size() <= 6 && digits.find_first_not_of("0123456789") == std::string::npos) {
    const char* unit = strchr(kUnits, text.back());
    int64_t want = std::stoll(digits) * kSeconds[unit == nullptr ? 0 : unit - kUnits];
    if (unit != nullptr && duration != (want > INT_MAX ? INT_MAX : want)) abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  // The command line hands over C strings: nothing past a NUL arrives.
  text.resize(strlen(text.c_str()));
  CheckPid(text);
  CheckDuration(text);
  CheckDuration("time=" + text);
  return 0;
}
