// --wait: staying until the runtime has published the result file, asking
// it with the status query or watching the file; a timed activity is
// stopped from here. Uses the JSON report, the system facts and the tools.
#include "wait.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "commands.h"
#include "report.h"
#include "system_facts.h"
#include "tools.h"

// ---------------------------------------------------------------------------
// --wait: staying until the result file is published
// ---------------------------------------------------------------------------

// The signals that end a wait, written to a pipe that the wait polls, so
// that none is missed between two looks.
static int g_wait_signals[2] = {-1, -1};

static void OnWaitSignal(int signo) {
  unsigned char byte = static_cast<unsigned char>(signo);
  int saved = errno;
  if (write(g_wait_signals[1], &byte, 1) < 0) {
  }
  errno = saved;
}

// What the wait knows of the result file.
struct WaitState {
  int pid;
  int handle;  // the target's process handle, or -1
  bool (*stop)(int pid, int stop_kind);
  unsigned long long start;  // when the target started: a later process with its pid is not it
  const char* path;          // the runtime's own view, as the query names it
  char host[2048];           // where the file lies from here
  bool query;                // the runtime may know the status query
  bool owner_known;          // the target's user could be read when the wait began
  uid_t owner;               // its uid
  time_t sent;               // a file changed before then is no answer
  int percent;               // the runtime's progress, or -1
  long long bytes;
  char reason[1024];
};

// The command went out at most this long before the wait began: within the
// exchange's two one-second waits.
static const int SENT_BEFORE_WAIT_S = 3;

// True when a file at the result's path may be the runtime's own: a
// regular file of the target's user, changed after the command was sent.
// Another user's file planted at that name, or one from before, is not.
static bool IsRuntimesFile(const WaitState& w, const struct stat& info) {
  return S_ISREG(info.st_mode) && w.owner_known && info.st_uid == w.owner && info.st_mtime >= w.sent;
}

// Looks once: 'w' written (bytes), 'f' failed (reason), 'p' pending, '?'
// nothing known yet. A runtime that answers the query decides; for one
// that does not know it, or knows nothing of the path, the file decides
// (the runtime publishes it only when it is complete), if it can be the
// runtime's own.
static char LookAtResult(WaitState* w) {
  char answer[1024];
  w->percent = -1;
  int replied = w->query ? QueryRuntime(w->pid, STATUS_QUERY, w->path, answer, sizeof(answer)) : -1;
  // A refusal is an older runtime's: it is not asked again.
  if (replied == 0) w->query = false;
  if (replied == 1 && StrStartsWith(answer, "written ")) {
    w->bytes = atoll(answer + strlen("written "));
    return 'w';
  }
  if (replied == 1 && StrStartsWith(answer, "failed ")) {
    snprintf(w->reason, sizeof(w->reason), "%s", answer + strlen("failed "));
    return 'f';
  }
  if (replied == 1 && StrStartsWith(answer, "pending ")) {
    const char* value = answer + strlen("pending ");
    if (value[0] >= '0' && value[0] <= '9') w->percent = atoi(value);
    return 'p';
  }
  struct stat info;
  if (lstat(w->host, &info) == 0 && IsRuntimesFile(*w, info)) {
    w->bytes = static_cast<long long>(info.st_size);
    return 'w';
  }
  return '?';
}

