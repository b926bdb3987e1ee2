// --stack: asks the runtime for its main thread's state, waits for the
// private result file it writes (asking with the status query, or watching
// the file), prints it and removes it. Uses the JSON reader, the JSON
// report, the system facts and the tools.
#include "stack.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commands.h"
#include "json.h"
#include "report.h"
#include "result.h"
#include "system_facts.h"
#include "tools.h"

// The runtime answers within about 2 s, 4 s when it has to ask its
// debugger; a runtime that has written nothing after this will not.
static const int STACK_WAIT_MS = 10000;
static const int LOOK_INTERVAL_MS = 20;
// The bundled agent writes at most 100 frames of 2000 characters; each
// element of an array is found from its start, so more are not looked at.
static const size_t STACK_FILE_MAX = size_t{256} * 1024;
static const size_t FRAME_MAX = 8192;
static const int ELEMENTS_MAX = 200;

// ---------------------------------------------------------------------------
// Waiting for the file
// ---------------------------------------------------------------------------

// Looks once: 'w' written, 'f' failed (reason), '?' nothing yet. A runtime
// that refuses the status query is not asked again; the file decides then,
// which the runtime publishes only whole.
static char LookForStack(int pid, const char* path, const char* host, bool* query, char* reason, size_t size) {
  char answer[1024];
  int replied = *query ? QueryRuntime(pid, STATUS_QUERY, path, answer, sizeof(answer)) : -1;
  if (replied == 0) *query = false;
  if (replied == 1 && StrStartsWith(answer, "failed ")) {
    snprintf(reason, size, "%s", answer + strlen("failed "));
    return 'f';
  }
  if (replied == 1 && StrStartsWith(answer, "written ")) return 'w';
  struct stat info;
  if (lstat(host, &info) == 0 && S_ISREG(info.st_mode)) return 'w';
  return '?';
}

// Waits up to timeout_ms; true when pid has ended meanwhile.
static bool TargetEnded(int pid, int handle, int timeout_ms) {
  if (handle != -1) {
    struct pollfd entry = {handle, POLLIN, 0};
    int ready = poll(&entry, 1, timeout_ms);
    return ready > 0 && (entry.revents & (POLLIN | POLLHUP)) != 0;
  }
  usleep(static_cast<useconds_t>(timeout_ms) * 1000);
  return kill(pid, 0) != 0 && errno == ESRCH;
}

// 'w' written, 'f' failed (reason), 'e' the target ended first, 't' no file
// in time.
static char AwaitStack(int pid, int handle, const char* path, const char* host, char* reason, size_t size) {
  const int64_t deadline = MonotonicMs() + STACK_WAIT_MS;
  bool query = true;
  for (;;) {
    char found = LookForStack(pid, path, host, &query, reason, size);
    if (found != '?') return found;
    if (MonotonicMs() >= deadline) return 't';
    if (TargetEnded(pid, handle, LOOK_INTERVAL_MS)) {
      // What the runtime published before it ended still counts.
      query = false;
      return LookForStack(pid, path, host, &query, reason, size) == 'w' ? 'w' : 'e';
    }
  }
}

// Reads the published file at path (pid's own view; host, from here) into
// text (size bytes, NUL-ended), never through a link and only a regular
// file, and removes it, if the name still names the file read. The bytes
// read, or -1.
static ssize_t TakeStackFile(int pid, const char* path, const char* host, char* text, size_t size) {
  int fd = OpenResultFile(pid, path);
  if (fd == -1) return -1;
  struct stat info;
  ssize_t len = -1;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
      static_cast<size_t>(info.st_size) < size) {
    len = 0;
    while (static_cast<size_t>(len) + 1 < size) {
      ssize_t got = read(fd, text + len, size - 1 - static_cast<size_t>(len));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      len += got;
    }
    text[len] = '\0';
  }
  close(fd);
  struct stat now;
  if (len >= 0 && lstat(host, &now) == 0 && now.st_dev == info.st_dev && now.st_ino == info.st_ino) unlink(host);
  return len;
}

// ---------------------------------------------------------------------------
// Printing it
// ---------------------------------------------------------------------------

// A number member, or -1 when it is missing, null or no whole number.
static long NumberMember(const char* json, size_t len, const char* key) {
  char value[32];
  if (JsonMember(json, len, key, false, value, sizeof(value)) != 'v') return -1;
  char* end = nullptr;
  long number = strtol(value, &end, 10);
  return end != value && *end == '\0' && number >= 0 ? number : -1;
}

