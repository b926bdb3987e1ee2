// quellix's own options: taken out of the command line before the road
// reads it, wherever they stand, so that they never reach the runtime; and
// the section of --help that names them. Uses the tools.
#include "options.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tools.h"

// The section of --help after the usage text: one line per option, grouped.
static const char kOwnOptionsHelp[] =
    "\nquellix's own options, anywhere on the line; they never reach the runtime:\n"
    "  Targets:\n"
    "    --attach             first load the agent into a plain node process (root, nft: guarded)\n"
    "    --attach=unguarded   the same without the guard: others may use the inspector meanwhile\n"
    "    --list               list the Node.js processes on the machine, with their state\n"
    "  Waiting and output:\n"
    "    --wait[=SECONDS]     stay until the result file is written (--wait=90s, 2m or 1h30m too)\n"
    "    -o, --output PATH    put the result at PATH, in the format its extension names (implies --wait)\n"
    "    --force              let -o replace a regular file at PATH\n"
    "    --quiet              print only the Written: lines (everything when the run fails)\n"
    "    --json               print one JSON object instead of the text\n"
    "  Answers:\n"
    "    --stack              print what the main thread runs now: its JavaScript stack, idle or blocked\n"
    "  --version              print quellix's version\n"
    "QUELLIX_LANG=en prints the runtime's status texts in English.\n";

void PrintOwnOptions() { printf("%s", kOwnOptionsHelp); }

// A row per option.
// clang-format off
static const struct {
  const char* name;
  bool OwnOptions::*flag;
} kOwnOptions[] = {
    {"--attach", &OwnOptions::attach},
    {"--attach=unguarded", &OwnOptions::unguarded},  // --attach itself, without its guard
    {"--json", &OwnOptions::json},
    {"--list", &OwnOptions::list},
    {"--stack", &OwnOptions::stack},
    {"--wait", &OwnOptions::wait},
    {"--force", &OwnOptions::force},
    {"--quiet", &OwnOptions::quiet},
};
// clang-format on

// A limit of --wait: whole seconds as a pid is written (1 to 10 digits), or
// a duration in the units of time=, hours, minutes and seconds in that
// order (90s, 2m, 1h30m); 1 to 2147483647 seconds in all.
static bool ParseWaitLimit(const char* text, int* seconds) {
  static const struct {
    char unit;
    int64_t seconds;
  } kUnits[] = {{'h', 3600}, {'m', 60}, {'s', 1}};
  const size_t digits = strspn(text, "0123456789");
  int64_t total = 0;
  if (digits > 0 && text[digits] == '\0') {
    if (digits > 10) return false;
    total = atoll(text);
  } else {
    size_t next = 0;
    for (const char* at = text; *at != '\0'; at++) {
      int64_t value = 0;
      const char* start = at;
      for (; *at >= '0' && *at <= '9'; at++) {
        value = value * 10 + (*at - '0');
        if (value > INT_MAX) return false;
      }
      while (next < 3 && kUnits[next].unit != *at) next++;
      if (at == start || next == 3) return false;
      total += value * kUnits[next++].seconds;
      if (total > INT_MAX) return false;
    }
  }
  if (total < 1 || total > INT_MAX) return false;
  *seconds = static_cast<int>(total);
  return true;
}

static bool TakeOwnOption(const char* arg, OwnOptions* own) {
  for (const auto& option : kOwnOptions) {
    if (strcmp(arg, option.name) == 0) {
      own->*option.flag = true;
      return true;
    }
  }
  if (!StrStartsWith(arg, "--wait=")) return false;
  own->wait = true;
  if (!ParseWaitLimit(arg + strlen("--wait="), &own->wait_limit)) own->bad_wait = arg + strlen("--wait=");
  return true;
}

// -o PATH, --output PATH or --output=PATH, which implies --wait; takes
// the words it uses (*i moves past them), false for any other word.
static bool TakeOutputOption(int argc, char** argv, int* i, OwnOptions* own) {
  const char* arg = argv[*i];
  if (StrStartsWith(arg, "--output=")) {
    own->output = arg + strlen("--output=");
  } else if (strcmp(arg, "-o") == 0 || strcmp(arg, "--output") == 0) {
    own->output = *i + 1 < argc ? argv[++*i] : "";
  } else {
    return false;
  }
  if (own->output[0] == '\0') own->bad_output = arg;
  own->wait = true;
  return true;
}

static bool IsNumberWord(const char* word) { return word[0] != '\0' && strspn(word, "0123456789") == strlen(word); }

// "--wait 30" with the pid in another word: the limit was meant, and the
// number would be read as one more argument. The number, or null.
static const char* LimitGivenApart(int argc, char** argv, int wait_at) {
  if (wait_at + 1 >= argc || !IsNumberWord(argv[wait_at + 1])) return nullptr;
  for (int i = 1; i < argc; i++) {
    if (i != wait_at + 1 && (IsNumberWord(argv[i]) || StrStartsWith(argv[i], "--pid="))) return argv[wait_at + 1];
  }
  return nullptr;
}

void TakeOwnOptions(int* argc, char** argv, OwnOptions* own) {
  memset(own, 0, sizeof(*own));
  for (int i = 1; i < *argc && own->wait_apart == nullptr; i++) {
    if (strcmp(argv[i], "--wait") == 0) own->wait_apart = LimitGivenApart(*argc, argv, i);
  }
  int kept = 1;
  for (int i = 1; i < *argc; i++) {
    if (TakeOutputOption(*argc, argv, &i, own)) continue;
    if (!TakeOwnOption(argv[i], own)) argv[kept++] = argv[i];
  }
  argv[kept] = nullptr;
  *argc = kept;
  if (own->unguarded) own->attach = true;
}
