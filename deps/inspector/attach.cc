// --attach: loading the agent into a plain node process through node's own
// inspector. SIGUSR1 opens it behind a guard that keeps other users out; it
// is found as the target's new listener, wherever node opened it; while it
// is open, connections that are not quellix's own are looked for; and it is
// closed again on every path. Where the main thread is blocked, a detached
// watcher closes an inspector that opens late. Uses the inspector client,
// settings and watch, the guard, the JSON reader, the target's state, the
// system facts and the tools; the agent's single-file build is linked in
// beside it.
#include "attach.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "guard.h"
#include "inspector_client.h"
#include "inspector_settings.h"
#include "inspector_watch.h"
#include "json.h"
#include "sock_diag.h"
#include "system_facts.h"
#include "target_state.h"
#include "tools.h"

// ---------------------------------------------------------------------------
// --attach: loading the agent through node's inspector
// ---------------------------------------------------------------------------

// The single-file build of the agent, generated from agent/ at build time.
extern const unsigned char kAgentBundle[];
extern const size_t kAgentBundleSize;

// SIGUSR1 to listener, and the close to its end, each within this time.
static const int INSPECTOR_WAIT_MS = 2000;
// The load itself runs on the main thread, between two of its tasks or by
// interrupting the JavaScript it runs.
static const int LOAD_WAIT_MS = 10000;
// The agent's worker binds its control socket a moment after the load.
static const int AGENT_SOCKET_WAIT_MS = 5000;
// How often the waits look at the target's sockets: the wait for the
// inspector and the watch while it is open every 5 ms, the watcher left
// behind for a blocked main thread every 20 ms, for at most 10 minutes.
static const int INSPECTOR_ROUND_MS = 5;
static const int CLOSER_ROUND_MS = 20;
// The watcher's guard is in place within this time (nft's own limit, and
// some), or the run goes on without waiting for it.
static const int GUARD_HANDOFF_MS = 6000;
static const int LATE_INSPECTOR_WATCH_S = 600;
// What loading the agent adds to a process's resident memory at its peak,
// rounded up (bench/attach-cost-bench.py); --attach wants twice this left
// before it sends any signal.
static const int AGENT_RSS_MB = 15;
static const int64_t MB = INT64_C(1024) * 1024;
static const int OLDEST_NODE = 20;

// What one attach holds that is undone on every path before it ends.
struct AttachRun {
  bool guarded;  // a guard is required before SIGUSR1
  Guard guard;
  unsigned long owner;  // the target's user, whom the guard lets in
  int* ports;           // the ports that listened before SIGUSR1, open to all
  int port_count;
  SockDiag diag;  // in the target's network namespace
  bool opened;    // quellix sent SIGUSR1
  bool busy;      // the main thread was not idle in its event loop then
  int64_t opened_at;
  ListenerView before;       // what listened before SIGUSR1
  NewListenerSearch search;  // the target's new listeners since
  Intrusion intrusion;       // a connection to the inspector that is not ours
};

// What listens on a port of the target's namespace.
enum PortHolder { PORT_FREE, PORT_OWN, PORT_OWN_EXPOSED, PORT_OTHER };

static PortHolder HolderOfPort(const ListenerView& view, int port, TcpSocket* own) {
  PortHolder holder = PORT_FREE;
  for (int i = 0; i < view.count; i++) {
    const TcpSocket& listener = view.listeners[i];
    if (listener.port != port) continue;
    if (!IsOwnSocket(view, listener.inode)) return PORT_OTHER;
    if (!IsLoopbackSocket(listener)) {
      holder = PORT_OWN_EXPOSED;
    } else if (holder == PORT_FREE) {
      holder = PORT_OWN;
      *own = listener;
    }
  }
  return holder;
}

// The major version of node whose inspector answers GET /json/version on
// listener (at its reachable address); 0 when the listener answered as no
// node inspector, -1 when it gave no answer.
static int InspectorNodeVersion(int pid, const TcpSocket& listener) {
  char body[1024], browser[128];
  const char* why = nullptr;
  if (InspectorHttpGet(pid, ReachableAddress(listener), "/json/version", body, sizeof(body), &why) < 0) return -1;
  if (JsonMember(body, strlen(body), "Browser", false, browser, sizeof(browser)) != 's' ||
      !StrStartsWith(browser, "node.js/v")) {
    return 0;
  }
  int major = atoi(browser + strlen("node.js/v"));
  return major > 0 ? major : 0;
}

