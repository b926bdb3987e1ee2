// The real quellix against targets it refuses: after the refusal, the line
// that says what would have helped, and the notes after a delivery.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support.h"
#include "system_facts.h"

namespace {

using qtest::kClock;
using qtest::Started;

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string NotARuntime() { return "Please check if pid <pid> is node process.\n"; }

// The first child of pid, once it runs the stand-in (its socket is there).
pid_t StandInChild(pid_t pid) {
  pid_t child = 0;
  qtest::WaitFor([&] {
    std::string children =
        qtest::ReadFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    child = atoi(children.c_str());
    return child > 0 && qtest::FileExists(qtest::SocketPath(child));
  });
  return child;
}

// A refusal says what would have helped: after the refusal line, the first
// cause that applies, in a fixed order. A delivered command to a package
// manager, and a socket missing for a target that preloads the agent
// without ENABLE_NODE_LOG=YES, say so too.
TEST(ProbeTest, RefusalHints) {
  const std::string agent = "--require /opt/app/kestrun-agent.js";
  const std::string nodeoptions =
      "Pid <pid> loads the agent through NODE_OPTIONS; give quellix the same NODE_OPTIONS.\n";
  const std::string required =
      "Pid <pid> loads the agent with --require on its command line; quellix's probe sees only NODE_OPTIONS.\n";
  const std::string no_socket = kClock + "Please check if ENABLE_NODE_LOG=YES is configured.\n";
  const std::string quellix = QUELLIX_BIN;
  // A stand-in runtime started with options and environment; without a
  // socket file when unserved.
  auto peer = [](Started& started, std::vector<std::string> options, const std::vector<std::string>& env,
                 bool unserved = false) {
    std::vector<std::string> argv = {PEER_BIN, "--dir", started.Dir(), "--lifetime", "60"};
    argv.insert(argv.end(), options.begin(), options.end());
    pid_t pid = started.Add(qtest::Spawn(argv, env));
    qtest::WaitFor([&] { return qtest::FileExists(qtest::SocketPath(pid)); });
    if (unserved) unlink(qtest::SocketPath(pid).c_str());
    return std::make_pair(pid, 0);
  };
  // A wrapper (argv, the stand-in's path as {peer}) whose child is a runtime.
  auto wrapper = [](Started& started, std::vector<std::string> argv) {
    const std::string dir = started.Dir();
    for (std::string& arg : argv) arg = Replace(Replace(arg, "{peer}", PEER_BIN), "{dir}", dir);
    pid_t pid = started.Add(qtest::Spawn(argv, {}));
    pid_t child = StandInChild(pid);
    started.Add(child);
    return std::make_pair(pid, static_cast<int>(child));
  };
  struct Case {
    const char* name;
    std::function<std::pair<pid_t, int>(Started&)> start;  // the target, and a child named in the output
    std::vector<std::string> tool_env;
    std::string out;
    std::vector<std::string> args = {"--heapdump"};
    int status = 1;
    std::vector<std::string> runner = {};  // setpriv's options: quellix as another user, or with fewer rights
    std::string err = "";                  // a probe of quellix's own user writes to its standard error
  };
  // A stand-in runtime of another user (nobody).
  auto nobodys = [](Started& s) {
    std::vector<std::string> argv = {"/usr/bin/setpriv",
                                     "--reuid=65534",
                                     "--regid=65534",
                                     "--clear-groups",
                                     PEER_BIN,
                                     "--dir",
                                     s.Dir(),
                                     "--lifetime",
                                     "60"};
    pid_t pid = s.Add(qtest::Spawn(argv, {}));
    qtest::WaitFor([&] { return qtest::FileExists(qtest::SocketPath(pid)); });
    return std::make_pair(pid, 0);
  };
  // npm, a runtime itself, whose agent lists the V8 flags for a moment
  // (node --v8-options, kept alive here by a pipe nobody reads) while the
  // application, a node that does not serve, runs beside it.
  auto npm_listing_flags = [](Started& s) {
    const std::string dir = s.Dir();
    const std::string script = std::string(NODE_BIN) + " --v8-options | sleep 60 & " + NODE_BIN +
                               " -e 'setTimeout(() => {}, 60000)' & exec -a npm " + PEER_BIN + " --dir " + dir +
                               " --lifetime 60";
    pid_t pid = s.Add(qtest::Spawn({"/bin/bash", "-c", script}, {}));
    int app = 0;
    qtest::WaitFor([&] {
      int children[8];
      int count = GetChildProcesses(pid, children, 8);
      for (int i = 0; i < count; i++) {
        std::string words = qtest::ReadFile("/proc/" + std::to_string(children[i]) + "/cmdline");
        if (words.find(std::string("-e") + '\0') != std::string::npos) app = children[i];
      }
      return count == 3 && app > 0 && qtest::FileExists(qtest::SocketPath(pid));
    });
    int children[8];
    int count = GetChildProcesses(pid, children, 8);
    for (int i = 0; i < count; i++) s.Add(children[i]);
    return std::make_pair(pid, app);
  };
  // clang-format off
  const Case cases[] = {
      {"no such process", [](Started&) {
         pid_t gone = qtest::Spawn({"/bin/true"}, {});
         qtest::Reap(gone, 5000);
         return std::make_pair(gone, 0);
       }, {}, NotARuntime() + "No process has pid <pid>.\n"},
      {"not the tool's user", [&](Started& s) { return peer(s, {}, {}); }, {},
       NotARuntime() + "Permission denied reading /proc/<pid>/exe: run quellix as the process's user (root) or as root.\n",
       {"--heapdump"}, 1, {"--reuid=65534", "--regid=65534", "--clear-groups"}},
      {"root without the right to look into another user's process", nobodys, {},
       NotARuntime() + "Permission denied reading /proc/<pid>/exe, even as root.\n", {"--heapdump"}, 1,
       {"--bounding-set=-sys_ptrace"}},
      {"the probe as another user said", nobodys, {"NODE_OPTIONS=PEER_PROBE=stderr-escape"},
       NotARuntime() + "The probe of pid <pid>, run as nobody, said: \\x1b[2Jbad\\x09line" + std::string(188, 'e') + "\n"},
      {"--require on the command line", [&](Started& s) { return peer(s, {"--require", "/opt/app/kestrun-agent.js"}, {}); },
       {"PEER_PROBE=undefined"}, NotARuntime() + required},
      {"--require before NODE_OPTIONS",
       [&](Started& s) { return peer(s, {"-r", "/opt/app/kestrun-agent.js"}, {"NODE_OPTIONS=" + agent}); },
       {"PEER_PROBE=undefined"}, NotARuntime() + required},
      {"NODE_OPTIONS", [&](Started& s) { return peer(s, {}, {"NODE_OPTIONS=" + agent}); }, {"PEER_PROBE=undefined"},
       NotARuntime() + nodeoptions},
      {"NODE_OPTIONS given to the tool", [&](Started& s) { return peer(s, {}, {"NODE_OPTIONS=" + agent}); },
       {"PEER_PROBE=undefined", "NODE_OPTIONS=" + agent}, NotARuntime()},
      {"NODE_OPTIONS without the agent", [&](Started& s) { return peer(s, {}, {"NODE_OPTIONS=--max-old-space-size=64"}); },
       {"PEER_PROBE=undefined"}, NotARuntime()},
      {"no answer: not the agent's doing", [&](Started& s) { return peer(s, {}, {"NODE_OPTIONS=" + agent}); },
       {"PEER_PROBE=stderr"}, NotARuntime(), {"--heapdump"}, 1, {}, "peer probe: only on stderr\n"},
      {"loaded by --attach", [&](Started& s) { return peer(s, {"--bind-dir"}, {}); }, {"PEER_PROBE=undefined"},
       NotARuntime() + "Pid <pid> runs the agent loaded by --attach; add --attach to reach it.\n"},
      // A probe that did not answer shows nothing of how the agent came.
      {"serves, but no answer", [&](Started& s) { return peer(s, {"--bind-dir"}, {}); }, {"PEER_PROBE=stderr"},
       NotARuntime(), {"--heapdump"}, 1, {}, "peer probe: only on stderr\n"},
      {"a shell's child", [&](Started& s) { return wrapper(s, {"/bin/sh", "-c", "{peer} --dir {dir} --lifetime 60; true"}); },
       {}, NotARuntime() + "Pid <pid> is not a runtime, but its child <child> is.\n"},
      {"npm's child", [&](Started& s) {
         return wrapper(s, {"/bin/bash", "-c", "exec -a npm /bin/bash -c '{peer} --dir {dir} --lifetime 60 --bind-dir; true'"});
       }, {}, NotARuntime() + "Pid <pid> is not a runtime, but its child <child> is.\n"},
      {"a package manager that is a runtime", [&](Started& s) {
         return wrapper(s, {"/bin/bash", "-c", "exec -a npm \"$0\" --dir {dir} --lifetime 60 --child {dir}/app", "{peer}"});
       }, {}, kClock + qtest::kForceGc + "Pid <pid> is npm, a package manager; its child <child> runs the application.\n",
       {"--force_gc"}, 0},
      {"a package manager whose agent lists the V8 flags", npm_listing_flags, {},
       kClock + qtest::kForceGc + "Pid <pid> is npm, a package manager; its child <child> runs the application.\n",
       {"--force_gc"}, 0},
      {"started without ENABLE_NODE_LOG=YES", [&](Started& s) { return peer(s, {}, {"NODE_OPTIONS=" + agent}, true); },
       {"NODE_OPTIONS=" + agent}, no_socket + "Pid <pid> was started without ENABLE_NODE_LOG=YES.\n", {"--force_gc"}},
      {"started with ENABLE_NODE_LOG=YES",
       [&](Started& s) { return peer(s, {}, {"NODE_OPTIONS=" + agent, "ENABLE_NODE_LOG=YES"}, true); },
       {"NODE_OPTIONS=" + agent}, no_socket, {"--force_gc"}},
      {"not preloading the agent", [&](Started& s) { return peer(s, {}, {}, true); }, {}, no_socket, {"--force_gc"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.runner.empty() && geteuid() != 0) {
      std::cout << "[  SKIPPED ] " << c.name << ": needs root, to run as another user or drop a right\n";
      continue;
    }
    Started started;
    auto [pid, child] = c.start(started);
    ASSERT_GT(pid, 0);
    std::vector<std::string> args = c.args;
    args.push_back(std::to_string(pid));
    qtest::RunResult r;
    if (c.runner.empty()) {
      r = qtest::RunQuellix(args, c.tool_env);
    } else {
      args.insert(args.begin(), quellix);
      args.insert(args.begin(), c.runner.begin(), c.runner.end());
      r = qtest::Run("/usr/bin/setpriv", args, c.tool_env);
    }
    std::string out = child > 0 ? Replace(r.out, std::to_string(child), "<child>") : r.out;
    EXPECT_EQ(qtest::Normalize(out, {pid}), c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
  }
}

}  // namespace
