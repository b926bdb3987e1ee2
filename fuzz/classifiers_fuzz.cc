// Fuzzes the option-text classifiers, alone and as dispatch uses them to name
// the result file, on option texts of up to 4090 characters.
#define QUELLIX_NO_MAIN

#include <stddef.h>
#include <stdint.h>

#include "../deps/inspector/cmds.cc"

// The option text carries no "name=value" once the '=' of its first "time="
// is set aside.
static bool NeedsLogFileReference(std::string text) {
  size_t time = text.find("time=");
  if (time != std::string::npos) text[time + 4] = ' ';
  return text.find('=') == std::string::npos;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  unsigned int mask = data[0] | static_cast<unsigned int>(data[1]) << 8;
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  text.resize(strnlen(text.c_str(), OPTION_TEXT_SIZE - 1));
  snprintf(g_shm_buffer, sizeof(g_shm_buffer), "%s", text.c_str());

  bool trace_gc = IsTraceGcCommand(g_shm_buffer);
  bool prof = IsProfCommand(g_shm_buffer);
  bool basic_prof = IsBasicProfCommand(g_shm_buffer);
  bool other = IsOtherCommandNeedLogFile(g_shm_buffer);
  IsDurationInput(g_shm_buffer);
  if (prof != (text.find("--prof ") != std::string::npos)) abort();
  if (basic_prof != (text.find("--perf_basic_prof ") != std::string::npos)) abort();
  if (trace_gc && text.find("--trace_") == std::string::npos) abort();
  if (other != NeedsLogFileReference(text)) abort();
  // Classifying never changes the option text.
  if (text != g_shm_buffer) abort();

  const ResultFile& row = FindResultFile(mask);
  if (row.stop_kind < 0 || row.stop_kind > 4 || row.status == nullptr) abort();
  // Without a file-producing command, the option text alone decides.
  const unsigned int file_bits =
      HEAPDUMP | START_PROFILING | PRINT_V8FLAGS | START_TIMELINE | DIAG_REPORT | START_HEAP_PROFILING;
  bool by_text = (mask & V8_OPTIONS) != 0 && (trace_gc || prof || basic_prof || other);
  if ((mask & file_bits) == 0 && IsLogFileNeeded(static_cast<int>(mask)) != by_text) abort();
  return 0;
}