// The size of the runtime's temporary file next to the result
// (".<name>.<random>.tmp", as the bundled agent writes it), or -1.
static long long TemporaryBytes(const char* host) {
  char dir[2048], prefix[512];
  const char* name = strrchr(host, '/');
  if (name == nullptr) return -1;
  snprintf(dir, sizeof(dir), "%.*s", name == host ? 1 : static_cast<int>(name - host), host);
  snprintf(prefix, sizeof(prefix), ".%s.", name + 1);
  DIR* entries = opendir(dir);
  if (entries == nullptr) return -1;
  long long largest = -1;
  for (struct dirent* item = readdir(entries); item != nullptr; item = readdir(entries)) {
    struct stat info;
    if (StrStartsWith(item->d_name, prefix) && StrEndsWith(item->d_name, ".tmp") &&
        fstatat(dirfd(entries), item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        info.st_size > largest) {
      largest = info.st_size;
    }
  }
  closedir(entries);
  return largest;
}

// The one progress line on a terminal: during a duration the time left
// (left_ms, or -1 without a limit), then the runtime's progress and the
// bytes written.
static void ShowProgress(const WaitState& w, bool running, int64_t left_ms) {
  char line[256] = "Waiting:";
  if (running && left_ms >= 0) AppendFormat(line, sizeof(line), " %d s left", static_cast<int>((left_ms + 999) / 1000));
  if (running && left_ms < 0) AppendFormat(line, sizeof(line), " until Ctrl-C");
  if (!running && w.percent >= 0) AppendFormat(line, sizeof(line), " %d%%", w.percent);
  long long bytes = running ? -1 : TemporaryBytes(w.host);
  if (bytes >= 0) AppendFormat(line, sizeof(line), " %lld bytes written", bytes);
  printf("\r\033[K%s", line);
  fflush(stdout);
}

static void ClearProgress(bool shown) {
  if (!shown) return;
  printf("\r\033[K");
  fflush(stdout);
}

static void CatchWaitSignals(bool on) {
  static struct sigaction saved[3];
  for (int i = 0; i < 3; i++) {
    if (!on) {
      sigaction(kEndSignals[i], &saved[i], nullptr);
      continue;
    }
    sigaction(kEndSignals[i], nullptr, &saved[i]);
    // A signal ignored when the tool started (as under nohup) stays ignored.
    if (saved[i].sa_handler == SIG_IGN) continue;
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnWaitSignal;
    sigaction(kEndSignals[i], &action, nullptr);
  }
}

// Reports the published file; the run's exit status.
static int ReportWritten(const char* shown, const WaitState& w, int64_t begin) {
  printf("Written: %s (%lld bytes, %.1f s).\n", shown, w.bytes, static_cast<double>(MonotonicMs() - begin) / 1000);
  return 0;
}

// The wait itself. A timed activity (stop_kind, duration) is stopped from
// here when its time is up or at the first Ctrl-C; limit counts from when
// the file is due. Returns the run's exit status.
static int AwaitResult(WaitState* w, int limit, int stop_kind, int duration) {
  const int64_t begin = MonotonicMs();
  bool stop_pending = stop_kind != 0;
  const int64_t stop_at = duration == NO_LIMIT ? INT64_MAX : begin + static_cast<int64_t>(duration) * 1000;
  int64_t due = stop_pending ? INT64_MAX : begin;
  int64_t next_look = begin;
  int interval = 100;
  const bool progress = !g_report.on && isatty(STDOUT_FILENO) == 1;
  char shown[8192];
  EscapeControls(w->host, shown, sizeof(shown));
  for (;;) {
    int64_t now = MonotonicMs();
    if (stop_pending && now >= stop_at) {
      ClearProgress(progress);
      if (!w->stop(w->pid, stop_kind)) return 1;
      stop_pending = false;
      due = next_look = now = MonotonicMs();
    }
    if (!stop_pending && now >= next_look) {
      char found = LookAtResult(w);
      if (found == 'w' || found == 'f') ClearProgress(progress);
      if (found == 'w') {
        return ReportWritten(shown, *w, begin);
      }
      if (found == 'f') {
        char reason[4096];
        EscapeControls(w->reason, reason, sizeof(reason));
        printf("The runtime could not write %s: %s\n", shown, reason);
        return 1;
      }
      next_look = now + interval;
      interval = interval * 2 > 1000 ? 1000 : interval * 2;
    }
    const int64_t deadline = limit > 0 && due != INT64_MAX ? due + static_cast<int64_t>(limit) * 1000 : INT64_MAX;
    if (now >= deadline) {
      ClearProgress(progress);
      printf("Waited %d s; %s is not written yet.\n", limit, shown);
      return 1;
    }
    if (progress) ShowProgress(*w, stop_pending, stop_at == INT64_MAX ? -1 : stop_at - now);
    int64_t wake = stop_pending ? stop_at : next_look;
    if (wake > deadline) wake = deadline;
    // At most a second between looks: a target without a handle is checked
    // each round.
    int timeout = static_cast<int>(wake - now > 1000 ? 1000 : (wake > now ? wake - now : 0));
    struct pollfd fds[2] = {{g_wait_signals[0], POLLIN, 0}, {w->handle, POLLIN, 0}};
    int ready = poll(fds, w->handle != -1 ? 2 : 1, timeout);
    if (ready < 0 && errno != EINTR) return 1;
    unsigned char signo = 0;
    if (ready > 0 && (fds[0].revents & POLLIN) != 0 && read(g_wait_signals[0], &signo, 1) == 1) {
      ClearProgress(progress);
      // The first Ctrl-C during the duration stops the activity now and
      // still waits; any other ending signal leaves, after the stop.
      if (signo == SIGINT && stop_pending) {
        if (!w->stop(w->pid, stop_kind)) return 1;
        stop_pending = false;
        due = next_look = MonotonicMs();
        continue;
      }
      if (stop_pending) w->stop(w->pid, stop_kind);
      printf("Stopped waiting; %s may still be written.\n", shown);
      return 1;
    }
    bool ended = ready > 0 && w->handle != -1 && (fds[1].revents & (POLLIN | POLLHUP)) != 0;
    // Without a handle: the pid has no process, or one that started later.
    unsigned long long start = 0;
    if (w->handle == -1 && w->start != 0) ended = !GetProcessStartTime(w->pid, &start) || start != w->start;
    if (w->handle == -1 && w->start == 0) ended = kill(w->pid, 0) != 0 && errno == ESRCH;
    if (ended) {
      ClearProgress(progress);
      // What the runtime published before it ended (a profile written at
      // its exit) still counts, if the file can be its own.
      w->query = false;
      if (LookAtResult(w) == 'w') {
        return ReportWritten(shown, *w, begin);
      }
      printf("Pid %d ended before the file was written.\n", w->pid);
      return 1;
    }
  }
}

// Stays until the result file at path (the runtime's own view) is
// published: 0 then, 1 when it failed, the target ended first, the limit
// (seconds; 0: none) passed or the wait was interrupted. A timed activity
// (stop_kind not 0) is stopped from here after duration, in place of a
// deferred stop, by stop. handle names the target's process, or is -1.
int WaitForResult(int pid, int handle, const char* path, int limit, int stop_kind, int duration,
                  bool (*stop)(int pid, int stop_kind)) {
  static WaitState w;
  memset(&w, 0, sizeof(w));
  w.pid = pid;
  w.handle = handle;
  w.stop = stop;
  w.path = path;
  w.query = true;
  w.percent = -1;
  gid_t group;
  w.owner_known = GetProcessOwner(pid, &w.owner, &group);
  w.sent = time(nullptr) - SENT_BEFORE_WAIT_S;
  if (!GetProcessStartTime(pid, &w.start)) w.start = 0;
  HostPathOf(pid, path, w.host, sizeof(w.host));
  fflush(stdout);
  if (pipe(g_wait_signals) != 0) return 1;
  for (int fd : g_wait_signals) fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(g_wait_signals[1], F_SETFL, O_NONBLOCK);
  // A runtime that hangs up early must not end the tool.
  signal(SIGPIPE, SIG_IGN);
  // What comes from here on is the wait's.
  MarkNoError();
  CatchWaitSignals(true);
  const int64_t begin = MonotonicMs();
  int status = AwaitResult(&w, limit, stop_kind, duration);
  g_report.status = status == 0 ? "written" : "failed";
  g_report.bytes = status == 0 ? w.bytes : 0;
  g_report.seconds = static_cast<double>(MonotonicMs() - begin) / 1000;
  CatchWaitSignals(false);
  close(g_wait_signals[0]);
  close(g_wait_signals[1]);
  g_wait_signals[0] = g_wait_signals[1] = -1;
  return status;
}
