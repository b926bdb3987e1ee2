// The TCP sockets of a target's network namespace, asked of the kernel's
// socket diagnostics (NETLINK_SOCK_DIAG) over a netlink socket made in that
// namespace: a few hundred bytes a round instead of the whole of
// /proc/<pid>/net/tcp. Every answer is read within bounds and a time limit.
// Uses the system facts (the socket in the namespace) and the tools.
#include "sock_diag.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "tools.h"

#if defined(__APPLE__)

// No socket diagnostics here: nothing can be watched.
bool OpenSockDiag(int pid, SockDiag* diag) {
  diag->pid = pid;
  diag->fd = -1;
  diag->seq = 0;
  errno = ENOSYS;
  return false;
}

void CloseSockDiag(SockDiag* diag) { diag->fd = -1; }

int DumpTcpSockets(SockDiag*, unsigned, int, TcpSocket*, int) {
  errno = ENOSYS;
  return -1;
}

int ParseSockDiagReply(const unsigned char*, size_t, uint32_t, TcpSocket*, int, int*) {
  errno = ENOSYS;
  return -1;
}

#else  // Linux

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

// The answer to one dump may take this long, and this many bytes: a
// namespace with more sockets than that is not watched.
static const int DUMP_WAIT_MS = 1000;
static const size_t DUMP_MAX_BYTES = 64u << 20;
// The kernel fills a dump's datagrams up to the largest read it has seen,
// at most 32 KiB.
static const size_t DATAGRAM_SIZE = 32768;

bool OpenSockDiag(int pid, SockDiag* diag) {
  diag->pid = pid;
  diag->seq = 0;
  diag->fd = SocketInNamespace(pid, AF_NETLINK, SOCK_DGRAM, NETLINK_SOCK_DIAG);
  return diag->fd != -1;
}

void CloseSockDiag(SockDiag* diag) {
  if (diag->fd != -1) close(diag->fd);
  diag->fd = -1;
}

// The socket one message describes.
static void ReadDiagMessage(const struct inet_diag_msg& msg, TcpSocket* socket) {
  memset(socket, 0, sizeof(*socket));
  socket->family = msg.idiag_family;
  size_t len = msg.idiag_family == AF_INET ? 4 : 16;
  memcpy(socket->address, msg.id.idiag_src, len);
  memcpy(socket->peer, msg.id.idiag_dst, len);
  socket->port = ntohs(msg.id.idiag_sport);
  socket->peer_port = ntohs(msg.id.idiag_dport);
  socket->state = msg.idiag_state;
  socket->inode = msg.idiag_inode;
  socket->uid = msg.idiag_uid;
}

int ParseSockDiagReply(const unsigned char* data, size_t len, uint32_t seq, TcpSocket* sockets, int max, int* count) {
  size_t at = 0;
  while (at < len) {
    struct nlmsghdr head;
    if (len - at < sizeof(head)) return -1;
    memcpy(&head, data + at, sizeof(head));
    if (head.nlmsg_len < sizeof(head) || head.nlmsg_len > len - at) return -1;
    const unsigned char* body = data + at + sizeof(head);
    const size_t body_len = head.nlmsg_len - sizeof(head);
    // What answers an earlier request, cut short, is passed over.
    if (head.nlmsg_seq == seq) {
      if (head.nlmsg_type == NLMSG_DONE) return 1;
      if (head.nlmsg_type == NLMSG_ERROR) {
        struct nlmsgerr error;
        errno = EPROTO;
        if (body_len >= sizeof(error.error)) {
          memcpy(&error.error, body, sizeof(error.error));
          if (error.error < 0) errno = -error.error;
        }
        return -1;
      }
      struct inet_diag_msg msg;
      if (head.nlmsg_type != SOCK_DIAG_BY_FAMILY || body_len < sizeof(msg)) return -1;
      memcpy(&msg, body, sizeof(msg));
      if (msg.idiag_family != AF_INET && msg.idiag_family != AF_INET6) return -1;
      if (*count < max) ReadDiagMessage(msg, &sockets[*count]);
      if (*count < INT32_MAX) ++*count;
    }
    // The last message of a datagram may come without its padding.
    const size_t step = NLMSG_ALIGN(head.nlmsg_len);
    at += step < len - at ? step : len - at;
  }
  return 0;
}

