// The client side of node's inspector: HTTP and WebSocket over a TCP
// connection made in the target's network namespace, and the SHA-1 and
// base64 that the WebSocket handshake needs. Every answer is read within
// bounds and within a time limit. Uses the system facts and the tools.
#include "inspector_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools.h"

namespace {

// A target that hangs up early must not end quellix by SIGPIPE.
#if defined(MSG_NOSIGNAL)
const int SEND_FLAGS = MSG_NOSIGNAL;
#else
const int SEND_FLAGS = 0;
#endif

}  // namespace

int ParseHttpResponse(const char* data, size_t len, size_t max_head, HttpResponse* response) {
  static const char kVersion[] = "HTTP/1.";
  const size_t version_len = sizeof(kVersion) - 1;
  size_t check = len < version_len ? len : version_len;
  if (memcmp(data, kVersion, check) != 0) return -1;
  const char* end = nullptr;
  for (size_t i = 0; i + 3 < len; i++) {
    if (memcmp(data + i, "\r\n\r\n", 4) == 0) {
      end = data + i + 4;
      break;
    }
  }
  if (end == nullptr) return len < max_head ? 0 : -1;
  // "HTTP/1.x NNN": the digit after "1." and three digits after one blank.
  if (len < version_len + 5 || data[version_len] < '0' || data[version_len] > '9' || data[version_len + 1] != ' ')
    return -1;
  response->status = 0;
  for (size_t i = version_len + 2; i < version_len + 5; i++) {
    if (data[i] < '0' || data[i] > '9') return -1;
    response->status = response->status * 10 + (data[i] - '0');
  }
  response->head_len = static_cast<size_t>(end - data);
  response->content_length = -1;
  char value[32];
  if (HttpHeaderValue(data, response->head_len, "Content-Length", value, sizeof(value))) {
    char* stop;
    long length = strtol(value, &stop, 10);
    if (stop == value || *stop != '\0' || length < 0) return -1;
    response->content_length = length;
  }
  return 1;
}

bool HttpHeaderValue(const char* head, size_t head_len, const char* name, char* value, size_t size) {
  size_t name_len = strlen(name);
  const char* line = static_cast<const char*>(memchr(head, '\n', head_len));  // after the status line
  const char* stop = head + head_len;
  while (line != nullptr && ++line < stop) {
    const char* next = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(stop - line)));
    const char* line_end = next != nullptr ? next : stop;
    if (static_cast<size_t>(line_end - line) > name_len && strncasecmp(line, name, name_len) == 0 &&
        line[name_len] == ':') {
      const char* from = line + name_len + 1;
      const char* to = line_end;
      while (from < to && (*from == ' ' || *from == '\t')) from++;
      while (to > from && (to[-1] == '\r' || to[-1] == ' ' || to[-1] == '\t')) to--;
      if (size == 0) return false;
      snprintf(value, size, "%.*s", static_cast<int>(to - from), from);
      return true;
    }
    line = next;
  }
  return false;
}

ssize_t DecodeWsFrame(const unsigned char* data, size_t len, size_t max_payload, WsFrame* frame) {
  if (len < 2) return 0;
  frame->fin = (data[0] & 0x80) != 0;
  frame->opcode = data[0] & 0x0f;
  const bool control = frame->opcode >= 8;
  if ((data[0] & 0x70) != 0 || (data[1] & 0x80) != 0) return -1;  // reserved bits; a server never masks
  if (frame->opcode > 2 && !(control && frame->opcode <= WS_PONG)) return -1;
  uint64_t payload = data[1] & 0x7f;
  size_t head = 2;
  if (payload == 126) {
    if (len < 4) return 0;
    payload = static_cast<uint64_t>(data[2]) << 8 | data[3];
    head = 4;
  } else if (payload == 127) {
    if (len < 10) return 0;
    payload = 0;
    for (int i = 2; i < 10; i++) payload = payload << 8 | data[i];
    head = 10;
  }
  if (control && (!frame->fin || payload > 125)) return -1;
  if (payload > max_payload) return -1;
  frame->header_len = head;
  frame->payload_len = static_cast<size_t>(payload);
  if (len - head < frame->payload_len) return 0;
  return static_cast<ssize_t>(head + frame->payload_len);
}

