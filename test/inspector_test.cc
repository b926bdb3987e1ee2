// Unit tests of the inspector client in the tools module: what it reads from
// a target (options, socket tables, HTTP heads, JSON, WebSocket frames) and
// the WebSocket exchange over a local socket pair.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "inspector_client.h"
#include "inspector_settings.h"
#include "json.h"
#include "system_facts.h"
#include "tools.h"

namespace {

// A command line as /proc/<pid>/cmdline holds it.
std::string Cmdline(std::initializer_list<const char*> words) {
  std::string line;
  for (const char* word : words) line.append(word).push_back('\0');
  return line;
}

TEST(InspectorSettingsTest, Table) {
  struct Case {
    std::string cmdline;
    const char* node_options;
    const char* host;
    int port;
    bool disable_sigusr1, permission, http_unpublished;
  };
  // clang-format off
  const Case cases[] = {
      {Cmdline({"node", "app.js"}), nullptr, "127.0.0.1", 9229, false, false, false},
      {Cmdline({"node", "--inspect-port=9300", "app.js"}), nullptr, "127.0.0.1", 9300, false, false, false},
      {Cmdline({"node", "--inspect-port", "9300", "app.js"}), nullptr, "127.0.0.1", 9300, false, false, false},
      {Cmdline({"node", "--inspect_port=0", "app.js"}), nullptr, "127.0.0.1", 0, false, false, false},
      {Cmdline({"node", "--inspect=0.0.0.0:9400"}), nullptr, "0.0.0.0", 9400, false, false, false},
      {Cmdline({"node", "--inspect-brk=[::1]:9401"}), nullptr, "::1", 9401, false, false, false},
      {Cmdline({"node", "--inspect=[::1]"}), nullptr, "::1", 9229, false, false, false},
      {Cmdline({"node", "--inspect=example.org"}), nullptr, "example.org", 9229, false, false, false},
      {Cmdline({"node", "--inspect=80"}), nullptr, "127.0.0.1", 9229, false, false, false},  // no valid port
      // The command line wins over NODE_OPTIONS; the application's words are its own.
      {Cmdline({"node", "--inspect-port=9500"}), "--inspect-port=9600", "127.0.0.1", 9500, false, false, false},
      {Cmdline({"node", "app.js", "--inspect-port=9700"}), "--inspect-port=9600", "127.0.0.1", 9600, false, false,
       false},
      {Cmdline({"node", "-r", "--inspect-port=9800", "app.js"}), nullptr, "127.0.0.1", 9229, false, false, false},
      {Cmdline({"node", "-e", "1", "--inspect-port=9800"}), nullptr, "127.0.0.1", 9800, false, false, false},
      {Cmdline({"node", "--", "--inspect-port=9800"}), nullptr, "127.0.0.1", 9229, false, false, false},
      {Cmdline({"node"}), "--require \"/a b/x.js\" --inspect-port 9900", "127.0.0.1", 9900, false, false, false},
      // --inspect-port takes [host:]port as --inspect does: a word that is no port is a host.
      {Cmdline({"node"}), "\"--inspect-port=99\\\"01\"", "99\"01", 9229, false, false, false},
      {Cmdline({"node", "--disable-sigusr1"}), nullptr, "127.0.0.1", 9229, true, false, false},
      {Cmdline({"node", "--experimental-permission", "--allow-fs-read=*"}), nullptr, "127.0.0.1", 9229, false, true,
       false},
      {Cmdline({"node"}), "--permission", "127.0.0.1", 9229, false, true, false},
      {Cmdline({"node", "--inspect-publish-uid=stderr"}), nullptr, "127.0.0.1", 9229, false, false, true},
      {Cmdline({"node", "--inspect-publish-uid", "stderr,http"}), nullptr, "127.0.0.1", 9229, false, false, false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.cmdline) + " / " + (c.node_options ? c.node_options : "(none)"));
    InspectorSettings settings;
    ParseInspectorSettings(c.cmdline.data(), c.cmdline.size(), c.node_options, &settings);
    EXPECT_STREQ(c.host, settings.host);
    EXPECT_EQ(c.port, settings.port);
    EXPECT_EQ(c.disable_sigusr1, settings.disable_sigusr1);
    EXPECT_EQ(c.permission, settings.permission);
    EXPECT_EQ(c.http_unpublished, settings.http_unpublished);
  }
}