// The request: the dump of one family's TCP sockets in states, filtered by
// the kernel to a remote port when one is given (bytecode: port >= p, then
// port <= p; a jump past the end rejects).
static bool SendDumpRequest(SockDiag* diag, int family, unsigned states, int peer_port) {
  struct Request {
    struct nlmsghdr head;
    struct inet_diag_req_v2 req;
    struct nlattr attr;
    struct inet_diag_bc_op ops[4];
  } request;
  memset(&request, 0, sizeof(request));
  size_t len = offsetof(Request, attr);
  if (peer_port != 0) {
    const unsigned short port = static_cast<unsigned short>(peer_port);
    request.ops[0] = {INET_DIAG_BC_D_GE, 8, 20};
    request.ops[1] = {0, 0, port};
    request.ops[2] = {INET_DIAG_BC_D_LE, 8, 12};
    request.ops[3] = {0, 0, port};
    request.attr.nla_type = INET_DIAG_REQ_BYTECODE;
    request.attr.nla_len = static_cast<unsigned short>(sizeof(request.attr) + sizeof(request.ops));
    len = sizeof(request);
  }
  request.head.nlmsg_len = static_cast<uint32_t>(len);
  request.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.head.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.head.nlmsg_seq = ++diag->seq;
  request.req.sdiag_family = static_cast<unsigned char>(family);
  request.req.sdiag_protocol = IPPROTO_TCP;
  request.req.idiag_states = states;
  struct sockaddr_nl kernel;
  memset(&kernel, 0, sizeof(kernel));
  kernel.nl_family = AF_NETLINK;
  for (;;) {
    ssize_t sent = sendto(diag->fd, &request, len, 0, reinterpret_cast<struct sockaddr*>(&kernel), sizeof(kernel));
    if (sent == static_cast<ssize_t>(len)) return true;
    if (sent == -1 && errno == EINTR) continue;
    return false;
  }
}

// Reads the answer to the last request; its sockets are added as in
// ParseSockDiagReply. 1 when it came whole, -1 otherwise.
static int ReadDumpAnswer(SockDiag* diag, TcpSocket* sockets, int max, int* count) {
  static unsigned char datagram[DATAGRAM_SIZE];
  const int64_t deadline = MonotonicMs() + DUMP_WAIT_MS;
  size_t total = 0;
  for (;;) {
    int64_t left = deadline - MonotonicMs();
    if (left <= 0 || WaitReadable(diag->fd, static_cast<int>(left)) <= 0 || total > DUMP_MAX_BYTES) {
      errno = ETIMEDOUT;
      return -1;
    }
    struct sockaddr_nl from;
    struct iovec part = {datagram, sizeof(datagram)};
    struct msghdr message;
    memset(&message, 0, sizeof(message));
    message.msg_name = &from;
    message.msg_namelen = sizeof(from);
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    ssize_t got = recvmsg(diag->fd, &message, MSG_DONTWAIT);
    if (got == -1 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) return -1;
    if ((message.msg_flags & MSG_TRUNC) != 0) {
      errno = EMSGSIZE;
      return -1;
    }
    total += static_cast<size_t>(got);
    // Only the kernel speaks on this socket.
    if (message.msg_namelen != sizeof(from) || from.nl_pid != 0) continue;
    int parsed = ParseSockDiagReply(datagram, static_cast<size_t>(got), diag->seq, sockets, max, count);
    if (parsed != 0) return parsed;
  }
}

int DumpTcpSockets(SockDiag* diag, unsigned states, int peer_port, TcpSocket* sockets, int max) {
  if (diag->fd == -1 && !OpenSockDiag(diag->pid, diag)) return -1;
  static const int kFamilies[] = {AF_INET, AF_INET6};
  int count = 0;
  for (int family : kFamilies) {
    if (!SendDumpRequest(diag, family, states, peer_port) || ReadDumpAnswer(diag, sockets, max, &count) != 1) {
      // A kernel without IPv6 has no dump of it.
      if (family == AF_INET6 && (errno == ENOENT || errno == EAFNOSUPPORT)) break;
      // Whatever is left of the answer would be read as the next one's.
      const int saved = errno;
      CloseSockDiag(diag);
      errno = saved;
      return -1;
    }
  }
  if (count > max) {
    errno = EOVERFLOW;
    return -1;
  }
  return count;
}

#endif
