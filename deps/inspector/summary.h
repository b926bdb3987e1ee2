// The summary of a finished result in the terminal: about ten lines, each a
// plain table, and with --json the same as a member of the object.
#ifndef QUELLIX_DEPS_INSPECTOR_SUMMARY_H_
#define QUELLIX_DEPS_INSPECTOR_SUMMARY_H_

#include <stdint.h>

#include "cpu_profile.h"
#include "diag_report.h"
#include "heap_profile.h"
#include "heap_snapshot.h"

// Rows of each table.
const int kSummaryRows = 10;

// The top functions by self time, then idle, program and garbage collector
// time in rows of their own.
void PrintCpuSummary(const CpuProfile& profile);
// The top allocation sites by sampled bytes still live.
void PrintHeapProfileSummary(const HeapProfile& profile);
// The node count and size, then the top constructors by their own size.
void PrintSnapshotSummary(const SnapshotSummary& summary);
// The heap, RSS, the uptime when the report was taken (started_ms: when
// the process started, -1: unknown), the JavaScript stack and the libuv
// handles by type.
void PrintReportSummary(const ReportSummary& summary, int64_t started_ms);
// Says why there is no summary of the file at path.
void PrintNoSummary(const char* path, const char* reason);

#endif  // QUELLIX_DEPS_INSPECTOR_SUMMARY_H_