// An inspector open from the start on a port of node's choosing (--inspect=0)
// is the target's own loopback listener that answers as node's inspector.
// Each listener that stays silent costs a wait of its own, so after the
// first one no more are asked once the deadline has passed: a target with
// many silent listeners cannot hold the tool for long.
static bool FindInspectorOnAnyPort(int pid, const ListenerView& view, int64_t deadline, TcpSocket* found) {
  bool first = true;
  for (int i = 0; i < view.count; i++) {
    const TcpSocket& listener = view.listeners[i];
    if (!IsOwnSocket(view, listener.inode) || !IsLoopbackSocket(listener)) continue;
    if (!first && MonotonicMs() >= deadline) return false;
    first = false;
    if (InspectorNodeVersion(pid, listener) > 0) {
      *found = listener;
      return true;
    }
  }
  return false;
}

// Where node opened the inspector after SIGUSR1.
enum Found { FOUND_NONE, FOUND_LOOPBACK, FOUND_EXPOSED };

// How often a new listener that gives no answer is asked again, the tries
// ever further apart (a quarter of a second, then twice as long each time):
// an inspector whose process is slow to serve it is not to be passed over,
// and an application's own silent server is not asked on every round.
static const int SILENT_TRIES = 6;
static const int64_t SILENT_FIRST_PAUSE_MS = 250;

static struct SilentListener {
  unsigned long inode;
  int tries;
  int64_t next_at;
} g_silent[64];
static unsigned g_silent_next = 0;

// True while the listener with inode may be asked again; counts the tries.
static bool MayAskAgain(unsigned long inode) {
  for (auto& entry : g_silent) {
    if (entry.inode != inode) continue;
    if (++entry.tries >= SILENT_TRIES) return false;
    entry.next_at = MonotonicMs() + (SILENT_FIRST_PAUSE_MS << entry.tries);
    return true;
  }
  g_silent[g_silent_next++ % 64] = {inode, 1, MonotonicMs() + SILENT_FIRST_PAUSE_MS};
  return true;
}

// False while a silent listener's next try is not due.
static bool IsDueAgain(unsigned long inode) {
  for (const auto& entry : g_silent) {
    if (entry.inode == inode) return MonotonicMs() >= entry.next_at;
  }
  return true;
}

// One look at the target's new listeners: each is asked whether it is
// node's inspector, once, or up to SILENT_TRIES times while it gives no
// answer. Only a new listener of the target is ever asked; the
// application's other ports are not.
static Found LookForNewInspector(int pid, SockDiag* diag, NewListenerSearch* search, TcpSocket* found) {
  unsigned long silent[16];
  int silent_count = 0;
  Found where = FOUND_NONE;
  while (where == FOUND_NONE && NextNewListener(pid, diag, search, found) == 1) {
    if (!IsDueAgain(found->inode)) {
      if (silent_count < 16) silent[silent_count++] = found->inode;
      continue;
    }
    int version = InspectorNodeVersion(pid, *found);
    if (version > 0) where = IsLoopbackSocket(*found) ? FOUND_LOOPBACK : FOUND_EXPOSED;
    if (version == -1 && silent_count < 16 && MayAskAgain(found->inode)) silent[silent_count++] = found->inode;
  }
  // Asked again in a later round.
  for (int i = 0; i < silent_count; i++) LookAgainAt(search, silent[i]);
  return where;
}

// Looks every INSPECTOR_ROUND_MS until node's inspector listens as a new
// listener of the target, or the time is up.
static Found WaitForNewInspector(int pid, SockDiag* diag, NewListenerSearch* search, TcpSocket* found) {
  const int64_t deadline = MonotonicMs() + INSPECTOR_WAIT_MS;
  for (;;) {
    Found where = LookForNewInspector(pid, diag, search, found);
    if (where != FOUND_NONE) return where;
    if (MonotonicMs() >= deadline) return FOUND_NONE;
    usleep(INSPECTOR_ROUND_MS * 1000);
  }
}

// Where the watch for connections that are not ours reports to, while the
// inspector that quellix opened is open.
static AttachRun* g_watched = nullptr;
static TcpSocket g_watched_listener;

// One look for a connection to the open inspector that is not ours; true
// once one was seen.
static bool Intruded() {
  if (g_watched == nullptr) return false;
  return FindForeignConnection(&g_watched->diag, g_watched_listener, &g_watched->intrusion);
}

