// Unit tests of the inspector client: what it reads from a target's
// inspector (HTTP heads, WebSocket frames) and the WebSocket exchange over a
// local socket pair.
#include "inspector_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

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
