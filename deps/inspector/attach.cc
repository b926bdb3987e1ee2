// --attach: loading the agent into a plain node process through node's own
// inspector, opened with SIGUSR1 and closed again on every path. Uses the
// inspector client and settings, the JSON reader, the system facts and the
// tools; the agent's single-file build is linked in beside it.
#include "attach.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "inspector_client.h"
#include "inspector_settings.h"
#include "json.h"
#include "system_facts.h"
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
// A main thread blocked in native code opens the inspector once it is free;
// a background process closes it if that happens within this time.
static const int LATE_INSPECTOR_WATCH_S = 3600;
static const int MAX_LISTENERS = 1024;
static const int MAX_SOCKETS = 8192;
static const int OLDEST_NODE = 20;

// The listening TCP sockets of the target's network namespace, and the
// socket inodes among the target's descriptors.
struct ListenerView {
  TcpSocket listeners[MAX_LISTENERS];
  int count;
  unsigned long own[MAX_SOCKETS];
  int own_count;
};

static bool ReadListenerView(int pid, ListenerView* view) {
  view->count = GetTcpListeners(pid, view->listeners, MAX_LISTENERS);
  view->own_count = GetSocketInodes(pid, view->own, MAX_SOCKETS);
  return view->count >= 0 && view->own_count >= 0;
}

static bool IsOwnSocket(const ListenerView& view, unsigned long inode) {
  for (int i = 0; i < view.own_count; i++) {
    if (view.own[i] == inode) return true;
  }
  return false;
}

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
// listener; 0 when the listener is no node inspector.
static int InspectorNodeVersion(int pid, const TcpSocket& listener) {
  char body[1024], browser[128];
  const char* why = nullptr;
  if (InspectorHttpGet(pid, listener, "/json/version", body, sizeof(body), &why) < 0 ||
      JsonMember(body, strlen(body), "Browser", false, browser, sizeof(browser)) != 's' ||
      !StrStartsWith(browser, "node.js/v")) {
    return 0;
  }
  int major = atoi(browser + strlen("node.js/v"));
  return major > 0 ? major : 0;
}

// With port 0 the inspector is the target's own loopback listener that
// answers as node's inspector. When asked is given, the listeners in it are
// passed over (those that were there before the signal, or were asked
// already) and each one asked is added. Each listener that stays silent
// costs a wait of its own, so after the first one no more are asked once the
// deadline has passed: a target with many silent listeners cannot hold the
// tool for long.
static bool FindInspectorOnAnyPort(int pid, const ListenerView& view, ListenerView* asked, int64_t deadline,
                                   TcpSocket* found) {
  bool first = true;
  for (int i = 0; i < view.count; i++) {
    const TcpSocket& listener = view.listeners[i];
    if (!IsOwnSocket(view, listener.inode) || !IsLoopbackSocket(listener)) continue;
    if (asked != nullptr && IsOwnSocket(*asked, listener.inode)) continue;
    if (!first && MonotonicMs() >= deadline) return false;
    first = false;
    if (asked != nullptr && asked->own_count < MAX_SOCKETS) asked->own[asked->own_count++] = listener.inode;
    if (InspectorNodeVersion(pid, listener) > 0) {
      *found = listener;
      return true;
    }
  }
  return false;
}

// Polls until the target's own inspector listens (on port, or on a new port
// when port is 0), or the time is up. With port 0 each new listener is
// asked once: seen takes in what was asked. Only listeners count: a socket
// that node has made but not yet put to listen is asked once it listens.
static bool WaitForInspector(int pid, int port, ListenerView* seen, int timeout_ms, TcpSocket* found) {
  static ListenerView view;
  const int64_t deadline = MonotonicMs() + timeout_ms;
  for (;;) {
    if (ReadListenerView(pid, &view)) {
      if (port != 0 && HolderOfPort(view, port, found) == PORT_OWN) return true;
      if (port == 0 && FindInspectorOnAnyPort(pid, view, seen, deadline, found)) return true;
    }
    if (MonotonicMs() >= deadline) return false;
    usleep(1000);
  }
}

