// Fuzzes the reading of the kernel's socket diagnostics answers (netlink
// messages describing TCP sockets), and the reading of a target's cgroup
// and mount tables for its memory cgroup. Every parse stays within its
// input and its output buffers.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "sock_diag.h"
#include "target_state.h"

// The first four bytes choose the request's sequence number and how many
// sockets fit; the rest is one datagram of the answer.
static void CheckReply(const uint8_t* data, size_t size) {
  if (size < 4) return;
  uint32_t seq = data[0];
  int max = data[1] % 8;
  static TcpSocket sockets[8];
  // Bytes past the room given must stay as they were.
  memset(sockets, 0xa5, sizeof(sockets));
  int count = 0;
  int result = ParseSockDiagReply(data + 4, size - 4, seq, sockets, max, &count);
  if (result < -1 || result > 1 || count < 0) abort();
  for (int i = max; i < 8; i++) {
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&sockets[i]);
    for (size_t b = 0; b < sizeof(TcpSocket); b++) {
      if (raw[b] != 0xa5) abort();
    }
  }
  for (int i = 0; i < count && i < max; i++) {
    if (sockets[i].port < 0 || sockets[i].port > 65535 || sockets[i].peer_port < 0 || sockets[i].peer_port > 65535)
      abort();
  }
}

// The input is a /proc/<pid>/cgroup text, a NUL, and a mountinfo text.
static void CheckCgroup(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t split = text.find('\0');
  if (split == std::string::npos) return;
  std::string cgroups = text.substr(0, split);
  std::string mountinfo = text.substr(split + 1);
  mountinfo.resize(strlen(mountinfo.c_str()));
  char dir[256], top[256];
  bool v1 = false;
  if (FindMemoryCgroup(cgroups.c_str(), mountinfo.c_str(), dir, top, sizeof(dir), &v1)) {
    if (strnlen(dir, sizeof(dir)) >= sizeof(dir) || strnlen(top, sizeof(top)) >= sizeof(top)) abort();
    if (strncmp(dir, top, strlen(top)) != 0) abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckReply(data, size);
  CheckCgroup(data, size);
  return 0;
}
