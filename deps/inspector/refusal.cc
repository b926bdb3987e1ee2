// The cause lines of a refused target, and the notes after a delivery:
// why a process is not taken for a runtime, read from what the system shows
// of it. Uses the system facts and the tools.
#include "refusal.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "system_facts.h"
#include "tools.h"

// True when an environment entry's NODE_OPTIONS value preloads the agent.
static bool LoadsAgent(const char* options) {
  return options != nullptr && strstr(options, "kestrun-agent") != nullptr;
}

// The text after the last '/' of a word.
static const char* BaseName(const char* word) {
  const char* slash = strrchr(word, '/');
  return slash != nullptr ? slash + 1 : word;
}

// True when pid's command line preloads the agent with node's -r or
// --require (as one word with '=' or as two).
static bool RequiresAgentOnCommandLine(int pid) {
  static char words[65536];
  size_t len;
  if (!ReadCommandLine(pid, words, sizeof(words), &len)) return false;
  bool value_next = false;
  for (size_t at = 0; at < len; at += strlen(words + at) + 1) {
    const char* word = words + at;
    if ((value_next || StrStartsWith(word, "--require=")) && LoadsAgent(word)) return true;
    value_next = strcmp(word, "-r") == 0 || strcmp(word, "--require") == 0;
  }
  return false;
}

// Programs that start the application as their child rather than being it.
static const char* const kShells[] = {"sh", "bash", "dash", "zsh", "ksh", "mksh", "ash", "busybox"};
static const char* const kPackageManagers[] = {"npm", "npx", "yarn", "pnpm"};
// The scripts node runs for them, before they set their process title.
static const struct {
  const char* script;
  const char* name;
} kManagerScripts[] = {{"npm-cli.js", "npm"}, {"npx-cli.js", "npx"}, {"yarn.js", "yarn"},
                       {"yarn.cjs", "yarn"},  {"pnpm.cjs", "pnpm"},  {"pnpm.mjs", "pnpm"}};

// The package manager pid runs as, by its command line ("npm start", or
// node and a manager's script); null for any other program.
static const char* PackageManagerOf(int pid) {
  static char words[4096];
  size_t len;
  if (!ReadCommandLine(pid, words, sizeof(words), &len)) return nullptr;
  // A title such as "npm start" is one word with blanks.
  char first[256];
  snprintf(first, sizeof(first), "%.*s", static_cast<int>(strcspn(words, " ")), words);
  for (const char* name : kPackageManagers) {
    if (strcmp(BaseName(first), name) == 0) return name;
  }
  size_t second = strlen(words) + 1;
  if (second >= len) return nullptr;
  for (const auto& manager : kManagerScripts) {
    if (strcmp(BaseName(words + second), manager.script) == 0) return manager.name;
  }
  return nullptr;
}

// True when pid's program is a shell, by its name.
static bool IsShell(int pid) {
  char comm[64];
  if (ReadProcessFile(pid, "comm", comm, sizeof(comm)) <= 0) return false;
  comm[strcspn(comm, "\n")] = '\0';
  for (const char* name : kShells) {
    if (strcmp(comm, name) == 0) return true;
  }
  return false;
}

// True when pid is node listing its V8 flags ("node --v8-options"), as the
// agent of a runtime starts it for a moment: it prints and ends, and never
// runs an application.
static bool ListsV8Flags(int pid) {
  char words[256];
  size_t len;
  if (!ReadCommandLine(pid, words, sizeof(words), &len)) return false;
  size_t second = strnlen(words, len) + 1;
  return second < len && strcmp(words + second, "--v8-options") == 0 && second + strlen("--v8-options") + 1 >= len;
}

// The descendant of pid, three generations deep, that runs the application:
// the first that serves its control socket, else the first Node.js process
// that runs something; 0 when there is none. A package manager's script
// runs in a shell that runs node, so children alone are not enough.
static int RuntimeDescendant(int pid) {
  int family[64];
  int count = GetChildProcesses(pid, family, 64);
  int node = 0, from = 0;
  for (int generation = 1; generation <= 3; generation++) {
    const int until = count;
    for (int i = from; i < until; i++) {
      if (ServesControlSocket(family[i])) return family[i];
      if (node == 0 && IsNodeProcess(family[i]) && !ListsV8Flags(family[i])) node = family[i];
      if (generation < 3) count += GetChildProcesses(family[i], family + count, 64 - count);
    }
    from = until;
  }
  return node;
}

