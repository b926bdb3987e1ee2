// Unit tests of reading node's inspector options from a target's command
// line and NODE_OPTIONS.
#include "inspector_settings.h"

#include <gtest/gtest.h>

#include <string>

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

// Only --inspect and its kin open the inspector when node starts; a port
// alone says where SIGUSR1 would open it.
TEST(InspectorSettingsTest, OpenAtStart) {
  struct Case {
    std::string cmdline;
    const char* node_options;
    bool open;
  };
  const Case cases[] = {
      {Cmdline({"node", "--inspect", "app.js"}), nullptr, true},
      {Cmdline({"node", "--inspect=0", "app.js"}), nullptr, true},
      {Cmdline({"node", "app.js"}), "--inspect-brk=9300", true},
      {Cmdline({"node", "--inspect-wait", "app.js"}), nullptr, true},
      {Cmdline({"node", "--inspect-port=0", "app.js"}), nullptr, false},
      {Cmdline({"node", "app.js", "--inspect"}), nullptr, false},
      {Cmdline({"node", "app.js"}), nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.cmdline));
    InspectorSettings settings;
    ParseInspectorSettings(c.cmdline.data(), c.cmdline.size(), c.node_options, &settings);
    EXPECT_EQ(c.open, settings.open_at_start);
  }
}

}  // namespace