// Polls until the listener is gone from the target's namespace (or the
// target is gone), looking for intruders meanwhile.
static bool WaitForListenerGone(int pid, SockDiag* diag, const TcpSocket& listener, int timeout_ms) {
  const int64_t deadline = MonotonicMs() + timeout_ms;
  for (;;) {
    Intruded();
    int listens = StillListens(pid, diag, listener);
    if (listens == 0) return true;
    if (listens == -1 && kill(pid, 0) == -1 && errno == ESRCH) return true;
    if (MonotonicMs() >= deadline) return false;
    usleep(INSPECTOR_ROUND_MS * 1000);
  }
}

// A WebSocket session with the target's inspector: the path of its one
// target from GET /json/list, then the upgrade. False with why.
static bool OpenSession(int pid, const TcpSocket& listener, InspectorLink* link, const char** why) {
  char list[8192], url[256];
  if (InspectorHttpGet(pid, listener, "/json/list", list, sizeof(list), why) < 0) return false;
  if (JsonMember(list, strlen(list), "webSocketDebuggerUrl", false, url, sizeof(url)) != 's' ||
      !StrStartsWith(url, "ws://")) {
    *why = "no webSocketDebuggerUrl in /json/list";
    return false;
  }
  // Only the path is taken; the connection goes to the listener checked.
  const char* path = strchr(url + strlen("ws://"), '/');
  if (path == nullptr || path[1] == '\0' || strspn(path + 1, "0123456789abcdefABCDEF-") != strlen(path + 1)) {
    *why = "unexpected webSocketDebuggerUrl";
    return false;
  }
  link->fd = ConnectToListener(pid, listener, INSPECTOR_WAIT_MS);
  if (link->fd == -1) {
    *why = "cannot connect";
    return false;
  }
  if (!WsOpen(link, listener, path, why)) {
    close(link->fd);
    link->fd = -1;
    return false;
  }
  return true;
}

// Why a wait ended early: a connection to the inspector that is not ours.
static const char kIntruded[] = "a connection that is not quellix's";

// The reply to the request with id in the session; false with why when none
// came in time. While it waits, it looks for intruders every
// INSPECTOR_ROUND_MS and gives up at the first.
static bool AwaitReply(InspectorLink* link, int id, char* reply, size_t size, int timeout_ms, const char** why) {
  const int64_t deadline = MonotonicMs() + timeout_ms;
  for (;;) {
    while (link->pending_len == 0) {
      if (Intruded()) {
        *why = kIntruded;
        return false;
      }
      int64_t left = deadline - MonotonicMs();
      if (left <= 0 ||
          WaitReadable(link->fd, left < INSPECTOR_ROUND_MS ? static_cast<int>(left) : INSPECTOR_ROUND_MS) != 0) {
        break;  // what came (or the fault, or the time-out) is the receive's to name
      }
    }
    int64_t left = deadline - MonotonicMs();
    ssize_t len = WsReceiveText(link, reply, size, left > 0 ? static_cast<int>(left) : 0, why);
    if (len == 0) *why = "session closed";
    if (len <= 0) return false;
    char value[32];
    // Events carry no id at the top level.
    if (JsonMember(reply, static_cast<size_t>(len), "id", false, value, sizeof(value)) == 'v' && atoi(value) == id) {
      return true;
    }
  }
}

// Evaluates the agent's build in the session; 1 when it loaded, 0 when the
// process ran it already, -1 after a message (none when an intruder cut the
// wait short).
static int EvaluateAgent(int pid, InspectorLink* link) {
  static const char kHead[] = "{\"id\":1,\"method\":\"Runtime.evaluate\",\"params\":{\"expression\":\"";
  static const char kTail[] = "\",\"includeCommandLineAPI\":true,\"returnByValue\":true,\"silent\":true}}";
  static char request[1 << 20];
  size_t head = sizeof(kHead) - 1;
  memcpy(request, kHead, head);
  size_t body = JsonEscape(reinterpret_cast<const char*>(kAgentBundle), kAgentBundleSize, request + head,
                           sizeof(request) - head - sizeof(kTail));
  if (body == 0) {
    printf("The agent's build (%d bytes) does not fit the request to pid %d.\n", static_cast<int>(kAgentBundleSize),
           pid);
    return -1;
  }
  memcpy(request + head + body, kTail, sizeof(kTail));
  char reply[16384], value[256];
  const char* why = nullptr;
  if (!WsSend(link, WS_TEXT, request, head + body + sizeof(kTail) - 1) ||
      !AwaitReply(link, 1, reply, sizeof(reply), LOAD_WAIT_MS, &why)) {
    // An intruder is reported once the inspector is closed.
    if (why != kIntruded) {
      printf("The inspector of pid %d did not answer the load (%s).\n", pid, why != nullptr ? why : "cannot send");
    }
    return -1;
  }
  size_t len = strlen(reply);
  if (JsonMember(reply, len, "exceptionDetails", true, value, sizeof(value)) != 0 ||
      JsonMember(reply, len, "error", false, value, sizeof(value)) != 0) {
    // The first line of the exception's description, or the error's message.
    if (JsonMember(reply, len, "description", true, value, sizeof(value)) != 's' &&
        JsonMember(reply, len, "message", true, value, sizeof(value)) != 's') {
      snprintf(value, sizeof(value), "no description");
    }
    value[strcspn(value, "\n")] = '\0';
    char shown[1024];
    EscapeControls(value, shown, sizeof(shown));
    printf("Loading the agent into pid %d failed: %s\n", pid, shown);
    return -1;
  }
  if (JsonMember(reply, len, "value", true, value, sizeof(value)) == 's') {
    if (strcmp(value, "loaded") == 0) return 1;
    if (strcmp(value, "running") == 0) return 0;
  }
  printf("The inspector of pid %d answered the load with no result of the agent.\n", pid);
  return -1;
}

