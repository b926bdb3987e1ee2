// The JSON report of --json: what the run came to, as one object.
#ifndef QUELLIX_DEPS_INSPECTOR_REPORT_H_
#define QUELLIX_DEPS_INSPECTOR_REPORT_H_

#include <stddef.h>
#include <sys/types.h>

// With --json, everything the run prints is gathered in a file of its own
// instead of standard output, and one JSON object goes out at the end: the
// messages keep their one place each, and no human text can slip through.
struct Report {
  bool on;
  int saved_stdout;  // the real standard output meanwhile
  off_t error_from;  // what was gathered before this is no error
  int pid;
  char command[512];
  bool delivered;
  char path[1024];       // the runtime's own view
  char host_path[2048];  // from quellix's side, when it differs
  const char* status;    // with --wait: "written" or "failed"
  long long bytes;
  double seconds;
};
static const Report kNoReport = {false, -1, 0, -1, "", false, "", "", nullptr, 0, 0};
extern Report g_report;

// Marks what was printed so far as no error: the text printed after it is
// the run's error, when there is one.
void MarkNoError();
// Starts gathering the run's output for the object.
void StartReport();
// Adds members to the object: JSON text that begins with a comma. False
// (nothing added) when it does not fit.
bool AddReportMembers(const char* members);
// The members added so far, and their end (for the tests and fuzz targets).
const char* ReportMembers();
void ClearReportMembers();
// --quiet: gathers the run's output; at its end only the lines that begin
// with "Written: " go out, or all of it when the run failed.
void StartQuiet();
// Appends ,"name":"value" to json (size bytes), value escaped for JSON.
void AppendJsonString(char* json, size_t size, const char* name, const char* value);
// Ends the run: with --json, prints the object. Returns status.
int FinishRun(int status);

#endif  // QUELLIX_DEPS_INSPECTOR_REPORT_H_
