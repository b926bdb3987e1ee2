// Fuzzes the inspector client's reading of what a target says: the HTTP
// head, JSON members and elements, WebSocket frames (decoded, and received over a socket
// pair as the client reads them), a line of the TCP table and the options
// of a command line and NODE_OPTIONS. Every parse stays within its input
// and its output buffer.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "inspector_client.h"
#include "inspector_settings.h"
#include "json.h"
#include "system_facts.h"
#include "tools.h"

static void CheckHttp(const char* data, size_t size) {
  HttpResponse response;
  if (ParseHttpResponse(data, size, 4096, &response) != 1) return;
  if (response.head_len > size || response.content_length < -1) abort();
  char value[32];
  for (const char* name : {"Content-Length", "Upgrade", "Sec-WebSocket-Accept"}) {
    if (HttpHeaderValue(data, response.head_len, name, value, sizeof(value)) && strlen(value) >= sizeof(value)) abort();
  }
}

static void CheckJson(const char* data, size_t size) {
  static const char* const kKeys[] = {"id",     "value", "description", "webSocketDebuggerUrl", "exceptionDetails",
                                      "Browser"};
  for (const char* key : kKeys) {
    for (bool any_depth : {false, true}) {
      char value[64];
      int kind = JsonMember(data, size, key, any_depth, value, sizeof(value));
      if (kind != 0 && kind != 's' && kind != 'o' && kind != 'a' && kind != 'v') abort();
      if (strnlen(value, sizeof(value)) >= sizeof(value)) abort();
    }
  }
  for (int index = 0; index < 3; index++) {
    char value[64];
    int kind = JsonElement(data, size, index, value, sizeof(value));
    if (kind != 0 && kind != 's' && kind != 'o' && kind != 'a' && kind != 'v') abort();
    if (strnlen(value, sizeof(value)) >= sizeof(value)) abort();
  }
  static char escaped[6 * 4096 + 1];
  if (size <= 4096 && JsonEscape(data, size, escaped, sizeof(escaped)) == 0 && size > 0) abort();
}

static void CheckFrames(const uint8_t* data, size_t size) {
  WsFrame frame;
  ssize_t whole = DecodeWsFrame(data, size, 1 << 20, &frame);
  if (whole > 0 &&
      (static_cast<size_t>(whole) > size || frame.header_len + frame.payload_len != static_cast<size_t>(whole)))
    abort();
  // The same bytes as a server's stream, read as the client reads it.
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return;
  static InspectorLink link;
  link.fd = pair[0];
  link.pending_len = 0;
  if (write(pair[1], data, size) == static_cast<ssize_t>(size) && shutdown(pair[1], SHUT_WR) == 0) {
    char text[100];
    const char* why = nullptr;
    for (int i = 0; i < 64; i++) {
      ssize_t len = WsReceiveText(&link, text, sizeof(text), 1000, &why);
      if (len > 0 && (static_cast<size_t>(len) >= sizeof(text) || text[len] != '\0')) abort();
      if (len <= 0) break;
    }
  }
  close(pair[0]);
  close(pair[1]);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  CheckHttp(text, size);
  CheckJson(text, size);
  CheckFrames(data, size);
  const std::string line(text, size);  // NUL-ended, cut at the first NUL
  TcpSocket socket;
  if (ParseTcpLine(line.c_str(), &socket) && (socket.port < 0 || socket.port > 65535)) abort();
  InspectorSettings settings;
  ParseInspectorSettings(text, size, line.c_str(), &settings);
  if (strnlen(settings.host, sizeof(settings.host)) >= sizeof(settings.host) || settings.port < 0 ||
      settings.port > 65535)
    abort();
  return 0;
}