// Closes the inspector through the session (a new one when link has none)
// and waits until its listener is gone. node answers the close with a close
// frame of the WebSocket, not with a reply.
static bool CloseInspector(int pid, SockDiag* diag, const TcpSocket& listener, InspectorLink* link) {
  static const char kClose[] =
      "{\"id\":2,\"method\":\"Runtime.evaluate\",\"params\":{\"expression\":\"require('inspector').close()\","
      "\"includeCommandLineAPI\":true,\"silent\":true}}";
  static InspectorLink fresh;
  const char* why = nullptr;
  if (link->fd == -1 || !WsSend(link, WS_TEXT, kClose, sizeof(kClose) - 1)) {
    if (link->fd != -1) close(link->fd);
    link->fd = -1;
    link = &fresh;
    if (!OpenSession(pid, ReachableAddress(listener), link, &why)) return false;
    if (!WsSend(link, WS_TEXT, kClose, sizeof(kClose) - 1)) {
      close(link->fd);
      link->fd = -1;
      return false;
    }
  }
  char reply[4096];
  const int64_t deadline = MonotonicMs() + INSPECTOR_WAIT_MS;
  for (int64_t left = INSPECTOR_WAIT_MS; left > 0; left = deadline - MonotonicMs()) {
    if (WsReceiveText(link, reply, sizeof(reply), static_cast<int>(left), &why) <= 0) break;
  }
  close(link->fd);
  link->fd = -1;
  return WaitForListenerGone(pid, diag, listener, INSPECTOR_WAIT_MS);
}

// Waits until pid serves its control socket, or the time is up.
static bool WaitForControlSocket(int pid) {
  const int64_t deadline = MonotonicMs() + AGENT_SOCKET_WAIT_MS;
  while (!ServesControlSocket(pid)) {
    if (MonotonicMs() >= deadline) return false;
    usleep(5000);
  }
  return true;
}

// Waits up to ms for the target to end; true when it has. Through its
// handle where there is one: a process that took the pid later is not it.
static bool TargetEnded(int pid, int handle, int ms) {
  if (handle == -1) {
    usleep(static_cast<useconds_t>(ms) * 1000);
    return kill(pid, 0) == -1 && errno == ESRCH;
  }
  struct pollfd ending = {handle, POLLIN, 0};
  return poll(&ending, 1, ms) > 0;
}