// Appends "text" as a JSON string, or null, to json (size bytes); false,
// with json as it was, when it does not fit: cut short, it would be no JSON.
static bool AppendJsonText(char* json, size_t size, const char* text) {
  static char escaped[6 * FRAME_MAX + 1];
  size_t before = strlen(json);
  if (text == nullptr) {
    AppendFormat(json, size, "null");
  } else {
    size_t len = strlen(text);
    if (len > 0 && JsonEscape(text, len, escaped, sizeof(escaped)) == 0) return false;
    if (len == 0) escaped[0] = '\0';
    AppendFormat(json, size, "\"%s\"", escaped);
  }
  if (strlen(json) + 1 < size) return true;
  json[before] = '\0';
  return false;
}

// Appends the frame's object to the array of --json, whole or not at all;
// false when it did not fit.
static bool AppendFrame(char* json, size_t size, const char* function, const char* url, long line, long column) {
  size_t before = strlen(json);
  AppendFormat(json, size, "%s{\"function\":", json[before - 1] == '[' ? "" : ",");
  bool fits = AppendJsonText(json, size, function);
  if (fits) {
    AppendFormat(json, size, ",\"url\":");
    fits = AppendJsonText(json, size, url);
  }
  if (fits && line > 0) AppendFormat(json, size, ",\"line\":%ld,\"column\":%ld}", line, column);
  if (fits && line <= 0) AppendFormat(json, size, ",\"line\":null,\"column\":null}");
  // Room stays for the ends of the array and the object.
  if (fits && strlen(json) + 4 < size) return true;
  json[before] = '\0';
  return false;
}

// One frame as node prints it, and its object for --json while there is room.
static void PrintFrame(const char* frame, size_t len, char* members, size_t size, bool* room) {
  char function[FRAME_MAX], url[FRAME_MAX], shown_function[4 * FRAME_MAX], shown_url[4 * FRAME_MAX];
  if (JsonMember(frame, len, "function", false, function, sizeof(function)) != 's') function[0] = '\0';
  bool has_url = JsonMember(frame, len, "url", false, url, sizeof(url)) == 's';
  long line = NumberMember(frame, len, "line");
  long column = NumberMember(frame, len, "column");
  if (column < 0) column = 0;
  // The runtime's text must not steer the user's terminal.
  EscapeControls(function, shown_function, sizeof(shown_function));
  EscapeControls(has_url ? url : "<anonymous>", shown_url, sizeof(shown_url));
  if (line > 0) AppendFormat(shown_url, sizeof(shown_url), ":%ld:%ld", line, column);
  if (function[0] != '\0') {
    printf("    at %s (%s)\n", shown_function, shown_url);
  } else {
    printf("    at %s\n", shown_url);
  }
  if (*room) *room = AppendFrame(members, size, function, has_url ? url : nullptr, line, column);
}

static int PrintRunning(int pid, const char* json, size_t len, char* members, size_t size) {
  static char frames[STACK_FILE_MAX];
  static char frame[FRAME_MAX * 3];
  long stall = NumberMember(json, len, "stallMs");
  printf("Pid %d is running JavaScript; its main thread stopped for %ld ms to show this stack.\n", pid, stall);
  AppendFormat(members, size, ",\"stallMs\":%ld,\"frames\":[", stall);
  if (JsonMember(json, len, "frames", false, frames, sizeof(frames)) != 'a') frames[0] = '\0';
  bool room = true;
  const size_t frames_len = strlen(frames);
  for (int i = 0; i < ELEMENTS_MAX && JsonElement(frames, frames_len, i, frame, sizeof(frame)) == 'o'; i++) {
    PrintFrame(frame, strlen(frame), members, size, &room);
  }
  AppendFormat(members, size, "]");
  return 0;
}

