// --list: the Node.js processes on the machine that the caller may see,
// with their state, as a table or as JSON. Reads /proc and runs nothing;
// uses the JSON report, the system facts and the tools.
#include "list.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "report.h"
#include "system_facts.h"
#include "tools.h"

// ---------------------------------------------------------------------------
// --list: the Node.js processes on the machine
// ---------------------------------------------------------------------------

// Longest command line shown, in bytes; a longer one ends in "...".
static const size_t LIST_COMMAND_MAX = 100;

struct ListRow {
  int pid;
  int inner_pid;  // in its own pid namespace; 0 when that is the tool's
  char user[64];
  const char* state;
  char command[4 * LIST_COMMAND_MAX + 8];
};

// The command line with blanks between its words, escaped, cut at a whole
// UTF-8 character.
static void ShortCommandLine(int pid, char* out, size_t size) {
  static char words[4096];
  size_t len;
  out[0] = '\0';
  if (!ReadCommandLine(pid, words, sizeof(words), &len)) return;
  for (size_t i = 0; i < len; i++) {
    if (words[i] == '\0') words[i] = ' ';
  }
  while (len > 0 && words[len - 1] == ' ') len--;
  bool cut = len > LIST_COMMAND_MAX;
  if (cut) {
    len = LIST_COMMAND_MAX;
    while (len > 0 && (static_cast<unsigned char>(words[len]) & 0xc0) == 0x80) len--;
  }
  words[len] = '\0';
  EscapeControls(words, out, size - 4);
  if (cut) AppendFormat(out, size, "...");
}

// A Node.js process, as the caller may see it: one whose executable quellix
// may not read (another user's, unless quellix runs as root) cannot be told
// to be node, and is left out.
static bool ReadListRow(int pid, ListRow* row) {
  if (!IsNodeProcess(pid)) return false;
  uid_t uid;
  gid_t gid;
  if (!GetProcessOwner(pid, &uid, &gid)) return false;
  row->pid = pid;
  const TargetPlace& place = GetTargetPlace(pid);
  row->inner_pid = place.inner_pid != pid ? place.inner_pid : 0;
  UserName(uid, row->user, sizeof(row->user));
  // Attachable: what --attach would signal, by its own first checks.
  if (ServesControlSocket(pid)) {
    row->state = "ready";
  } else if (IsSignalCaught(pid, SIGUSR1) && (geteuid() == 0 || geteuid() == uid)) {
    row->state = "attachable";
  } else {
    row->state = "other";
  }
  ShortCommandLine(pid, row->command, sizeof(row->command));
  return true;
}

static void PrintListRow(int pid, void* context) {
  ListRow row;
  if (!ReadListRow(pid, &row)) return;
  char inner[16] = "-";
  if (row.inner_pid != 0) snprintf(inner, sizeof(inner), "%d", row.inner_pid);
  printf("%-7d %-7s %-12s %-10s %s\n", row.pid, inner, row.user, row.state, row.command);
  (void)context;
}

// The same as one JSON object per process, comma-separated.
static void PrintListObject(int pid, void* context) {
  ListRow row;
  if (!ReadListRow(pid, &row)) return;
  static char json[4096];
  int* count = static_cast<int*>(context);
  snprintf(json, sizeof(json), "%s{\"pid\":%d", *count > 0 ? "," : "", row.pid);
  if (row.inner_pid != 0) {
    AppendFormat(json, sizeof(json), ",\"innerPid\":%d", row.inner_pid);
  } else {
    AppendFormat(json, sizeof(json), ",\"innerPid\":null");
  }
  AppendJsonString(json, sizeof(json), "user", row.user);
  AppendJsonString(json, sizeof(json), "state", row.state);
  AppendJsonString(json, sizeof(json), "command", row.command);
  printf("%s}", json);
  (*count)++;
}

// Reads everything from /proc and runs nothing.
int ListProcesses(bool json) {
  if (json) {
    int count = 0;
    // JSON escaping takes the place of the printed one.
    SetControlEscaping(false);
    printf("{\"processes\":[");
    ForEachProcess(PrintListObject, &count);
    printf("]}\n");
    SetControlEscaping(true);
    return 0;
  }
  printf("%-7s %-7s %-12s %-10s %s\n", "PID", "INNER", "USER", "STATE", "COMMAND");
  ForEachProcess(PrintListRow, nullptr);
  return 0;
}