// A main thread blocked in native code opens the inspector once it is free,
// after quellix has given up: a detached process looks for any new listener
// of the target every CLOSER_ROUND_MS and closes it when it is node's
// inspector. It ends when it has, when the target ends, or after
// LATE_INSPECTOR_WATCH_S.
static void LeaveCloser(int pid, int handle, const AttachRun& run, bool closed_once = false) {
  // The watcher guards the inspector with a table of its own before the
  // run's guard goes: the parent waits for its word (or its end).
  int ready[2] = {-1, -1};
  if (run.guard.installed && pipe2(ready, O_CLOEXEC) != 0) ready[0] = ready[1] = -1;
  fflush(stdout);
  pid_t child = fork();
  if (child != 0) {
    if (ready[1] != -1) close(ready[1]);
    if (child > 0 && ready[0] != -1 && WaitReadable(ready[0], GUARD_HANDOFF_MS) > 0) {
      char word;
      if (read(ready[0], &word, 1) != 1) {
      }
    }
    if (ready[0] != -1) close(ready[0]);
    return;
  }
  if (ready[0] != -1) close(ready[0]);
  static Guard guard;
  memset(&guard, 0, sizeof(guard));
  char why[512];
  if (run.guard.installed) InstallGuard(pid, run.owner, run.ports, run.port_count, &guard, why, sizeof(why));
  if (ready[1] != -1) {
    if (write(ready[1], "g", 1) != 1) {
    }
    close(ready[1]);
  }
  setsid();
  // The tool holds these back while it attaches; the closer ends when told.
  sigset_t ending;
  sigemptyset(&ending);
  for (int signo : kEndSignals) sigaddset(&ending, signo);
  sigprocmask(SIG_UNBLOCK, &ending, nullptr);
  CloseDescriptorsAbove2(handle);
  for (int fd = 0; fd <= 2; fd++) close(fd);
  for (int fd = 0; fd <= 2; fd++) {
    if (open("/dev/null", O_RDWR) == -1) break;
  }
  if (chdir("/") != 0) {
  }
  // Every new listener since the signal is asked anew: what the run judged
  // while the main thread was still busy does not hold now.
  static NewListenerSearch looking;
  StartNewListenerSearch(&looking, &run.before);
  memset(g_silent, 0, sizeof(g_silent));
  static SockDiag diag;
  // Made again for each round where it cannot be made now.
  if (!OpenSockDiag(pid, &diag)) diag.fd = -1;
  static InspectorLink link;
  const int64_t deadline = MonotonicMs() + LATE_INSPECTOR_WATCH_S * 1000LL;
  // The guard's rules lapse by themselves: renewed well before, for as
  // long as the watch lasts.
  int64_t renew_at = MonotonicMs() + GUARD_SECONDS * 1000LL / 2;
  // A signal that came while the main thread was busy is served twice, by
  // the interrupt of its code and by its event loop: the inspector closed
  // once opens again when the loop turns. The watch ends once the loop has
  // turned (idle in its wait, no wake-up unread) after a close.
  bool closed = closed_once;
  int idle_rounds = 0;
  while (MonotonicMs() < deadline && !TargetEnded(pid, handle, CLOSER_ROUND_MS)) {
    if (guard.installed && MonotonicMs() >= renew_at) {
      InstallGuard(pid, run.owner, run.ports, run.port_count, &guard, why, sizeof(why));
      renew_at = MonotonicMs() + GUARD_SECONDS * 1000LL / 2;
    }
    TcpSocket found;
    if (LookForNewInspector(pid, &diag, &looking, &found) == FOUND_NONE) {
      idle_rounds = closed && MainThreadWaitsInLoop(pid) && !HasUnreadWakeup(pid) ? idle_rounds + 1 : 0;
      if (idle_rounds >= 3) break;
      continue;
    }
    link.fd = -1;
    if (CloseInspector(pid, &diag, found, &link)) {
      closed = true;
      idle_rounds = 0;
      continue;
    }
    // Tried again next round.
    LookAgainAt(&looking, found.inode);
  }
  RemoveGuard(&guard, why, sizeof(why));
  _exit(0);
}

// The checks before any signal: who may attach, whether the target is node
// and can open its inspector, and whether it has the memory for the agent.
// False after a message.
static bool CheckAttachable(int pid, InspectorSettings* settings) {
  uid_t uid;
  gid_t gid;
  if (!GetProcessOwner(pid, &uid, &gid)) {
    printf("Pid %d does not exist or cannot be read.\n", pid);
    return false;
  }
  if (geteuid() != 0 && geteuid() != uid) {
    printf("Pid %d belongs to uid %lu: --attach needs root or that user.\n", pid, static_cast<unsigned long>(uid));
    return false;
  }
  if (!IsNodeProcess(pid)) {
    printf("Pid %d is no Node.js process (napi_module_register is not exported); no signal sent.\n", pid);
    return false;
  }
  static char cmdline[65536], node_options[4096];
  ssize_t len = ReadProcessFile(pid, "cmdline", cmdline, sizeof(cmdline));
  bool have_options = GetTargetVariable(pid, "NODE_OPTIONS=", node_options, sizeof(node_options));
  ParseInspectorSettings(cmdline, len > 0 ? static_cast<size_t>(len) : 0, have_options ? node_options : nullptr,
                         settings);
  if (settings->permission) {
    printf("Pid %d runs under node's permission model, which refuses inspector sessions; no signal sent.\n", pid);
    return false;
  }
  if (settings->http_unpublished) {
    printf("Pid %d does not publish its inspector over HTTP (--inspect-publish-uid); no signal sent.\n", pid);
    return false;
  }
  // The agent's memory must not be what makes the kernel kill the service.
  const MemoryRoom room = GetMemoryRoom(pid);
  if (room.bytes < MB * 2 * AGENT_RSS_MB) {
    printf(
        "Pid %d has %lld MB of memory left (%s); loading the agent adds about %d MB, and --attach needs twice that. No signal sent.\n",
        pid, static_cast<long long>(room.bytes > 0 ? room.bytes / MB : 0),
        room.cgroup ? "under its memory cgroup's limit" : "on the host", AGENT_RSS_MB);
    return false;
  }
  return true;
}