// The cause lines of a refused target, in the order in which one is looked
// for: each prints its line and returns true when it applies.
static bool SayNoSuchProcess(int pid, const ProbeOutcome&) {
  if (pid < 1 || kill(pid, 0) == 0 || errno != ESRCH) return false;
  printf("No process has pid %d.\n", pid);
  return true;
}

static bool SayPermissionDenied(int pid, const ProbeOutcome& outcome) {
  uid_t uid;
  gid_t gid;
  if (outcome.path_error != EACCES || !GetProcessOwner(pid, &uid, &gid)) return false;
  // Root without the right to look into the process (no CAP_SYS_PTRACE,
  // a security module): becoming root would not help.
  if (geteuid() == 0) {
    printf("Permission denied reading /proc/%d/exe, even as root.\n", pid);
    return true;
  }
  char owner[64];
  UserName(uid, owner, sizeof(owner));
  printf("Permission denied reading /proc/%d/exe: run quellix as the process's user (%s) or as root.\n", pid, owner);
  return true;
}

static bool SayProbeError(int pid, const ProbeOutcome& outcome) {
  uid_t uid;
  gid_t gid;
  if (outcome.said[0] == '\0' || !GetProcessOwner(pid, &uid, &gid)) return false;
  char owner[64], shown[4 * PROBE_SAID_SIZE];
  UserName(uid, owner, sizeof(owner));
  EscapeControls(outcome.said, shown, sizeof(shown));
  printf("The probe of pid %d, run as %s, said: %s\n", pid, owner, shown);
  return true;
}

static bool SayRequiredOnCommandLine(int pid, const ProbeOutcome& outcome) {
  if (!outcome.answered_undefined || !RequiresAgentOnCommandLine(pid)) return false;
  printf("Pid %d loads the agent with --require on its command line; quellix's probe sees only NODE_OPTIONS.\n", pid);
  return true;
}

static bool SayNodeOptions(int pid, const ProbeOutcome& outcome) {
  char options[1024];
  if (!outcome.answered_undefined || !GetTargetVariable(pid, "NODE_OPTIONS=", options, sizeof(options)) ||
      !LoadsAgent(options) || LoadsAgent(getenv("NODE_OPTIONS"))) {
    return false;
  }
  printf("Pid %d loads the agent through NODE_OPTIONS; give quellix the same NODE_OPTIONS.\n", pid);
  return true;
}

// Only after a probe that answered and found no agent: one that timed out
// or said nothing shows nothing of how the agent came.
static bool SayLoadedByAttach(int pid, const ProbeOutcome& outcome) {
  if (!outcome.answered_undefined || !ServesControlSocket(pid)) return false;
  printf("Pid %d runs the agent loaded by --attach; add --attach to reach it.\n", pid);
  return true;
}

static bool SayChildIsRuntime(int pid, const ProbeOutcome&) {
  if (!IsShell(pid) && PackageManagerOf(pid) == nullptr) return false;
  int child = RuntimeDescendant(pid);
  if (child == 0) return false;
  printf("Pid %d is not a runtime, but its child %d is.\n", pid, child);
  return true;
}

static bool (*const kRefusalCauses[])(int pid, const ProbeOutcome& outcome) = {
    SayNoSuchProcess, SayPermissionDenied, SayProbeError,     SayRequiredOnCommandLine,
    SayNodeOptions,   SayLoadedByAttach,   SayChildIsRuntime,
};

// Prints the first cause that applies to a refused target.
void SayWhyRefused(int pid, const ProbeOutcome& outcome) {
  for (auto says : kRefusalCauses) {
    if (says(pid, outcome)) break;
  }
}

// After the status text: a runtime that is itself a package manager (it
// inherited NODE_OPTIONS) is rarely the process meant.
void NotePackageManager(int pid) {
  const char* manager = PackageManagerOf(pid);
  if (manager == nullptr) return;
  int child = RuntimeDescendant(pid);
  if (child == 0) return;
  printf("Pid %d is %s, a package manager; its child %d runs the application.\n", pid, manager, child);
}

// After the ENABLE_NODE_LOG lines: a target that preloads the agent but was
// started without the setting under which it serves its socket.
void NoteStartedWithoutLog(int pid) {
  char options[1024], flag[64];
  if (!GetTargetVariable(pid, "NODE_OPTIONS=", options, sizeof(options)) || !LoadsAgent(options)) return;
  if (GetTargetVariable(pid, "ENABLE_NODE_LOG=", flag, sizeof(flag)) && strcmp(flag, "YES") == 0) return;
  printf("Pid %d was started without ENABLE_NODE_LOG=YES.\n", pid);
}