TEST(InspectorSettingsTest, LoopbackHosts) {
  for (const char* host : {"localhost", "127.0.0.1", "127.1.2.3", "::1", "0:0:0:0:0:0:0:1", "::ffff:127.0.0.1"}) {
    EXPECT_TRUE(IsLoopbackHost(host)) << host;
  }
  for (const char* host : {"0.0.0.0", "::", "10.0.0.1", "example.org", "127.0.0.1.example.org", "", "128.0.0.1"}) {
    EXPECT_FALSE(IsLoopbackHost(host)) << host;
  }
}

TEST(TcpTableTest, Lines) {
  struct Case {
    const char* line;
    bool parsed;
    int family = 0, port = 0, state = 0;
    unsigned long inode = 0;
    bool loopback = false;
  };
  // clang-format off
  const Case cases[] = {
      {"   0: 0100007F:240D 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 41233 1 0 100 0 0 10 0",
       true, AF_INET, 9229, 10, 41233, true},
      {"   1: 00000000:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 144 1 0 100 0 0 10 0",
       true, AF_INET, 2024, 10, 144, false},
      {"   2: 00000000000000000000000001000000:240D 00000000000000000000000000000000:0000 0A 00000000:00000000 "
       "00:00000000 00000000     0        0 777 1 0", true, AF_INET6, 9229, 10, 777, true},
      {"   3: 0000000000000000FFFF00000100007F:1F90 00000000000000000000000000000000:0000 01 00000000:00000000 "
       "00:00000000 00000000     0        0 778 1 0", true, AF_INET6, 8080, 1, 778, true},
      {"  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode", false},
      {"   4: 0100007F:1FFFFF 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1 1", false},
      {"   5: 0100007:240D 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1 1", false},
      {"", false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TcpSocket socket;
    ASSERT_EQ(c.parsed, ParseTcpLine(c.line, &socket));
    if (!c.parsed) continue;
    EXPECT_EQ(c.family, socket.family);
    EXPECT_EQ(c.port, socket.port);
    EXPECT_EQ(c.state, socket.state);
    EXPECT_EQ(c.inode, socket.inode);
    EXPECT_EQ(c.loopback, IsLoopbackSocket(socket));
  }
}

TEST(HttpResponseTest, Heads) {
  const std::string ok =
      "HTTP/1.0 200 OK\r\nContent-Type: application/json; charset=UTF-8\r\ncontent-length:  5 \r\n\r\nhello";
  struct Case {
    std::string data;
    int result, status = 0;
    size_t head_len = 0;
    long content_length = 0;
  };
  const Case cases[] = {
      {ok, 1, 200, ok.size() - 5, 5},
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n", 1, 101, 56, -1},
      {"HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n", -1},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", -1},
      {"HTTP/1.1 20 OK\r\n\r\n", -1},
      {"HTTP/1.1 200 OK\r\n", 0},
      {"HTTP/1", 0},
      {"SSH-2.0-OpenSSH\r\n\r\n", -1},
      {"HTTP/1.1 200 OK\r\n" + std::string(5000, 'x'), -1},  // no end of the head within the bound
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data.substr(0, 40));
    HttpResponse response;
    ASSERT_EQ(c.result, ParseHttpResponse(c.data.data(), c.data.size(), 4096, &response));
    if (c.result != 1) continue;
    EXPECT_EQ(c.status, response.status);
    EXPECT_EQ(c.head_len, response.head_len);
    EXPECT_EQ(c.content_length, response.content_length);
  }
  char value[8];
  EXPECT_TRUE(HttpHeaderValue(ok.data(), ok.size() - 5, "Content-Type", value, sizeof(value)));
  EXPECT_STREQ("applica", value);  // cut to the buffer
  EXPECT_FALSE(HttpHeaderValue(ok.data(), ok.size() - 5, "Content", value, sizeof(value)));
  EXPECT_FALSE(HttpHeaderValue(ok.data(), ok.size() - 5, "hello", value, sizeof(value)));
}