// The checks right before SIGUSR1, for an inspector that is not open yet.
static bool CheckSignal(int pid, const InspectorSettings& settings) {
  if (!IsLoopbackHost(settings.host)) {
    char shown[512];
    EscapeControls(settings.host, shown, sizeof(shown));
    printf("Pid %d would open its inspector on %s, which is not a loopback address; no signal sent.\n", pid, shown);
    return false;
  }
  if (settings.disable_sigusr1) {
    printf("Pid %d runs with --disable-sigusr1, so SIGUSR1 cannot open its inspector; no signal sent.\n", pid);
    return false;
  }
  if (!IsSignalCaught(pid, SIGUSR1)) {
    printf("Pid %d does not catch SIGUSR1, which would end it; no signal sent.\n", pid);
    return false;
  }
  return true;
}

// The inspector that quellix opened did not close: the watcher left behind
// tries again, as for an inspector that opens late.
static void ReportStillOpen(int pid, int handle, AttachRun* run, const TcpSocket& listener) {
  printf("The inspector that quellix opened in pid %d is still open on port %d.\n", pid, listener.port);
  LookAgainAt(&run->search, listener.inode);
  LeaveCloser(pid, handle, *run);
}

// Installs the guard before SIGUSR1: every port that listens now stays open
// to all, every other local port is the target's user's and root's alone
// until the guard is removed. False after a message.
static bool PlaceGuard(int pid, const ListenerView& before, AttachRun* run) {
  const char* missing = MissingGuardPiece();
  if (missing != nullptr && strcmp(missing, "root") == 0) {
    printf(
        "--attach guards pid %d's inspector with nftables, which needs root; --attach=unguarded accepts the risk without it. No signal sent.\n",
        pid);
    return false;
  }
  if (missing != nullptr) {
    printf(
        "--attach guards pid %d's inspector with nftables, but nft is not installed (package nftables); --attach=unguarded accepts the risk without it. No signal sent.\n",
        pid);
    return false;
  }
  // The guard tells users apart by their ids as the namespace's own user
  // namespace maps them: in another one, root and the target's user are
  // other numbers there, and quellix's own connections would be reset.
  if (!SharesUserNamespace(pid)) {
    printf(
        "--attach cannot guard pid %d's inspector: it runs in a user namespace of its own, where the guard cannot tell its users apart; --attach=unguarded accepts the risk without it. No signal sent.\n",
        pid);
    return false;
  }
  static int ports[WATCH_MAX_LISTENERS];
  const int count = ListeningPorts(before, ports, WATCH_MAX_LISTENERS);
  uid_t uid = 0;
  gid_t gid = 0;
  char why[512];
  if (!GetProcessOwner(pid, &uid, &gid)) {
    snprintf(why, sizeof(why), "its owner cannot be read");
  } else if (InstallGuard(pid, uid, ports, count, &run->guard, why, sizeof(why))) {
    run->owner = uid;
    run->ports = ports;
    run->port_count = count;
    return true;
  }
  printf(
      "--attach cannot guard pid %d's inspector: nft failed (%s); --attach=unguarded accepts the risk without it. No signal sent.\n",
      pid, why);
  return false;
}

// Closes an inspector that node opened on an address other hosts may reach;
// nothing is loaded through it. Always false, after a message.
static bool CloseExposed(int pid, int handle, AttachRun* run, const TcpSocket& listener) {
  static InspectorLink link;
  link.fd = -1;
  if (!CloseInspector(pid, &run->diag, listener, &link)) {
    ReportStillOpen(pid, handle, run, listener);
    return false;
  }
  char address[64], shown[128];
  if (inet_ntop(listener.family, listener.address, address, sizeof(address)) == nullptr) snprintf(address, 8, "?");
  snprintf(shown, sizeof(shown), listener.family == AF_INET6 ? "[%s]:%d" : "%s:%d", address, listener.port);
  printf(
      "Pid %d opened its inspector on %s, which is not a loopback address; quellix closed it again and loaded nothing.\n",
      pid, shown);
  return false;
}

