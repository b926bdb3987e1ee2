// Unit tests of the tools module: string tests, line-end removal, the
// duration test, the option-text classifiers, the timestamp suffix and the
// bounded append, the escaping of outside text and the socket path limit.
#include "tools.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "support.h"

static const char* Show(const char* text) { return text != nullptr ? text : "null"; }

TEST(StrContainsTest, Table) {
  struct Case {
    const char* text;
    const char* needle;
    bool found;
  } cases[] = {
      {"", "", true},     {"abc", "", true},    {"abc", "abcd", false}, {"abc", "bc", true},
      {"abc", "c", true}, {"abc", "abc", true}, {"abc", "ac", false},   {"abc", "B", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.found, StrContains(c.text, c.needle)) << c.text << " / " << c.needle;
}

TEST(StrStartsWithTest, Table) {
  struct Case {
    const char* text;
    const char* prefix;
    bool starts;
  } cases[] = {
      {nullptr, "a", false},
      {"a", nullptr, false},
      {nullptr, nullptr, false},
      {"abc", "", true},
      {"", "", true},
      {"--pid=5", "--pid=", true},
      {"x--pid=5", "--pid=", false},
      {"--pi", "--pid=", false},
      {"--PID=5", "--pid=", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.starts, StrStartsWith(c.text, c.prefix)) << Show(c.text) << " / " << Show(c.prefix);
}

TEST(StrEndsWithTest, Table) {
  struct Case {
    const char* text;
    const char* suffix;
    bool ends;
  } cases[] = {
      {nullptr, "s", false},   {"s", nullptr, false}, {"s", "1s", false}, {"time=1s", "time=1s", true},
      {"time=1s", "s", true},  {"time=1s", "", true}, {"", "", true},     {"time=1s ", "s", false},
      {"time=1S", "s", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.ends, StrEndsWith(c.text, c.suffix)) << Show(c.text) << " / " << Show(c.suffix);
}

// x, y, z are a, b, c. The whole buffer is compared: the text is cut by NULs,
// never moved.
TEST(RemoveCRNLTest, Table) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"\n", std::string(1, '\0')},
      {"\r", std::string(1, '\0')},
      {"a", "a"},
      {"ab", "ab"},
      {"a\n", std::string("a\0", 2)},
      {"a\r", std::string("a\0", 2)},
      {"a\r\n", std::string("a\0\0", 3)},
      {"a\n\r", std::string("a\0\0", 3)},
      {"a\n\n", std::string("a\0\0", 3)},
      {"\r\n", std::string("\0\0", 2)},
      {"\na", std::string("\0a", 2)},
      {"a\nb", std::string("a\0b", 3)},
      {"ab\nc", std::string("ab\0c", 4)},
      {"\n\n\n", std::string("\n\0\0", 3)},
      {"a\r\n\n", std::string("a\r\0\0", 4)},
  };
  for (const Case& c : cases) {
    std::string buf = c.in;
    RemoveCRNL(&buf[0]);
    EXPECT_EQ(c.out, buf) << testing::PrintToString(c.in);
  }
}