TEST(JsonMemberTest, Table) {
  const std::string reply = R"({"id":1,"result":{"result":{"type":"object","description":"Error: boom\n    at x"},)"
                            R"("exceptionDetails":{"text":"Uncaught","exception":{"description":"Error: boom"}}}})";
  const std::string list = R"([ {"title":"a \"webSocketDebuggerUrl\":\"ws://evil\"","id":"x",)"
                           R"("webSocketDebuggerUrl": "ws://127.0.0.1:9229/ab-12"} ])";
  struct Case {
    std::string json;
    const char* key;
    bool any_depth;
    int kind;
    std::string value;
  };
  // clang-format off
  const Case cases[] = {
      {reply, "id", false, 'v', "1"},
      {reply, "description", false, 0, ""},
      {reply, "description", true, 's', "Error: boom\n    at x"},
      {reply, "exceptionDetails", true, 'o', R"({"text":"Uncaught","exception":{"description":"Error: boom"}})"},
      {list, "webSocketDebuggerUrl", false, 's', "ws://127.0.0.1:9229/ab-12"},
      {R"({"a":[1,{"b":true}],"b":2})", "b", false, 'v', "2"},
      {R"({"a":[1,{"b":true}],"b":2})", "b", true, 'v', "true"},
      {R"({"a":[1,2]})", "a", false, 'a', "[1,2]"},
      {R"({"s":"\u00e9\ud83d\ude00\ud800\/\t"})", "s", false, 's', "\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbd/\t"},
      {R"({"s":"\x"})", "s", false, 0, ""},
      {R"({"s":"open)", "s", false, 0, ""},
      {R"({"a":1,"s":)", "s", false, 0, ""},
      {R"({"a" 1,"s":2})", "s", false, 0, ""},
      {std::string(40, '[') + R"({"s":1})" + std::string(40, ']'), "s", true, 0, ""},  // deeper than the limit
      {"", "s", false, 0, ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json + " / " + c.key);
    char value[256];
    EXPECT_EQ(c.kind, JsonMember(c.json.data(), c.json.size(), c.key, c.any_depth, value, sizeof(value)));
    EXPECT_EQ(c.value, value);
  }
  char small[4];
  EXPECT_EQ('s', JsonMember(R"({"s":"abcdef"})", 14, "s", false, small, sizeof(small)));
  EXPECT_STREQ("abc", small);
}

TEST(JsonEscapeTest, Table) {
  char out[64];
  const std::string text = std::string("a\"b\\c\n\x01\x7f") + "\xe4\xb8\xad";
  EXPECT_EQ(24u, JsonEscape(text.data(), text.size(), out, sizeof(out)));
  EXPECT_STREQ("a\\\"b\\\\c\\n\\u0001\\u007f\xe4\xb8\xad", out);
  EXPECT_EQ(0u, JsonEscape(text.data(), text.size(), out, 24));  // no room for the NUL
  // What is no well-formed UTF-8 becomes U+FFFD, byte by byte: a stray
  // continuation byte, a cut sequence, an overlong form, a surrogate, a code
  // point above U+10FFFF, and a NUL inside the text.
  struct Case {
    std::string text, json;
  } cases[] = {
      {"\x80", "\\ufffd"},
      {"\xe4\xb8", "\\ufffd\\ufffd"},
      {"\xc0\xaf", "\\ufffd\\ufffd"},
      {"\xed\xa0\x80", "\\ufffd\\ufffd\\ufffd"},
      {"\xf4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {std::string("a\0b", 3), "a\\u0000b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.json.size(), JsonEscape(c.text.data(), c.text.size(), out, sizeof(out)));
    EXPECT_EQ(c.json, out);
  }
}