// The wait for the inspector ended without one. Where the main thread slept
// in its event loop before the signal and no loop of the target has left a
// wake-up unread since, node has served SIGUSR1 and will open nothing: the
// application handles it itself, or runs with --disable-sigusr1. Otherwise
// the main thread is busy, and may open the inspector once it is free.
static bool ReportNoInspector(int pid, int handle, bool waited_in_loop, const AttachRun& run) {
  if (waited_in_loop && !HasUnreadWakeup(pid)) {
    printf("Pid %d opened no inspector within 2 s of SIGUSR1 (it may handle SIGUSR1 itself); nothing loaded.\n", pid);
    return false;
  }
  printf(
      "Pid %d opened no inspector within 2 s of SIGUSR1 (its main thread is busy; a watcher closes the inspector if it opens within 10 minutes); nothing loaded.\n",
      pid);
  LeaveCloser(pid, handle, run);
  return false;
}

// Whether the main thread sleeps in its event loop, right before the
// signal: one that runs a callback now is looked at again every
// INSPECTOR_ROUND_MS, for at most 10 rounds, so that a moment's work does
// not make an idle application look busy.
static bool WaitsInLoopSoon(int pid) {
  for (int round = 0; round < 10; round++) {
    if (MainThreadWaitsInLoop(pid)) return true;
    usleep(INSPECTOR_ROUND_MS * 1000);
  }
  return false;
}

// Finds the target's inspector, opening it with SIGUSR1 behind the guard
// when it is not open yet (run->opened tells which). The inspector that the
// signal opens is the target's new listener, on whatever address and port.
// False after a message.
static bool ReachInspector(int pid, int handle, const InspectorSettings& settings, AttachRun* run,
                           TcpSocket* listener) {
  const ListenerView& before = run->before;
  if (!OpenSockDiag(pid, &run->diag)) run->diag.fd = -1;  // /proc is read instead
  if (!ReadListenerView(pid, &run->diag, &run->before)) {
    printf("Cannot read the sockets of pid %d: %s\n", pid, strerror(errno));
    return false;
  }
  // An inspector open already is used where node's options say it is.
  const int port = settings.port;
  if (port == 0 && settings.open_at_start &&
      FindInspectorOnAnyPort(pid, before, MonotonicMs() + INSPECTOR_WAIT_MS, listener)) {
    return true;
  }
  if (port != 0) {
    switch (HolderOfPort(before, port, listener)) {
      case PORT_OWN:
        if (InspectorNodeVersion(pid, *listener) > 0) return true;
        printf("Port %d of pid %d is its own listener, not its inspector; no signal sent.\n", port, pid);
        return false;
      case PORT_OWN_EXPOSED:
        printf("The inspector port %d of pid %d listens on a non-loopback address; not used.\n", port, pid);
        return false;
      case PORT_OTHER:
        printf("Port %d, where pid %d would open its inspector, is held by another process; no signal sent.\n", port,
               pid);
        return false;
      case PORT_FREE:
        break;
    }
  }
  if (!CheckSignal(pid, settings) || (run->guarded && !PlaceGuard(pid, before, run))) return false;
  const bool waited_in_loop = WaitsInLoopSoon(pid);
  run->busy = !waited_in_loop;
  run->opened_at = MonotonicMs();
  SignalProcess(pid, handle, SIGUSR1);
  run->opened = true;
  StartNewListenerSearch(&run->search, &run->before);
  switch (WaitForNewInspector(pid, &run->diag, &run->search, listener)) {
    case FOUND_LOOPBACK:
      return true;
    case FOUND_EXPOSED:
      return CloseExposed(pid, handle, run, *listener);
    case FOUND_NONE:
      break;
  }
  return ReportNoInspector(pid, handle, waited_in_loop, *run);
}

static int SayAgentRunsAlready(int pid) {
  printf("Pid %d already runs the agent.\n", pid);
  return 0;
}

// Names who connected to the inspector while it was open.
static void ReportIntrusion(int pid, const Intrusion& intrusion) {
  char user[128] = "unknown";
  if (intrusion.uid != static_cast<unsigned long>(-1)) UserName(static_cast<uid_t>(intrusion.uid), user, sizeof(user));
  char shown[256];
  EscapeControls(user, shown, sizeof(shown));
  if (intrusion.holder > 0) {
    printf("Warning: pid %d (user %s) connected to pid %d's inspector while it was open.\n", intrusion.holder, shown,
           pid);
  } else {
    printf("Warning: a process of user %s connected to pid %d's inspector while it was open.\n", shown, pid);
  }
}

