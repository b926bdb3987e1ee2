// Fuzzes the summaries of heap snapshots and diagnostic reports, which read
// what the target's side wrote as a stream. The input becomes a whole file
// (a memfd), read as quellix reads one.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "diag_report.h"
#include "fuzz_support.h"
#include "heap_snapshot.h"
#include "summary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = false;
  if (!quiet) qfuzz::QuietStdout();
  quiet = true;
  int fd = memfd_create("snapshot_fuzz", MFD_CLOEXEC);
  if (fd == -1) abort();
  for (size_t done = 0; done < size;) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  char error[512];
  SnapshotSummary snapshot;
  lseek(fd, 0, SEEK_SET);
  if (SummariseSnapshot(fd, 10, &snapshot, error, sizeof(error))) {
    // The rows are the largest, in order, and never more than asked.
    if (snapshot.top.size() > 10) abort();
    for (size_t i = 1; i < snapshot.top.size(); i++) {
      if (snapshot.top[i].bytes > snapshot.top[i - 1].bytes) abort();
    }
    PrintSnapshotSummary(snapshot);
  }
  ReportSummary report;
  lseek(fd, 0, SEEK_SET);
  if (SummariseReport(fd, 7, &report, error, sizeof(error))) {
    if (report.stack.size() > 7 || static_cast<int64_t>(report.stack.size()) > report.frames) abort();
    PrintReportSummary(report, 0);
  }
  close(fd);
  return 0;
}