TEST(WebSocketTest, Frames) {
  struct Case {
    std::string bytes;
    ssize_t result;
    int opcode = 0;
    size_t payload_len = 0;
  };
  // clang-format off
  const Case cases[] = {
      {std::string("\x81\x02hi", 4), 4, WS_TEXT, 2},
      {std::string("\x81\x02h", 3), 0},
      {std::string("\x81\x7e\x01\x00", 4) + std::string(256, 'x'), 260, WS_TEXT, 256},
      {std::string("\x81\x7f\x00\x00\x00\x00\x00\x01\x00\x00", 10) + std::string(65536, 'x'), 65546, WS_TEXT, 65536},
      {std::string("\x81\x7f\x80\x00\x00\x00\x00\x00\x00\x00", 10), -1},  // over the bound
      {std::string("\x88\x00", 2), 2, WS_CLOSE, 0},
      {std::string("\x89\x7e\x00\x80", 4), -1},  // control frame over 125 bytes
      {std::string("\x09\x00", 2), -1},          // control frame cut
      {std::string("\x81\x82\x00\x00\x00\x00hi", 8), -1},  // masked by the server
      {std::string("\xc1\x00", 2), -1},          // reserved bit
      {std::string("\x83\x00", 2), -1},          // unknown opcode
      {std::string("\x01\x01h", 3), 3, WS_TEXT, 1},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes.substr(0, 10)));
    WsFrame frame;
    ASSERT_EQ(c.result,
              DecodeWsFrame(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), 1 << 20, &frame));
    if (c.result <= 0) continue;
    EXPECT_EQ(c.opcode, frame.opcode);
    EXPECT_EQ(c.payload_len, frame.payload_len);
  }
  const unsigned char mask[4] = {1, 2, 3, 4};
  unsigned char head[14];
  struct Head {
    size_t payload;
    std::string bytes;
  };
  const Head heads[] = {
      {5, std::string("\x81\x85\x01\x02\x03\x04", 6)},
      {300, std::string("\x81\xfe\x01\x2c\x01\x02\x03\x04", 8)},
      {70000, std::string("\x81\xff\x00\x00\x00\x00\x00\x01\x11\x70\x01\x02\x03\x04", 14)},
  };
  for (const Head& h : heads) {
    size_t len = EncodeWsHead(WS_TEXT, h.payload, mask, head);
    EXPECT_EQ(h.bytes, std::string(reinterpret_cast<char*>(head), len)) << h.payload;
  }
}

// The example of RFC 6455, and SHA-1 of FIPS 180's "abc" and a two-block input.
TEST(WebSocketTest, AcceptKeyAndDigest) {
  char accept[32];
  WsAcceptKey("dGhlIHNhbXBsZSBub25jZQ==", accept, sizeof(accept));
  EXPECT_STREQ("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", accept);
  struct Case {
    std::string text, digest;
  } cases[] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
  };
  for (const Case& c : cases) {
    unsigned char digest[20];
    Sha1(reinterpret_cast<const unsigned char*>(c.text.data()), c.text.size(), digest);
    char hex[41];
    for (int i = 0; i < 20; i++) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_EQ(c.digest, hex);
  }
  EXPECT_FALSE(Base64Encode(reinterpret_cast<const unsigned char*>("abcd"), 4, accept, 8));
}

// A server's stream, read by the client: a ping is answered with a masked
// pong, two messages in one read come one by one, a close ends the stream.
TEST(WebSocketTest, ReceiveAndSend) {
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  static InspectorLink link;
  link.fd = pair[0];
  link.pending_len = 0;
  const std::string stream = std::string("\x89\x01p\x81\x03one\x81\x03two\x01\x01x", 16);
  ASSERT_EQ(static_cast<ssize_t>(stream.size()), write(pair[1], stream.data(), stream.size()));
  char text[8];
  const char* why = nullptr;
  EXPECT_EQ(3, WsReceiveText(&link, text, sizeof(text), 1000, &why));
  EXPECT_STREQ("one", text);
  EXPECT_EQ(3, WsReceiveText(&link, text, sizeof(text), 1000, &why));
  EXPECT_STREQ("two", text);
  EXPECT_EQ(-1, WsReceiveText(&link, text, sizeof(text), 1000, &why));
  EXPECT_STREQ("message not in one text frame", why);
  unsigned char pong[8];
  ASSERT_EQ(7, read(pair[1], pong, sizeof(pong)));
  EXPECT_EQ(0x8a, pong[0]);
  EXPECT_EQ(0x81, pong[1]);
  EXPECT_EQ('p', pong[6] ^ pong[2]);
  // A message longer than the buffer, then the server's close.
  ASSERT_EQ(12, write(pair[1], "\x81\x08longtext\x88\x00", 12));
  EXPECT_EQ(-1, WsReceiveText(&link, text, sizeof(text), 1000, &why));
  EXPECT_STREQ("message too long", why);
  EXPECT_EQ(0, WsReceiveText(&link, text, sizeof(text), 1000, &why));
  EXPECT_EQ(-1, WsReceiveText(&link, text, sizeof(text), 50, &why));
  EXPECT_STREQ("no answer in time", why);
  close(pair[1]);
  EXPECT_EQ(0, WsReceiveText(&link, text, sizeof(text), 1000, &why));
  close(pair[0]);
}

}  // namespace
