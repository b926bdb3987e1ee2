// A diagnostic report as node writes it, summarised: the JavaScript stack,
// the heap, RSS, when it was taken and the libuv handles by type.
#ifndef QUELLIX_DEPS_INSPECTOR_DIAG_REPORT_H_
#define QUELLIX_DEPS_INSPECTOR_DIAG_REPORT_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

struct ReportSummary {
  std::string message;                                   // what the JavaScript stack was taken for
  std::vector<std::string> stack;                        // its first frames
  int64_t frames;                                        // how many it has
  double heap_used, heap_limit, rss;                     // bytes; -1 where the report has none
  int64_t taken_ms;                                      // when it was taken, ms since the epoch; -1: unknown
  std::vector<std::pair<std::string, int64_t>> handles;  // type, count; in the report's order
};

// Reads the report on fd (from its current offset) into summary, keeping at
// most frames frames of the stack. False, with the reason in error (size
// bytes), when it is no diagnostic report or cannot be read.
bool SummariseReport(int fd, size_t frames, ReportSummary* summary, char* error, size_t size);

#endif  // QUELLIX_DEPS_INSPECTOR_DIAG_REPORT_H_