size_t EncodeWsHead(int opcode, size_t payload_len, const unsigned char mask[4], unsigned char* out) {
  size_t head = 2;
  out[0] = static_cast<unsigned char>(0x80 | (opcode & 0x0f));
  if (payload_len < 126) {
    out[1] = static_cast<unsigned char>(0x80 | payload_len);
  } else if (payload_len <= 0xffff) {
    out[1] = 0x80 | 126;
    out[2] = static_cast<unsigned char>(payload_len >> 8);
    out[3] = static_cast<unsigned char>(payload_len);
    head = 4;
  } else {
    out[1] = 0x80 | 127;
    for (int i = 0; i < 8; i++)
      out[2 + i] = static_cast<unsigned char>(static_cast<uint64_t>(payload_len) >> (56 - 8 * i));
    head = 10;
  }
  memcpy(out + head, mask, 4);
  return head + 4;
}

bool Base64Encode(const unsigned char* data, size_t len, char* out, size_t size) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if ((len + 2) / 3 * 4 + 1 > size) return false;
  size_t o = 0;
  for (size_t i = 0; i < len; i += 3) {
    uint32_t group = static_cast<uint32_t>(data[i]) << 16;
    if (i + 1 < len) group |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (i + 2 < len) group |= data[i + 2];
    out[o++] = kAlphabet[(group >> 18) & 63];
    out[o++] = kAlphabet[(group >> 12) & 63];
    out[o++] = i + 1 < len ? kAlphabet[(group >> 6) & 63] : '=';
    out[o++] = i + 2 < len ? kAlphabet[group & 63] : '=';
  }
  out[o] = '\0';
  return true;
}

