// The TCP sockets of a network namespace, asked of the kernel.
#ifndef QUELLIX_DEPS_INSPECTOR_SOCK_DIAG_H_
#define QUELLIX_DEPS_INSPECTOR_SOCK_DIAG_H_

#include <stddef.h>
#include <stdint.h>

#include "system_facts.h"

// A socket diagnostics socket in one process's network namespace.
struct SockDiag {
  int pid;  // whose namespace
  int fd;   // -1 until opened, and after a fault
  uint32_t seq;
};

// TCP states as masks of (1 << state), for DumpTcpSockets.
const unsigned TCP_MASK_LISTEN = 1u << 10;
// A connection that got through its handshake and is not yet gone:
// established, and each state of its closing but TIME_WAIT (which no process
// holds any more).
const unsigned TCP_MASK_CONNECTED = (1u << 1) | (1u << 4) | (1u << 5) | (1u << 8) | (1u << 9) | (1u << 11);

// Opens diag in pid's network namespace; false with errno set.
bool OpenSockDiag(int pid, SockDiag* diag);
void CloseSockDiag(SockDiag* diag);
// The TCP sockets (IPv4 and IPv6) of the namespace in states (a mask), and
// when peer_port is not 0 only those whose remote end is at that port, into
// sockets (at most max): their count. -1 with errno set when the kernel did
// not answer whole within a second, or there are more than max (EOVERFLOW).
// A closed diag is opened again first.
int DumpTcpSockets(SockDiag* diag, unsigned states, int peer_port, TcpSocket* sockets, int max);

// Reads one datagram of the kernel's answer to the dump request seq: the
// sockets it describes are added to sockets (*count of them so far, at most
// max stored; *count counts them all). 1 at the end of the dump, 0 when more
// is to come, -1 for an error answer (errno set from it) or a malformed one.
int ParseSockDiagReply(const unsigned char* data, size_t len, uint32_t seq, TcpSocket* sockets, int max, int* count);

#endif  // QUELLIX_DEPS_INSPECTOR_SOCK_DIAG_H_