// Checks pid, reaches its inspector and loads the agent through it: 1 when
// it loaded, 0 when the process ran it already, -1 after a message. An
// inspector opened here (run->opened) is closed again on every path.
static int LoadThroughInspector(int pid, int handle, AttachRun* run) {
  InspectorSettings settings;
  TcpSocket listener;
  if (!CheckAttachable(pid, &settings) || !ReachInspector(pid, handle, settings, run, &listener)) return -1;
  // From here until it is closed, connections that are not ours are looked for.
  if (run->opened) {
    g_watched = run;
    g_watched_listener = listener;
    Intruded();
  }
  static InspectorLink link;
  link.fd = -1;
  const char* why = nullptr;
  int loaded = -1;
  int version = Intruded() ? 0 : InspectorNodeVersion(pid, listener);
  if (Intruded()) {
    // Closed at once, below; nothing is loaded.
  } else if (version > 0 && version < OLDEST_NODE) {
    printf("Pid %d runs node %d; --attach needs node %d or later. Nothing loaded.\n", pid, version, OLDEST_NODE);
  } else if (version <= 0 || !OpenSession(pid, listener, &link, &why)) {
    if (version == 0) why = "/json/version names no node";
    if (version < 0) why = "no answer to /json/version";
    printf("The inspector of pid %d did not answer as node's does (%s); nothing loaded.\n", pid, why);
  } else if (!Intruded()) {
    loaded = EvaluateAgent(pid, &link);
  }
  bool closed = !run->opened || CloseInspector(pid, &run->diag, listener, &link);
  g_watched = nullptr;
  if (link.fd != -1) {
    WsSend(&link, WS_CLOSE, "\x03\xe8", 2);  // 1000: normal closure
    close(link.fd);
    link.fd = -1;
  }
  if (!closed) {
    ReportStillOpen(pid, handle, run, listener);
    loaded = -1;
  } else if (run->opened && run->busy) {
    // The signal is served once more when the busy main thread's loop
    // turns, and would open the inspector again.
    LeaveCloser(pid, handle, *run, true);
  }
  if (run->intrusion.seen) {
    ReportIntrusion(pid, run->intrusion);
    loaded = -1;
  }
  return loaded;
}

// Undoes what the attach left: the guard, the socket of the watch.
static void EndRun(int pid, AttachRun* run) {
  char why[512];
  if (run->guard.installed && !RemoveGuard(&run->guard, why, sizeof(why))) {
    printf("The nftables guard in pid %d's network namespace could not be removed (%s); its rules lapse within %d s.\n",
           pid, why, GUARD_SECONDS);
  }
  CloseSockDiag(&run->diag);
}

// Loads the agent into pid through its inspector, unless pid serves its
// control socket already; 0 when the agent runs there, -1 after a message.
// *handle becomes a handle of pid's process (or -1), for the kick after it.
int AttachAgent(int pid, int* handle, bool guarded) {
  // The signals go through a handle of the process checked here, as the kick.
  if (*handle != -1) close(*handle);
  *handle = OpenProcessHandle(pid);
  if (ServesControlSocket(pid)) return SayAgentRunsAlready(pid);
  // A target that hangs up early must not end quellix.
  signal(SIGPIPE, SIG_IGN);
  // An inspector left open lets any local process run code as the target's
  // user: from before the guard and SIGUSR1 until the inspector is closed
  // and the guard removed again, SIGINT, SIGTERM and SIGHUP wait (every wait
  // on the way is bounded), and then end quellix as they would have.
  sigset_t ending, previous;
  sigemptyset(&ending);
  for (int signo : kEndSignals) sigaddset(&ending, signo);
  sigprocmask(SIG_BLOCK, &ending, &previous);
  static AttachRun run;
  memset(&run, 0, sizeof(run));
  run.guarded = guarded;
  run.diag.fd = -1;
  const int loaded = LoadThroughInspector(pid, *handle, &run);
  const int open_ms = static_cast<int>(MonotonicMs() - run.opened_at);
  EndRun(pid, &run);
  fflush(stdout);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (loaded == -1) return -1;
  if (!WaitForControlSocket(pid)) {
    printf("The agent in pid %d serves no control socket after %d s.\n", pid, AGENT_SOCKET_WAIT_MS / 1000);
    return -1;
  }
  if (loaded == 0) {
    SayAgentRunsAlready(pid);
  } else if (run.opened) {
    printf("Agent loaded into pid %d; its inspector was open for %d ms.\n", pid, open_ms);
  } else {
    printf("Agent loaded into pid %d through its open inspector, which stays open.\n", pid);
  }
  return 0;
}
