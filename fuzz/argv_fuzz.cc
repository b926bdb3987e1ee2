// Fuzzes the whole argument loop of both command-line forms: RunCommandLine
// on an argv built from the input, with the probe, the load of --attach, the
// exchange, the wait for a result file, the stack and the process list
// stubbed (a real load would signal real processes, a real wait would watch
// them).
#define QUELLIX_NO_MAIN

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <regex>
#include <vector>

#include "../deps/inspector/cmds.cc"
#include "fuzz_support.h"

static bool g_probe_answer = false;
static bool g_attach_answer = false;
static bool g_deliver_plain = false;
static bool g_wait_answer = false;
static bool g_deliver_timed = false;
static int g_exchanges = 0;
static int g_delivered = 0;
static int g_attaches = 0;
static bool g_attach_guarded = false;
static int g_waits = 0;
static int g_lists = 0;
static bool g_stack_answer = false;
static int g_stacks = 0;

static bool StubProbe(int) { return g_probe_answer; }
static int StubAttach(int, bool guarded) {
  g_attaches++;
  g_attach_guarded = guarded;
  return g_attach_answer ? 0 : -1;
}

// A delivered command with a stop kind would fork the deferred stop and exit,
// unless --wait stops it from the foreground; a delivered stop would end
// this user's real deferred stops through the ledger. The stub fails those.
static int StubExchange(int, unsigned int mask) {
  g_exchanges++;
  if (!g_deliver_plain) return -1;
  if ((mask & (STOP_PROFILING | STOP_V8_OPTIONS | STOP_TIMELINE | STOP_HEAP_PROFILING)) != 0) return -1;
  bool timed =
      (mask & TIMED_COMMANDS) != 0 || (IsLogFileNeeded(static_cast<int>(mask)) && FindResultFile(mask).stop_kind != 0);
  if (timed && !g_deliver_timed) return -1;
  g_delivered++;
  return 0;
}

// The wait gets the runtime's own view of a result path (relative where the
// target's NODE_LOG_DIR is), a limit in seconds and, for a timed command,
// its stop kind.
static int StubWait(int, const char* path, int limit, int stop_kind, int) {
  g_waits++;
  if (path == nullptr || path[0] == '\0' || limit < 0 || stop_kind < 0 || stop_kind > 4) abort();
  return g_wait_answer ? 0 : 1;
}

static int StubStack(int) {
  g_stacks++;
  return g_stack_answer ? 0 : 1;
}

static int StubList(bool) {
  g_lists++;
  return 0;
}

// Where every -o of an input is sent: a result that the stubs call written
// may exist for real (a perf map of a real pid), and its copy must never
// land on a path the input names.
static std::string g_output_dir;

// The input's -o path, moved into the fuzzer's own directory; its last
// component (and so its format) is kept.
static std::string OwnOutputPath(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.empty() || name == "." || name == "..") name = "out";
  return g_output_dir + "/" + name;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qfuzz::QuietStdout();
  // A log directory with white space refuses every result command before
  // its exchange; the model below knows the default one.
  setenv("NODE_LOG_DIR", "/tmp", 1);
  char dir[] = "/tmp/quellix-argv-fuzz.XXXXXX";
  if (mkdtemp(dir) == nullptr) abort();
  g_output_dir = dir;
  atexit([] { rmdir(g_output_dir.c_str()); });
  g_probe = StubProbe;
  g_attach = StubAttach;
  g_exchange = StubExchange;
  g_wait = StubWait;
  g_list = StubList;
  g_stack = StubStack;
  return 0;
}

// A valid limit of --wait=, written apart from the tool's parser: 1 to 10
// digits, or hours, minutes and seconds in that order; 1 to INT_MAX seconds.
static bool IsValidWaitLimit(const std::string& text) {
  static const std::regex kPlain("[0-9]{1,10}");
  static const std::regex kUnits("(?:([0-9]+)h)?(?:([0-9]+)m)?(?:([0-9]+)s)?");
  long double total = 0;
  std::smatch parts;
  if (std::regex_match(text, kPlain)) {
    total = std::stold(text);
  } else if (!text.empty() && std::regex_match(text, parts, kUnits)) {
    const long double factors[] = {3600, 60, 1};
    for (int i = 0; i < 3; i++) {
      if (parts[i + 1].matched) total += std::stold(parts[i + 1].str()) * factors[i];
    }
  } else {
    return false;
  }
  return total >= 1 && total <= INT_MAX;
}

