// The JSON report of --json: the run's output is gathered aside, and one
// JSON object goes out at the end. Uses the JSON escaping and the tools.
#include "report.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "json.h"
#include "tools.h"

// ---------------------------------------------------------------------------
// The JSON report of --json
// ---------------------------------------------------------------------------

Report g_report = kNoReport;
// Members added to the object by the run, each beginning with a comma.
static char g_members[32768];

// The gathered text's length: what is printed later is the run's error.
void MarkNoError() {
  if (!g_report.on) return;
  fflush(stdout);
  struct stat info;
  if (fstat(STDOUT_FILENO, &info) == 0) g_report.error_from = info.st_size;
}

// Sends standard output into a file of the process's own; the real one,
// or -1 when nothing could be gathered (the text then goes out as it is).
static int GatherOutput() {
  fflush(stdout);
  int scratch = OpenScratchFile();
  int saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (scratch == -1 || saved == -1 || dup2(scratch, STDOUT_FILENO) == -1) {
    if (scratch != -1) close(scratch);
    if (saved != -1) close(saved);
    return -1;
  }
  close(scratch);
  return saved;
}

void StartReport() {
  // Without a file to gather into, the messages go out as they are, before
  // the object.
  int saved = GatherOutput();
  g_report.on = true;
  g_report.saved_stdout = saved;
  g_report.error_from = 0;
  g_members[0] = '\0';
  SetControlEscaping(false);
}

bool AddReportMembers(const char* members) {
  size_t len = strlen(g_members), more = strlen(members);
  // Only whole members: a cut one would break the object.
  if (len + more >= sizeof(g_members)) return false;
  memcpy(g_members + len, members, more + 1);
  return true;
}

const char* ReportMembers() { return g_members; }

void ClearReportMembers() { g_members[0] = '\0'; }

// --quiet: the run's text is gathered as for --json.
static int g_quiet_stdout = -1;

void StartQuiet() { g_quiet_stdout = GatherOutput(); }

// Ends a quiet run: its "Written:" lines go out, or, when it failed, all
// its text. Returns status.
static int FinishQuiet(int status) {
  fflush(stdout);
  FILE* gathered = fdopen(dup(STDOUT_FILENO), "r");
  dup2(g_quiet_stdout, STDOUT_FILENO);
  close(g_quiet_stdout);
  g_quiet_stdout = -1;
  if (gathered == nullptr) return status;
  rewind(gathered);
  char* line = nullptr;
  size_t capacity = 0;
  while (getline(&line, &capacity, gathered) > 0) {
    if (status != 0 || StrStartsWith(line, "Written: ")) fputs(line, stdout);
  }
  free(line);
  fclose(gathered);
  fflush(stdout);
  return status;
}

// Appends ,"name":"value" with value escaped for JSON (cut where it does
// not fit).
void AppendJsonString(char* json, size_t size, const char* name, const char* value) {
  static char escaped[6 * 8192 + 1];
  size_t len = strnlen(value, 8192);
  while (len > 0 && JsonEscape(value, len, escaped, sizeof(escaped)) == 0) len /= 2;
  if (len == 0) escaped[0] = '\0';
  AppendFormat(json, size, ",\"%s\":\"%s\"", name, escaped);
}

// The text printed since the last mark, without the line ends around it.
static void ReadError(char* text, size_t size) {
  ssize_t got = pread(STDOUT_FILENO, text, size - 1, g_report.error_from);
  size_t len = got > 0 ? static_cast<size_t>(got) : 0;
  text[len] = '\0';
  while (len > 0 && text[len - 1] == '\n') text[--len] = '\0';
  size_t start = strspn(text, "\n");
  memmove(text, text + start, len - start + 1);
}

// Ends the run: with --json, the object goes out on the real standard
// output. Returns status.
int FinishRun(int status) {
  if (g_quiet_stdout != -1) return FinishQuiet(status);
  if (!g_report.on) return status;
  g_report.on = false;
  fflush(stdout);
  static char error[8192];
  error[0] = '\0';
  if (g_report.saved_stdout != -1) {
    ReadError(error, sizeof(error));
    dup2(g_report.saved_stdout, STDOUT_FILENO);
    close(g_report.saved_stdout);
  }
  SetControlEscaping(true);
  static char json[65536];
  json[0] = '\0';
  if (g_report.pid > 0) {
    snprintf(json, sizeof(json), "{\"pid\":%d", g_report.pid);
  } else {
    snprintf(json, sizeof(json), "{\"pid\":null");
  }
  if (g_report.command[0] != '\0') {
    AppendJsonString(json, sizeof(json), "command", g_report.command);
  } else {
    AppendFormat(json, sizeof(json), ",\"command\":null");
  }
  AppendFormat(json, sizeof(json), ",\"delivered\":%s", g_report.delivered ? "true" : "false");
  if (g_report.delivered && g_report.path[0] != '\0') {
    AppendJsonString(json, sizeof(json), "path", g_report.path);
    if (g_report.host_path[0] != '\0' && strcmp(g_report.host_path, g_report.path) != 0) {
      AppendJsonString(json, sizeof(json), "hostPath", g_report.host_path);
    }
  }
  if (g_report.status != nullptr) {
    AppendJsonString(json, sizeof(json), "status", g_report.status);
    AppendFormat(json, sizeof(json), ",\"bytes\":%lld,\"seconds\":%.3f", g_report.bytes, g_report.seconds);
  }
  AppendFormat(json, sizeof(json), "%s", g_members);
  // A run that failed after the file was written (its copy) has an error too.
  if (status != 0 || !g_report.delivered || (g_report.status != nullptr && strcmp(g_report.status, "written") != 0)) {
    AppendJsonString(json, sizeof(json), "error", error);
  }
  printf("%s}\n", json);
  fflush(stdout);
  return status;
}
