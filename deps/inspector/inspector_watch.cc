// Watching a target's sockets while its inspector may be open: the
// listeners of its network namespace before SIGUSR1, the target's new
// listeners since (its inspector is one of them, wherever node opened it),
// and connections to the inspector that this process did not make. Each
// round asks the kernel's socket diagnostics for the listeners only, and
// looks at the target's descriptors only when a new listener appears. Uses
// the socket diagnostics, the inspector client's record of its own
// connections, the system facts and the tools.
#include "inspector_watch.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>

#include "inspector_client.h"
#include "tools.h"

// Listeners from the kernel, or from /proc where it does not answer.
static int ListNamespaceListeners(int pid, SockDiag* diag, TcpSocket* listeners, int max) {
  int count = DumpTcpSockets(diag, TCP_MASK_LISTEN, 0, listeners, max);
  if (count == -1 && errno != EOVERFLOW) count = GetTcpListeners(pid, listeners, max);
  return count;
}

bool ReadListenerView(int pid, SockDiag* diag, ListenerView* view) {
  view->count = ListNamespaceListeners(pid, diag, view->listeners, WATCH_MAX_LISTENERS);
  view->own_count = GetSocketInodes(pid, view->own, WATCH_MAX_SOCKETS);
  return view->count >= 0 && view->own_count >= 0;
}

static bool HasInode(const unsigned long* inodes, int count, unsigned long inode) {
  for (int i = 0; i < count; i++) {
    if (inodes[i] == inode) return true;
  }
  return false;
}

bool IsOwnSocket(const ListenerView& view, unsigned long inode) { return HasInode(view.own, view.own_count, inode); }

int ListeningPorts(const ListenerView& view, int* ports, int max) {
  int count = 0;
  for (int i = 0; i < view.count; i++) {
    bool known = false;
    for (int j = 0; j < count && !known; j++) known = ports[j] == view.listeners[i].port;
    if (!known && count < max) ports[count++] = view.listeners[i].port;
  }
  return count;
}

TcpSocket ReachableAddress(const TcpSocket& listener) {
  static const unsigned char kAny[16] = {0};
  TcpSocket reachable = listener;
  if (listener.family == AF_INET && memcmp(listener.address, kAny, 4) == 0) {
    const unsigned char loopback[4] = {127, 0, 0, 1};
    memcpy(reachable.address, loopback, 4);
  } else if (listener.family == AF_INET6 && memcmp(listener.address, kAny, 16) == 0) {
    reachable.address[15] = 1;
  }
  return reachable;
}

void StartNewListenerSearch(NewListenerSearch* search, const ListenerView* before) {
  search->before = before;
  search->passed_count = 0;
}

static bool WasListening(const ListenerView& view, unsigned long inode) {
  for (int i = 0; i < view.count; i++) {
    if (view.listeners[i].inode == inode) return true;
  }
  return false;
}

int NextNewListener(int pid, SockDiag* diag, NewListenerSearch* search, TcpSocket* found) {
  static TcpSocket now[WATCH_MAX_LISTENERS];
  static unsigned long own[WATCH_MAX_SOCKETS];
  int count = ListNamespaceListeners(pid, diag, now, WATCH_MAX_LISTENERS);
  if (count < 0) return -1;
  int own_count = -1;  // read when a new listener needs it
  for (int i = 0; i < count; i++) {
    const unsigned long inode = now[i].inode;
    if (WasListening(*search->before, inode) || HasInode(search->passed, search->passed_count, inode)) continue;
    if (own_count == -1) own_count = GetSocketInodes(pid, own, WATCH_MAX_SOCKETS);
    if (own_count < 0) return -1;
    // Looked at once: a full record only costs another look next time.
    if (search->passed_count < WATCH_MAX_SOCKETS) search->passed[search->passed_count++] = inode;
    if (HasInode(own, own_count, inode)) {
      *found = now[i];
      return 1;
    }
  }
  return 0;
}

void LookAgainAt(NewListenerSearch* search, unsigned long inode) {
  for (int i = 0; i < search->passed_count; i++) {
    if (search->passed[i] == inode) search->passed[i] = search->passed[--search->passed_count];
  }
}

int StillListens(int pid, SockDiag* diag, const TcpSocket& listener) {
  static TcpSocket now[WATCH_MAX_LISTENERS];
  int count = ListNamespaceListeners(pid, diag, now, WATCH_MAX_LISTENERS);
  if (count < 0) return -1;
  for (int i = 0; i < count; i++) {
    if (now[i].inode == listener.inode) return 1;
  }
  return 0;
}

// The IPv4 address that an address of family stands for (itself, or the
// mapped one in ::ffff:a.b.c.d), into v4; false for a true IPv6 address.
static bool AsIpv4(int family, const unsigned char* address, unsigned char* v4) {
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (family == AF_INET) {
    memcpy(v4, address, 4);
    return true;
  }
  if (memcmp(address, kMapped, 12) != 0) return false;
  memcpy(v4, address + 12, 4);
  return true;
}

bool PeerIsListener(const TcpSocket& socket, const TcpSocket& listener) {
  if (socket.peer_port != listener.port) return false;
  unsigned char a[4], b[4];
  const bool a4 = AsIpv4(socket.family, socket.peer, a);
  const bool b4 = AsIpv4(listener.family, listener.address, b);
  if (a4 || b4) return a4 && b4 && memcmp(a, b, 4) == 0;
  return memcmp(socket.peer, listener.address, 16) == 0;
}

bool FindForeignConnection(SockDiag* diag, const TcpSocket& listener, Intrusion* intrusion) {
  if (intrusion->seen) return true;
  static TcpSocket sockets[1024];
  int count = DumpTcpSockets(diag, TCP_MASK_CONNECTED, listener.port, sockets, 1024);
  if (count == -1 && errno == EOVERFLOW) {
    // More connections to that port than this process ever makes.
    *intrusion = {true, static_cast<unsigned long>(-1), -1};
    return true;
  }
  int own[64];
  const int own_count = OwnConnectionPorts(own, 64);
  for (int i = 0; i < count; i++) {
    const TcpSocket& socket = sockets[i];
    // A socket that no process holds any more was closed by its owner.
    if (socket.inode == 0 || !PeerIsListener(socket, listener)) continue;
    bool mine = false;
    for (int j = 0; j < own_count && !mine; j++) mine = own[j] == socket.port;
    if (mine) continue;
    *intrusion = {true, socket.uid, FindSocketHolder(socket.inode)};
    return true;
  }
  return false;
}