// Input: one byte of stub behaviour, then the arguments separated by NULs.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  g_probe_answer = (data[0] & 1) != 0;
  g_deliver_plain = (data[0] & 2) != 0;
  g_attach_answer = (data[0] & 4) != 0;
  g_wait_answer = (data[0] & 8) != 0;
  g_stack_answer = (data[0] & 16) != 0;
  g_exchanges = g_delivered = g_attaches = g_waits = g_lists = g_stacks = 0;
  std::vector<std::string> args = qfuzz::SplitAtNul(data + 1, size - 1);
  args.insert(args.begin(), "quellix");
  // quellix's own options, as the tool takes them out.
  bool attach = false, unguarded = false, wait = false, bad_wait = false, list = false, output = false,
       bad_output = false, stack = false;
  size_t others = 0;
  std::vector<std::string> outputs;
  for (size_t i = 1; i < args.size(); i++) {
    const std::string& arg = args[i];
    if (arg == "-o" || arg == "--output" || arg.rfind("--output=", 0) == 0) {
      // -o PATH, --output PATH or --output=PATH: implies --wait.
      const bool joined = arg.rfind("--output=", 0) == 0;
      std::string path = joined ? arg.substr(9) : (i + 1 < args.size() ? args[++i] : "");
      output = wait = true;
      bad_output = bad_output || path.empty();
      if (!path.empty()) {
        path = OwnOutputPath(path);
        args[i] = joined ? "--output=" + path : path;
        outputs.push_back(path);
      }
    } else if (arg == "--attach") {
      attach = true;
    } else if (arg == "--attach=unguarded") {
      attach = unguarded = true;
    } else if (arg == "--wait") {
      wait = true;
    } else if (arg.rfind("--wait=", 0) == 0) {
      wait = true;
      bad_wait = bad_wait || !IsValidWaitLimit(arg.substr(7));
    } else if (arg == "--list") {
      list = true;
    } else if (arg == "--stack") {
      stack = true;
    } else if (arg != "--json" && arg != "--quiet" && arg != "--force") {
      others++;
    }
  }
  g_deliver_timed = wait;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  int status = RunCommandLine(static_cast<int>(args.size()), argv.data());
  for (const std::string& path : outputs) unlink(path.c_str());
  if (status != 0 && status != 1) abort();
  if (strnlen(g_shm_buffer, sizeof(g_shm_buffer)) >= sizeof(g_shm_buffer)) abort();
  // The JSON report always ends, and gives the standard output back.
  if (g_report.on || fcntl(STDOUT_FILENO, F_GETFD) == -1) abort();
  const bool asks_about_tool = args.size() == 2 && (args[1] == "--help" || args[1] == "-h" || args[1] == "--version");
  if (asks_about_tool) {
    if (status != 0 || g_exchanges != 0 || g_lists != 0) abort();
    return 0;
  }
  // An invalid --wait= ends the run before anything; --list alone lists
  // and nothing else.
  if (bad_wait && (status != 1 || g_exchanges + g_attaches + g_lists != 0)) abort();
  // So does -o without a path, when --wait= is valid.
  if (!bad_wait && bad_output && (status != 1 || g_exchanges + g_attaches + g_lists != 0)) abort();
  if (bad_wait || bad_output) return 0;
  if (list) {
    if (g_exchanges + g_attaches != 0 || (g_lists == 1) != (others == 0) || (status == 0) != (others == 0)) abort();
    return 0;
  }
  if (g_lists != 0) abort();
  // --attach, wherever it stands, loads in place of the probe, once at most.
  if (g_attaches > 1 || (g_attaches == 1 && !attach)) abort();
  // Without the guard only when asked for.
  if (g_attaches == 1 && g_attach_guarded == unguarded) abort();
  // One exchange at most, only for a target that passed the probe or was
  // loaded; one wait at most, only with --wait after a delivery. Success
  // only when it was delivered (and, waited for, written), or when
  // --attach alone loaded.
  const bool accepted = attach ? g_attaches == 1 && g_attach_answer : g_probe_answer;
  // --stack: the pid alone, loaded or identified, then the stack; never an
  // exchange, a wait or a file, and success only when the stack was shown.
  if (!stack && g_stacks != 0) abort();
  if (stack) {
    if (g_exchanges + g_waits != 0 || g_stacks > 1 || (g_stacks == 1 && (!accepted || output || others != 1))) abort();
    if ((status == 0) != (g_stacks == 1 && g_stack_answer)) abort();
    return 0;
  }
  if (g_exchanges > 1 || (g_exchanges == 1 && !accepted)) abort();
  if (g_waits > 1 || (g_waits == 1 && (!wait || g_delivered != 1))) abort();
  const bool succeeded =
      (g_delivered == 1 && (g_waits == 0 || g_wait_answer)) || (accepted && g_exchanges == 0 && attach);
  // With -o, a run that was delivered and waited for still fails when the
  // output is refused or cannot be written (the stubs write no file).
  if (output ? (status == 0 && !succeeded) : (status == 0) != succeeded) abort();
  return 0;
}