TEST(IsDurationInputTest, Table) {
  struct Case {
    const char* text;
    bool duration;
  } cases[] = {
      {"time=1h", true},    {"time=5m", true},   {"time=90s", true}, {"time=h", true}, {"time=abc s", true},
      {"time=1h30", false}, {"time=30", false},  {"time=1H", false}, {"time=", false}, {"Time=1h", false},
      {"xtime=1h", false},  {"time=1s ", false}, {"", false},        {nullptr, false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.duration, IsDurationInput(c.text)) << Show(c.text);
}

// Each row: the text, then whether IsTraceGcCommand, IsProfCommand,
// IsBasicProfCommand and IsOtherCommandNeedLogFile hold for it.
TEST(OptionTextClassifierTest, Table) {
  struct Case {
    const char* text;
    bool gc, prof, basic, other;
  } cases[] = {
      {"", 0, 0, 0, 1},
      {"--trace_gc ", 1, 0, 0, 1},
      {"--trace_gc_nvp ", 1, 0, 0, 1},
      {"--trace_gc_verbose ", 1, 0, 0, 1},
      {"--trace_fragmentation ", 1, 0, 0, 1},
      {"--trace_gc", 0, 0, 0, 1},
      {"--trace-gc ", 0, 0, 0, 1},
      {"--prof ", 0, 1, 0, 1},
      {"--prof_browser_mode ", 0, 0, 0, 1},
      {"--perf_basic_prof ", 0, 0, 1, 1},
      {"--perf_basic_prof_only_functions ", 0, 0, 0, 1},
      {"--trace_gc --prof --perf_basic_prof ", 1, 1, 1, 1},
      {"--max_old_space_size=128 ", 0, 0, 0, 0},
      {"--trace_gc --max_old_space_size=128 ", 1, 0, 0, 0},
      // Only the first "time=" is no value.
      {"--trace_opt time=10 ", 0, 0, 0, 1},
      {"time= ", 0, 0, 0, 1},
      {"--trace_opt time=1 time=2 ", 0, 0, 0, 0},
      {"--a=1 time=5 ", 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.gc, IsTraceGcCommand(c.text)) << c.text;
    EXPECT_EQ(c.prof, IsProfCommand(c.text)) << c.text;
    EXPECT_EQ(c.basic, IsBasicProfCommand(c.text)) << c.text;
    EXPECT_EQ(c.other, IsOtherCommandNeedLogFile(c.text)) << c.text;
  }
}

// Local time is 14 hours ahead of UTC. The expected stamp is taken from the
// seconds before and after the call, so a second boundary cannot fail it. A
// 1024-byte path buffer that is nearly full is cut, and nothing behind it is
// written.
TEST(AttachTimeStampTest, PrecisionAndBounds) {
  const char* tz = getenv("TZ");
  const std::string saved_tz = tz != nullptr ? tz : "";
  setenv("TZ", "QLX-14", 1);
  tzset();
  auto now = [] {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<time_t>(tv.tv_sec);
  };
  auto stamp = [](time_t t, const char* format) {
    struct tm local;
    char text[32];
    strftime(text, sizeof(text), format, localtime_r(&t, &local));
    return std::string(text);
  };
  struct Case {
    size_t used;
    unsigned char precision;
    const char* format;
  } cases[] = {
      {12, 1, "%Y%m%d"},          {12, 2, "%Y%m%d-%H"},       {12, 4, "%Y%m%d-%H%M"},   {12, 8, "%Y%m%d-%H%M%S"},
      {12, 0, "%Y%m%d-%H%M%S"},   {12, 3, "%Y%m%d-%H%M%S"},   {12, 9, "%Y%m%d-%H%M%S"}, {1010, 8, "%Y%m%d-%H%M%S"},
      {1022, 8, "%Y%m%d-%H%M%S"}, {1023, 8, "%Y%m%d-%H%M%S"},
  };
  for (const Case& c : cases) {
    char buf[1100];
    memset(buf, '#', sizeof(buf));
    memset(buf, 'p', c.used);
    buf[c.used] = '\0';
    time_t before = now();
    AttachTimeStamp(buf, "txt", c.precision);
    time_t after = now();
    auto expected = [&](time_t t) {
      return (std::string(c.used, 'p') + "-" + stamp(t, c.format) + ".txt").substr(0, 1023);
    };
    EXPECT_TRUE(buf == expected(before) || buf == expected(after)) << int(c.precision) << ": " << buf + c.used;
    EXPECT_EQ(std::string(76, '#'), std::string(buf + 1024, 76)) << c.used;
  }
  tz != nullptr ? setenv("TZ", saved_tz.c_str(), 1) : unsetenv("TZ");
  tzset();
}

TEST(AppendFormatTest, Bounds) {
  struct Case {
    const char* start;
    size_t size;
    const char* piece;
    const char* result;
  } cases[] = {
      {"abc", 8, "de", "abcde"}, {"abc", 8, "defghij", "abcdefg"}, {"abcdefg", 8, "x", "abcdefg"}, {"", 1, "x", ""},
      {"", 8, "%d", "%d"},
  };
  for (const Case& c : cases) {
    char buf[16];
    memset(buf, '#', sizeof(buf));
    memcpy(buf, c.start, strlen(c.start) + 1);
    AppendFormat(buf, c.size, "%s", c.piece);
    EXPECT_STREQ(c.result, buf) << c.start << " + " << c.piece;
    EXPECT_EQ(std::string(16 - c.size, '#'), std::string(buf + c.size, 16 - c.size)) << c.start;
  }
  char unterminated[8];
  memset(unterminated, 'z', sizeof(unterminated));
  AppendFormat(unterminated, sizeof(unterminated), "%s", "x");
  EXPECT_EQ(std::string(8, 'z'), std::string(unterminated, 8));
}

// The longest path a local socket address holds connects; one byte more is
// refused, never cut to another socket's name.
TEST(OpenSocketPathTest, LengthLimit) {
  char dir[] = "/tmp/quellix-test-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  struct sockaddr_un addr = {};
  const std::string longest = std::string(dir) + "/" + std::string(sizeof(addr.sun_path) - 2 - strlen(dir), 's');
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, longest.c_str(), longest.size() + 1);
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
  ASSERT_EQ(0, listen(listener, 1));

  int fd = OpenSocketPath(longest.c_str());
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
  testing::internal::CaptureStdout();
  EXPECT_EQ(-2, OpenSocketPath((longest + "x").c_str()));
  fflush(stdout);
  EXPECT_EQ("Socket path too long for a local socket (108 bytes, at most 107): " + longest + "x\n",
            testing::internal::GetCapturedStdout());
  close(listener);
  unlink(longest.c_str());
  rmdir(dir);
}

TEST(EscapeControlsTest, Table) {
  struct Case {
    const char* text;
    size_t size;
    const char* out;
  } cases[] = {
      {"\033]0;owned\007\033[2J", 64, "\\x1b]0;owned\\x07\\x1b[2J"},
      {"a\tb\nc\rd\x7f", 64, "a\\x09b\\x0ac\\x0dd\\x7f"},
      {"日志 /x\\y", 64, "日志 /x\\y"},
      // C1 controls in UTF-8 (CSI, OSC, ST) steer terminals as ESC does; "é" is no control.
      {"\xc2\x9bH\xc2\x9dtitle\xc2\x9c \xc3\xa9\xc2\xa0", 64, "\\xc2\\x9bH\\xc2\\x9dtitle\\xc2\\x9c \xc3\xa9\xc2\xa0"},
      {"a\xc2\x9b", 9, "a"},
      {"ab\033", 6, "ab"},  // no half escape
      {"ab\033", 7, "ab\\x1b"},
      {"abc", 1, ""},
  };
  for (const Case& c : cases) {
    char out[64];
    EscapeControls(c.text, out, c.size);
    EXPECT_STREQ(c.out, out) << c.text;
  }
}
