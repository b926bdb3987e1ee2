// The client side of node's inspector: HTTP, WebSocket and what they need.
#ifndef QUELLIX_DEPS_INSPECTOR_INSPECTOR_CLIENT_H_
#define QUELLIX_DEPS_INSPECTOR_INSPECTOR_CLIENT_H_

#include <stddef.h>
#include <sys/types.h>

#include "system_facts.h"

// An HTTP response's head: its status and where its body begins.
struct HttpResponse {
  int status;
  size_t head_len;      // bytes up to and including the blank line
  long content_length;  // -1 when the head names none
};
// 1 when data holds the whole head, 0 when more is needed (and may come
// within max_head bytes), -1 when it is no HTTP/1.x response.
int ParseHttpResponse(const char* data, size_t len, size_t max_head, HttpResponse* response);
// Copies the value of the header name (case-insensitive, blanks trimmed) from
// a head into value (size bytes); false when there is none.
bool HttpHeaderValue(const char* head, size_t head_len, const char* name, char* value, size_t size);

// One WebSocket frame of a server: opcode, FIN, and where its payload lies.
struct WsFrame {
  int opcode;  // 1 text, 2 binary, 8 close, 9 ping, 10 pong, 0 continuation
  bool fin;
  size_t header_len;
  size_t payload_len;
};
const int WS_TEXT = 1;
const int WS_CLOSE = 8;
const int WS_PING = 9;
const int WS_PONG = 10;
// Decodes the frame at the start of data: its whole length when all of it
// is there, 0 when more is needed, -1 for a frame no server may send
// (masked, reserved bits, unknown opcode, a control frame over 125 bytes or
// cut, a payload over max_payload).
ssize_t DecodeWsFrame(const unsigned char* data, size_t len, size_t max_payload, WsFrame* frame);
// Writes the head of a client frame (FIN, opcode, length, the masking key)
// into out (at least 14 bytes); its length.
size_t EncodeWsHead(int opcode, size_t payload_len, const unsigned char mask[4], unsigned char* out);
// The Sec-WebSocket-Accept value that answers key: base64 of the SHA-1 of
// the key and the protocol's GUID (29 bytes with its NUL).
void WsAcceptKey(const char* key, char* accept, size_t size);
// Base64 of len bytes into out; false when it does not fit.
bool Base64Encode(const unsigned char* data, size_t len, char* out, size_t size);
// SHA-1 of len bytes.
void Sha1(const unsigned char* data, size_t len, unsigned char digest[20]);

// A connection to a target's inspector: its socket, and bytes received
// beyond the last message.
struct InspectorLink {
  int fd;
  unsigned char pending[65536];
  size_t pending_len;
};
// Connects to the listener of pid (in pid's network namespace) within
// timeout_ms; the socket, or -1 with errno set.
int ConnectToListener(int pid, const TcpSocket& listener, int timeout_ms);
// The local ports of the latest connections (at most 64) that this process
// made with ConnectToListener, into ports (at most max): their count. A
// connection to an inspector from another port is someone else's.
int OwnConnectionPorts(int* ports, int max);
// GET path over a new connection to the listener: the body (NUL-ended, at
// most size - 1 bytes) of a 200 answer, its length; -1 otherwise, with why
// naming the fault.
ssize_t InspectorHttpGet(int pid, const TcpSocket& listener, const char* path, char* body, size_t size,
                         const char** why);
// Opens a WebSocket on path over link->fd; false with why naming the fault.
bool WsOpen(InspectorLink* link, const TcpSocket& listener, const char* path, const char** why);
// Sends len bytes as one masked frame of opcode; false when it fails.
bool WsSend(InspectorLink* link, int opcode, const char* data, size_t len);
// Receives the next text message into buf (NUL-ended, at most size - 1
// bytes) within timeout_ms: its length; 0 when the server closed (close
// frame or end of stream); -1 on a fault or the time-out, with why.
ssize_t WsReceiveText(InspectorLink* link, char* buf, size_t size, int timeout_ms, const char** why);

#endif  // QUELLIX_DEPS_INSPECTOR_INSPECTOR_CLIENT_H_