static uint32_t RotateLeft(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

static void Sha1Block(uint32_t state[5], const unsigned char* block) {
  uint32_t w[80];
  for (size_t i = 0; i < 16; i++) {
    w[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
           static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
  }
  for (int i = 16; i < 80; i++) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; i++) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5a827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ed9eba1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8f1bbcdc;
    } else {
      f = b ^ c ^ d;
      k = 0xca62c1d6;
    }
    uint32_t next = RotateLeft(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = RotateLeft(b, 30);
    b = a;
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

void Sha1(const unsigned char* data, size_t len, unsigned char digest[20]) {
  uint32_t state[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
  size_t done = 0;
  for (; len - done >= 64; done += 64) Sha1Block(state, data + done);
  // The rest, the 0x80 marker and the bit length, in one or two blocks.
  unsigned char tail[128];
  memset(tail, 0, sizeof(tail));
  size_t rest = len - done;
  memcpy(tail, data + done, rest);
  tail[rest] = 0x80;
  size_t blocks = rest + 9 > 64 ? 2 : 1;
  uint64_t bits = static_cast<uint64_t>(len) * 8;
  for (int i = 0; i < 8; i++) tail[blocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  for (size_t i = 0; i < blocks; i++) Sha1Block(state, tail + 64 * i);
  for (int i = 0; i < 20; i++) digest[i] = static_cast<unsigned char>(state[i / 4] >> (24 - 8 * (i % 4)));
}

void WsAcceptKey(const char* key, char* accept, size_t size) {
  char joined[128];
  snprintf(joined, sizeof(joined), "%s258EAFA5-E914-47DA-95CA-C5AB0DC85B11", key);
  unsigned char digest[20];
  Sha1(reinterpret_cast<const unsigned char*>(joined), strlen(joined), digest);
  if (!Base64Encode(digest, sizeof(digest), accept, size) && size > 0) accept[0] = '\0';
}

// ---------------------------------------------------------------------------
// Node's inspector: the connection
// ---------------------------------------------------------------------------

namespace {

// What the inspector answers stays within these bounds, and every wait for
// it within INSPECTOR_WAIT_MS.
const size_t HTTP_ANSWER_MAX = 16384;
const int INSPECTOR_WAIT_MS = 2000;

}  // namespace

static void ListenerAddress(const TcpSocket& listener, struct sockaddr_storage* address, socklen_t* len) {
  memset(address, 0, sizeof(*address));
  if (listener.family == AF_INET) {
    struct sockaddr_in* in = reinterpret_cast<struct sockaddr_in*>(address);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(listener.port));
    memcpy(&in->sin_addr, listener.address, 4);
    *len = sizeof(*in);
  } else {
    struct sockaddr_in6* in6 = reinterpret_cast<struct sockaddr_in6*>(address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(listener.port));
    memcpy(&in6->sin6_addr, listener.address, 16);
    *len = sizeof(*in6);
  }
}

// "127.0.0.1:9229" or "[::1]:9229": node's inspector takes a numeric Host.
static void HostHeader(const TcpSocket& listener, char* out, size_t size) {
  char text[INET6_ADDRSTRLEN];
  if (inet_ntop(listener.family, listener.address, text, sizeof(text)) == nullptr) text[0] = '\0';
  snprintf(out, size, listener.family == AF_INET6 ? "[%s]:%d" : "%s:%d", text, listener.port);
}

// The local ports of the latest connections made here, for OwnConnectionPorts.
static const int OWN_PORTS_KEPT = 64;
static int g_own_ports[OWN_PORTS_KEPT];
static int g_own_port_count = 0;

// A connection's local port is chosen when it connects.
static void NoteOwnPort(int fd) {
  struct sockaddr_storage local;
  socklen_t len = sizeof(local);
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &len) != 0) return;
  const struct sockaddr_in* in = reinterpret_cast<const struct sockaddr_in*>(&local);
  const struct sockaddr_in6* in6 = reinterpret_cast<const struct sockaddr_in6*>(&local);
  int port = ntohs(local.ss_family == AF_INET ? in->sin_port : in6->sin6_port);
  g_own_ports[g_own_port_count++ % OWN_PORTS_KEPT] = port;
}

int OwnConnectionPorts(int* ports, int max) {
  int count = g_own_port_count < OWN_PORTS_KEPT ? g_own_port_count : OWN_PORTS_KEPT;
  if (count > max) count = max;
  memcpy(ports, g_own_ports, sizeof(int) * static_cast<size_t>(count));
  return count;
}

int ConnectToListener(int pid, const TcpSocket& listener, int timeout_ms) {
  int fd = TcpSocketInNamespace(pid, listener.family);
  if (fd == -1) return -1;
  struct sockaddr_storage address;
  socklen_t len;
  ListenerAddress(listener, &address, &len);
  // A frame goes out as its head and its payload: without TCP_NODELAY the
  // payload would wait for the acknowledgement of the head, delayed ~40 ms.
  int flags = fcntl(fd, F_GETFL);
  const int on = 1;
  if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1 ||
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0) {
    close(fd);
    return -1;
  }
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), len) != 0 && errno != EINPROGRESS) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  NoteOwnPort(fd);
  const int64_t deadline = MonotonicMs() + timeout_ms;
  int error = 0;
  socklen_t error_len = sizeof(error);
  for (;;) {
    struct pollfd entry = {fd, POLLOUT, 0};
    int64_t left = deadline - MonotonicMs();
    int ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready == -1 && errno == EINTR) continue;
    if (ready <= 0) error = ready == 0 ? ETIMEDOUT : errno;
    break;
  }
  if (error == 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_len) != 0) error = errno;
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Sends all of data on a non-blocking socket within INSPECTOR_WAIT_MS.
static bool SendAll(int fd, const void* data, size_t len) {
  const char* at = static_cast<const char*>(data);
  const int64_t deadline = MonotonicMs() + INSPECTOR_WAIT_MS;
  while (len > 0) {
    ssize_t sent = send(fd, at, len, SEND_FLAGS);
    if (sent > 0) {
      at += sent;
      len -= static_cast<size_t>(sent);
      continue;
    }
    if (sent == -1 && errno == EINTR) continue;
    if (sent == -1 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    struct pollfd entry = {fd, POLLOUT, 0};
    int64_t left = deadline - MonotonicMs();
    if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) == 0) return false;
  }
  return true;
}

