// Watching a target's sockets around its inspector: what listened before
// SIGUSR1, what listens new since, and who else connects to the inspector.
#ifndef QUELLIX_DEPS_INSPECTOR_INSPECTOR_WATCH_H_
#define QUELLIX_DEPS_INSPECTOR_INSPECTOR_WATCH_H_

#include "sock_diag.h"
#include "system_facts.h"

const int WATCH_MAX_LISTENERS = 4096;
const int WATCH_MAX_SOCKETS = 8192;

// The listening TCP sockets of the target's network namespace, and the
// socket inodes among the target's descriptors.
struct ListenerView {
  TcpSocket listeners[WATCH_MAX_LISTENERS];
  int count;
  unsigned long own[WATCH_MAX_SOCKETS];
  int own_count;
};
// Reads the view of pid through diag (from /proc where the kernel does not
// answer); false with errno set.
bool ReadListenerView(int pid, SockDiag* diag, ListenerView* view);
// True when the socket inode is among the target's descriptors in view.
bool IsOwnSocket(const ListenerView& view, unsigned long inode);
// The distinct ports that listen in view, into ports (at most max): their
// count.
int ListeningPorts(const ListenerView& view, int* ports, int max);
// The listener's address to connect to: its own, or for a wildcard
// (0.0.0.0, ::) the loopback address of its family.
TcpSocket ReachableAddress(const TcpSocket& listener);

// The search for the target's new listeners, one at a time.
struct NewListenerSearch {
  const ListenerView* before;  // what listened before the signal
  unsigned long passed[WATCH_MAX_SOCKETS];
  int passed_count;
};
void StartNewListenerSearch(NewListenerSearch* search, const ListenerView* before);
// The next listener of the namespace that was not there before, is held by
// pid and was not returned yet: 1 with it in *found, 0 when there is none
// now, -1 when the sockets cannot be read. Other processes' new listeners
// are passed over once, without a further look at the target's descriptors.
int NextNewListener(int pid, SockDiag* diag, NewListenerSearch* search, TcpSocket* found);
// Lets NextNewListener return the listener with inode once more.
void LookAgainAt(NewListenerSearch* search, unsigned long inode);
// 1 while the listener (its inode) still listens, 0 when it is gone, -1
// when the sockets cannot be read.
int StillListens(int pid, SockDiag* diag, const TcpSocket& listener);

// A connection to an inspector that this process did not make.
struct Intrusion {
  bool seen;
  unsigned long uid;  // the connecting socket's owner
  int holder;         // the process that holds it, or -1
};
// Looks once for a connection to listener (its address and port, from a
// socket that a process holds) whose local port is none of this process's
// own connections; true once one was seen, its details in *intrusion.
bool FindForeignConnection(SockDiag* diag, const TcpSocket& listener, Intrusion* intrusion);
// True when the socket's peer is the listener's address (an IPv4 address
// and its IPv6-mapped form are the same).
bool PeerIsListener(const TcpSocket& socket, const TcpSocket& listener);

#endif  // QUELLIX_DEPS_INSPECTOR_INSPECTOR_WATCH_H_