static int PrintIdle(int pid, const char* json, size_t len, char* members, size_t size) {
  static char handles[STACK_FILE_MAX];
  char entry[1024], type[256], listed[4096] = "", shown[4 * sizeof(listed)];
  AppendFormat(members, size, ",\"stallMs\":%ld,\"handles\":{", NumberMember(json, len, "stallMs"));
  if (JsonMember(json, len, "handles", false, handles, sizeof(handles)) != 'a') handles[0] = '\0';
  const size_t handles_len = strlen(handles);
  for (int i = 0; i < ELEMENTS_MAX && JsonElement(handles, handles_len, i, entry, sizeof(entry)) == 'o'; i++) {
    long count = NumberMember(entry, strlen(entry), "count");
    if (JsonMember(entry, strlen(entry), "type", false, type, sizeof(type)) != 's' || count < 0) continue;
    AppendFormat(listed, sizeof(listed), "%s%s %ld", listed[0] != '\0' ? ", " : "", type, count);
    size_t before = strlen(members);
    if (members[before - 1] != '{') AppendFormat(members, size, ",");
    if (AppendJsonText(members, size, type) && strlen(members) + 32 < size) {
      AppendFormat(members, size, ":%ld", count);
    } else {
      members[before] = '\0';
    }
  }
  AppendFormat(members, size, "}");
  EscapeControls(listed[0] != '\0' ? listed : "none", shown, sizeof(shown));
  printf("Pid %d is idle in its event loop (%s).\n", pid, shown);
  return 0;
}

static int PrintBlocked(int pid, const char*, size_t, char*, size_t) {
  printf("Pid %d ran no JavaScript for 2 s (blocked in native code or a long GC); no stack to show.\n", pid);
  return 1;
}

static int PrintPaused(int pid, const char*, size_t, char*, size_t) {
  printf("Pid %d is paused by another debugger session, which quellix leaves alone; no stack to show.\n", pid);
  return 1;
}

// The states the runtime reports, and how each is shown.
static const struct {
  const char* state;
  int (*print)(int pid, const char* json, size_t len, char* members, size_t size);
} kStates[] = {
    {"running", PrintRunning},
    {"idle", PrintIdle},
    {"blocked", PrintBlocked},
    {"paused", PrintPaused},
};

int PrintStackFile(int pid, const char* json, size_t len) {
  char state[64];
  if (JsonMember(json, len, "state", false, state, sizeof(state)) == 's') {
    for (const auto& row : kStates) {
      if (strcmp(state, row.state) != 0) continue;
      static char members[32768];
      snprintf(members, sizeof(members), ",\"state\":\"%s\"", row.state);
      int status = row.print(pid, json, len, members, sizeof(members));
      AddReportMembers(members);
      return status;
    }
  }
  printf("Pid %d wrote a stack that quellix cannot read.\n", pid);
  return 1;
}

// ---------------------------------------------------------------------------
// --stack
// ---------------------------------------------------------------------------

int ShowStack(int pid, int handle, const char* log_dir, int (*send)(int pid, unsigned int mask, const char* text)) {
  // The option text separates its words by blanks.
  if (strpbrk(log_dir, " \t\n\r\v\f") != nullptr) {
    char shown[4096];
    EscapeControls(log_dir, shown, sizeof(shown));
    printf("Log directory \"%s\" contains white space; the runtime cannot be told where to write its stack.\n", shown);
    return 1;
  }
  char path[1024] = "", text[1100] = "", host[2048];
  AppendFormat(path, sizeof(path), "%sstack-%d", log_dir, pid);
  AttachTimeStamp(path, "json", 8);
  AppendFormat(text, sizeof(text), "--specified_log_path=%s ", path);
  if (send(pid, STACK, text) == -1) return 1;
  g_report.delivered = true;
  MarkNoError();
  HostPathOf(pid, path, host, sizeof(host));
  char reason[1024], shown[4096];
  switch (AwaitStack(pid, handle, path, host, reason, sizeof(reason))) {
    case 'f':
      EscapeControls(reason, shown, sizeof(shown));
      printf("The runtime could not write its stack: %s\n", shown);
      return 1;
    case 'e':
      printf("Pid %d ended before it wrote its stack.\n", pid);
      return 1;
    case 't':
      printf("Pid %d wrote no stack within %d s.\n", pid, STACK_WAIT_MS / 1000);
      return 1;
    default:
      break;
  }
  static char json[STACK_FILE_MAX];
  ssize_t len = TakeStackFile(pid, path, host, json, sizeof(json));
  if (len < 0) {
    EscapeControls(host, shown, sizeof(shown));
    printf("The stack file %s cannot be read.\n", shown);
    return 1;
  }
  return PrintStackFile(pid, json, static_cast<size_t>(len));
}