// Receives what has come within the time left until deadline: the bytes
// received, 0 at the end of the stream, -1 on a fault or the time-out.
static ssize_t ReceiveSome(int fd, void* buf, size_t len, int64_t deadline) {
  for (;;) {
    int64_t left = deadline - MonotonicMs();
    if (left <= 0 || WaitReadable(fd, static_cast<int>(left)) <= 0) return -1;
    ssize_t got = recv(fd, buf, len, 0);
    if (got >= 0) return got;
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
  }
}

// Reads an HTTP answer's head into buf (len bytes held so far); its length
// in buf, or -1 with why.
static ssize_t ReadHead(int fd, char* buf, size_t size, size_t* len, HttpResponse* response, int64_t deadline,
                        const char** why) {
  for (;;) {
    int parsed = ParseHttpResponse(buf, *len, size, response);
    if (parsed == 1) return static_cast<ssize_t>(response->head_len);
    if (parsed == -1) {
      *why = "no HTTP answer";
      return -1;
    }
    ssize_t got = ReceiveSome(fd, buf + *len, size - *len, deadline);
    if (got <= 0) {
      *why = got == 0 ? "connection closed" : "no answer in time";
      return -1;
    }
    *len += static_cast<size_t>(got);
  }
}

ssize_t InspectorHttpGet(int pid, const TcpSocket& listener, const char* path, char* body, size_t size,
                         const char** why) {
  int fd = ConnectToListener(pid, listener, INSPECTOR_WAIT_MS);
  if (fd == -1) {
    *why = "cannot connect";
    return -1;
  }
  char host[64], request[512];
  HostHeader(listener, host, sizeof(host));
  snprintf(request, sizeof(request), "GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n", path, host);
  const int64_t deadline = MonotonicMs() + INSPECTOR_WAIT_MS;
  static char answer[HTTP_ANSWER_MAX];
  size_t len = 0;
  HttpResponse response;
  ssize_t result = -1;
  if (!SendAll(fd, request, strlen(request))) {
    *why = "cannot send";
  } else if (ReadHead(fd, answer, sizeof(answer), &len, &response, deadline, why) != -1) {
    // The body ends at its length, or at the end of the stream.
    for (;;) {
      size_t have = len - response.head_len;
      if (response.content_length >= 0 && have >= static_cast<size_t>(response.content_length)) break;
      if (len == sizeof(answer)) break;
      ssize_t got = ReceiveSome(fd, answer + len, sizeof(answer) - len, deadline);
      if (got == 0 && response.content_length < 0) break;
      if (got <= 0) {
        len = 0;
        *why = "answer cut short";
        break;
      }
      len += static_cast<size_t>(got);
    }
    size_t have = len >= response.head_len ? len - response.head_len : 0;
    if (len == 0) {
      // reported above
    } else if (response.status != 200) {
      *why = "HTTP status other than 200";
    } else if ((response.content_length >= 0 && have != static_cast<size_t>(response.content_length)) || have >= size) {
      *why = "answer too long";
    } else {
      memcpy(body, answer + response.head_len, have);
      body[have] = '\0';
      result = static_cast<ssize_t>(have);
    }
  }
  close(fd);
  return result;
}

