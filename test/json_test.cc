// Unit tests of the JSON member and element readers and of JSON escaping.
#include "json.h"

#include <gtest/gtest.h>

#include <string>

namespace {

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

TEST(JsonElementTest, Table) {
  const std::string frames = R"([{"function":"a","line":1}, {"":"x","url":null} ,"s\u00e9",[1,2],3])";
  struct Case {
    std::string json;
    int index;
    int kind;
    std::string value;
  };
  // clang-format off
  const Case cases[] = {
      {frames, 0, 'o', R"({"function":"a","line":1})"},
      {frames, 1, 'o', R"({"":"x","url":null})"},  // a member named "" stops nothing
      {frames, 2, 's', "s\xc3\xa9"},
      {frames, 3, 'a', "[1,2]"},
      {frames, 4, 'v', "3"},
      {frames, 5, 0, ""},
      {frames, -1, 0, ""},
      {"[]", 0, 0, ""},
      {R"({"a":1})", 0, 0, ""},
      {"[1 2]", 1, 0, ""},
      {"[1,", 1, 0, ""},
      {"", 0, 0, ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json + " / " + std::to_string(c.index));
    char value[256];
    EXPECT_EQ(c.kind, JsonElement(c.json.data(), c.json.size(), c.index, value, sizeof(value)));
    EXPECT_EQ(c.value, value);
  }
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

}  // namespace