// Polls until the listener is gone from the target's namespace (or the
// target is gone).
static bool WaitForListenerGone(int pid, const TcpSocket& listener, int timeout_ms) {
  static ListenerView view;
  const int64_t deadline = MonotonicMs() + timeout_ms;
  for (;;) {
    if (ReadListenerView(pid, &view)) {
      bool present = false;
      for (int i = 0; i < view.count && !present; i++) present = view.listeners[i].inode == listener.inode;
      if (!present) return true;
    } else if (errno == ENOENT || errno == ESRCH) {
      return true;
    }
    if (MonotonicMs() >= deadline) return false;
    usleep(1000);
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

// The reply to the request with id in the session; false with why when none
// came in time.
static bool AwaitReply(InspectorLink* link, int id, char* reply, size_t size, int timeout_ms, const char** why) {
  const int64_t deadline = MonotonicMs() + timeout_ms;
  for (;;) {
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
// process ran it already, -1 after a message.
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
    printf("The inspector of pid %d did not answer the load (%s).\n", pid, why != nullptr ? why : "cannot send");
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
static bool CloseInspector(int pid, const TcpSocket& listener, InspectorLink* link) {
  static const char kClose[] =
      "{\"id\":2,\"method\":\"Runtime.evaluate\",\"params\":{\"expression\":\"require('inspector').close()\","
      "\"includeCommandLineAPI\":true,\"silent\":true}}";
  static InspectorLink fresh;
  const char* why = nullptr;
  if (link->fd == -1 || !WsSend(link, WS_TEXT, kClose, sizeof(kClose) - 1)) {
    if (link->fd != -1) close(link->fd);
    link->fd = -1;
    link = &fresh;
    if (!OpenSession(pid, listener, link, &why)) return false;
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
  return WaitForListenerGone(pid, listener, INSPECTOR_WAIT_MS);
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

// A main thread blocked in native code opens the inspector once it is free,
// after quellix has given up: a detached process looks for that listener
// every 100 ms and closes it, so that it does not stay open. It ends with
// the target, or after an hour.
static void CloseLateInspector(int pid, int handle, int port, const ListenerView& before) {
  fflush(stdout);
  pid_t child = fork();
  if (child != 0) return;
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
  static ListenerView seen;
  seen = before;
  static InspectorLink link;
  link.fd = -1;
  TcpSocket found;
  // Through the target's handle: a process that took the pid later is not it.
  for (int round = 0; round < LATE_INSPECTOR_WATCH_S * 10 && SignalProcess(pid, handle, 0) == 0; round++) {
    usleep(100000);
    if (WaitForInspector(pid, port, &seen, 0, &found)) {
      CloseInspector(pid, found, &link);
      break;
    }
  }
  _exit(0);
}

// The checks before any signal: who may attach, and whether the target is
// node and can open its inspector. False after a message.
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

// Finds the target's inspector, opening it with SIGUSR1 when it is not open
// yet; *opened tells which. False after a message.
static bool ReachInspector(int pid, int handle, const InspectorSettings& settings, TcpSocket* listener, bool* opened,
                           int64_t* opened_at) {
  static ListenerView before;
  *opened = false;
  if (!ReadListenerView(pid, &before)) {
    printf("Cannot read the sockets of pid %d: %s\n", pid, strerror(errno));
    return false;
  }
  const int port = settings.port;
  if (port == 0 && FindInspectorOnAnyPort(pid, before, nullptr, MonotonicMs() + INSPECTOR_WAIT_MS, listener)) {
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
  if (!CheckSignal(pid, settings)) return false;
  *opened_at = MonotonicMs();
  SignalProcess(pid, handle, SIGUSR1);
  *opened = true;
  static ListenerView seen;
  seen = before;
  if (WaitForInspector(pid, port, &seen, INSPECTOR_WAIT_MS, listener)) return true;
  printf("Pid %d opened no inspector within 2 s (is its main thread blocked in native code?); nothing loaded.\n", pid);
  CloseLateInspector(pid, handle, port, before);
  return false;
}

static int SayAgentRunsAlready(int pid) {
  printf("Pid %d already runs the agent.\n", pid);
  return 0;
}

// Checks pid, reaches its inspector and loads the agent through it: 1 when
// it loaded, 0 when the process ran it already, -1 after a message. An
// inspector opened here (*opened, at *opened_at) is closed again on every
// path.
static int LoadThroughInspector(int pid, int handle, bool* opened, int64_t* opened_at) {
  InspectorSettings settings;
  TcpSocket listener;
  if (!CheckAttachable(pid, &settings) || !ReachInspector(pid, handle, settings, &listener, opened, opened_at))
    return -1;

  static InspectorLink link;
  link.fd = -1;
  const char* why = nullptr;
  int loaded = -1;
  int version = InspectorNodeVersion(pid, listener);
  if (version > 0 && version < OLDEST_NODE) {
    printf("Pid %d runs node %d; --attach needs node %d or later. Nothing loaded.\n", pid, version, OLDEST_NODE);
  } else if (version == 0 || !OpenSession(pid, listener, &link, &why)) {
    if (version == 0) why = "/json/version names no node";
    printf("The inspector of pid %d did not answer as node's does (%s); nothing loaded.\n", pid, why);
  } else {
    loaded = EvaluateAgent(pid, &link);
  }
  if (*opened && !CloseInspector(pid, listener, &link)) {
    printf("The inspector that quellix opened in pid %d is still open on port %d.\n", pid, listener.port);
    return -1;
  }
  if (link.fd != -1) {
    WsSend(&link, WS_CLOSE, "\x03\xe8", 2);  // 1000: normal closure
    close(link.fd);
  }
  return loaded;
}

// Loads the agent into pid through its inspector, unless pid serves its
// control socket already; 0 when the agent runs there, -1 after a message.
// *handle becomes a handle of pid's process (or -1), for the kick after it.
int AttachAgent(int pid, int* handle) {
  // The signals go through a handle of the process checked here, as the kick.
  if (*handle != -1) close(*handle);
  *handle = OpenProcessHandle(pid);
  if (ServesControlSocket(pid)) return SayAgentRunsAlready(pid);
  // A target that hangs up early must not end quellix.
  signal(SIGPIPE, SIG_IGN);
  // An inspector left open lets any local process run code as the target's
  // user: from before SIGUSR1 until the inspector is closed again, SIGINT,
  // SIGTERM and SIGHUP wait (every wait on the way is bounded), and then end
  // quellix as they would have.
  sigset_t ending, previous;
  sigemptyset(&ending);
  for (int signo : kEndSignals) sigaddset(&ending, signo);
  sigprocmask(SIG_BLOCK, &ending, &previous);
  bool opened = false;
  int64_t opened_at = 0;
  const int loaded = LoadThroughInspector(pid, *handle, &opened, &opened_at);
  const int open_ms = static_cast<int>(MonotonicMs() - opened_at);
  fflush(stdout);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (loaded == -1) return -1;
  if (!WaitForControlSocket(pid)) {
    printf("The agent in pid %d serves no control socket after %d s.\n", pid, AGENT_SOCKET_WAIT_MS / 1000);
    return -1;
  }
  if (loaded == 0) {
    SayAgentRunsAlready(pid);
  } else if (opened) {
    printf("Agent loaded into pid %d; its inspector was open for %d ms.\n", pid, open_ms);
  } else {
    printf("Agent loaded into pid %d through its open inspector, which stays open.\n", pid);
  }
  return 0;
}