bool WsOpen(InspectorLink* link, const TcpSocket& listener, const char* path, const char** why) {
  unsigned char nonce[16];
  char key[32], expected[32], accept[64], upgrade[32];
  if (!RandomBytes(nonce, sizeof(nonce)) || !Base64Encode(nonce, sizeof(nonce), key, sizeof(key))) {
    *why = "no random key";
    return false;
  }
  WsAcceptKey(key, expected, sizeof(expected));
  char host[64], request[512];
  HostHeader(listener, host, sizeof(host));
  snprintf(request, sizeof(request),
           "GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n",
           path, host, key);
  if (!SendAll(link->fd, request, strlen(request))) {
    *why = "cannot send";
    return false;
  }
  char* head = reinterpret_cast<char*>(link->pending);
  link->pending_len = 0;
  HttpResponse response;
  if (ReadHead(link->fd, head, HTTP_ANSWER_MAX, &link->pending_len, &response, MonotonicMs() + INSPECTOR_WAIT_MS,
               why) == -1) {
    return false;
  }
  if (response.status != 101 || !HttpHeaderValue(head, response.head_len, "Upgrade", upgrade, sizeof(upgrade)) ||
      strcasecmp(upgrade, "websocket") != 0) {
    *why = "no WebSocket upgrade";
    return false;
  }
  if (!HttpHeaderValue(head, response.head_len, "Sec-WebSocket-Accept", accept, sizeof(accept)) ||
      strcmp(accept, expected) != 0) {
    *why = "wrong Sec-WebSocket-Accept";
    return false;
  }
  // Frames that came with the head are the start of the stream.
  link->pending_len -= response.head_len;
  memmove(link->pending, link->pending + response.head_len, link->pending_len);
  return true;
}

bool WsSend(InspectorLink* link, int opcode, const char* data, size_t len) {
  unsigned char mask[4], head[14], chunk[4096];
  if (!RandomBytes(mask, sizeof(mask))) return false;
  size_t head_len = EncodeWsHead(opcode, len, mask, head);
  if (!SendAll(link->fd, head, head_len)) return false;
  for (size_t done = 0; done < len;) {
    size_t n = len - done < sizeof(chunk) ? len - done : sizeof(chunk);
    for (size_t i = 0; i < n; i++) chunk[i] = static_cast<unsigned char>(data[done + i] ^ mask[(done + i) % 4]);
    if (!SendAll(link->fd, chunk, n)) return false;
    done += n;
  }
  return true;
}

ssize_t WsReceiveText(InspectorLink* link, char* buf, size_t size, int timeout_ms, const char** why) {
  const int64_t deadline = MonotonicMs() + timeout_ms;
  for (;;) {
    WsFrame frame;
    ssize_t whole = DecodeWsFrame(link->pending, link->pending_len, sizeof(link->pending) - 14, &frame);
    if (whole == -1) {
      *why = "malformed WebSocket frame";
      return -1;
    }
    if (whole == 0) {
      ssize_t got =
          ReceiveSome(link->fd, link->pending + link->pending_len, sizeof(link->pending) - link->pending_len, deadline);
      if (got == 0) return 0;
      if (got < 0) {
        *why = "no answer in time";
        return -1;
      }
      link->pending_len += static_cast<size_t>(got);
      continue;
    }
    const char* payload = reinterpret_cast<const char*>(link->pending + frame.header_len);
    ssize_t result = -2;  // no message yet
    if (frame.opcode == WS_CLOSE) {
      result = 0;
    } else if (frame.opcode == WS_PING) {
      if (!WsSend(link, WS_PONG, payload, frame.payload_len)) {
        *why = "cannot send";
        result = -1;
      }
    } else if (frame.opcode == WS_TEXT && frame.fin) {
      if (frame.payload_len >= size) {
        *why = "message too long";
        result = -1;
      } else {
        memcpy(buf, payload, frame.payload_len);
        buf[frame.payload_len] = '\0';
        result = static_cast<ssize_t>(frame.payload_len);
      }
    } else if (frame.opcode != WS_PONG) {
      *why = "message not in one text frame";
      result = -1;
    }
    link->pending_len -= static_cast<size_t>(whole);
    memmove(link->pending, link->pending + whole, link->pending_len);
    if (result != -2) return result;
  }
}
