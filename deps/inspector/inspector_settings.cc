// Where a node process would open its inspector on SIGUSR1, read from its
// command line and NODE_OPTIONS (text the target controls, parsed within
// bounds). Uses the tools module for the loopback test of an address.
#include "inspector_settings.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "system_facts.h"

// ---------------------------------------------------------------------------
// Node's inspector: parsing what a target says
// ---------------------------------------------------------------------------

namespace {

const int DEFAULT_INSPECTOR_PORT = 9229;

// node's own options that take their value as the next word when it is not
// given with '='; their value is never taken for an option.
// clang-format off
const char* const kValueOptions[] = {
    "-r", "--require", "-e", "--eval", "-p", "--print", "-pe", "--inspect-port", "--debug-port",
    "--inspect-publish-uid", "--import", "--loader", "--experimental-loader", "-C", "--conditions",
    "--input-type", "--title", "--env-file", "--openssl-config", "--icu-data-dir", "--redirect-warnings",
    "--diagnostic-dir", "--report-dir", "--report-directory", "--report-filename", "--report-signal",
    "--heapsnapshot-signal", "--heapsnapshot-near-heap-limit", "--cpu-prof-dir", "--cpu-prof-name",
    "--cpu-prof-interval", "--heap-prof-dir", "--heap-prof-name", "--heap-prof-interval", "--dns-result-order",
    "--unhandled-rejections", "--tls-cipher-list", "--tls-keylog", "--secure-heap", "--secure-heap-min",
    "--max-http-header-size", "--experimental-policy", "--policy-integrity", "--watch-path",
    "--test-name-pattern", "--test-reporter", "--test-reporter-destination", "--test-concurrency",
    "--test-shard", "--disable-proto", "--trace-event-categories", "--trace-event-file-pattern",
    "--use-largepages", "--experimental-sea-config", "--snapshot-blob", "--stack-trace-limit",
    "--experimental-default-type", "--test-skip-pattern", "--env-file-if-exists", "--localstorage-file",
};
// clang-format on

// What an option does to the settings.
enum OptionEffect { INSPECT, INSPECT_PORT, DISABLE_SIGUSR1, PERMISSION, PUBLISH_UID };
struct InspectorOption {
  const char* name;
  OptionEffect effect;
};
const InspectorOption kInspectorOptions[] = {
    {"--inspect", INSPECT},
    {"--inspect-brk", INSPECT},
    {"--inspect-wait", INSPECT},
    {"--inspect-port", INSPECT_PORT},
    {"--debug-port", INSPECT_PORT},
    {"--disable-sigusr1", DISABLE_SIGUSR1},
    {"--permission", PERMISSION},
    {"--experimental-permission", PERMISSION},
    {"--inspect-publish-uid", PUBLISH_UID},
};

}  // namespace

// A port as node accepts it: 0, or 1024 to 65535, in decimal; -1 otherwise.
static int ParseInspectorPort(const char* text) {
  if (text[0] == '\0' || strlen(text) > 5) return -1;
  for (const char* c = text; *c != '\0'; c++) {
    if (*c < '0' || *c > '9') return -1;
  }
  int port = atoi(text);
  return (port == 0 || (port >= 1024 && port <= 65535)) ? port : -1;
}

static void SetHost(InspectorSettings* settings, const char* host, size_t len) {
  if (len == 0) return;
  if (len >= 2 && host[0] == '[' && host[len - 1] == ']') {
    host++;
    len -= 2;
  }
  snprintf(settings->host, sizeof(settings->host), "%.*s", static_cast<int>(len), host);
}

// "[host:]port", "host" or "[v6]", as node splits it: a host without a port
// means the default port; an invalid port leaves the settings as they are
// (node would not have started).
static void ApplyHostPort(InspectorSettings* settings, const char* value) {
  size_t len = strlen(value);
  if (len >= 2 && value[0] == '[' && value[len - 1] == ']') {
    SetHost(settings, value, len);
    settings->port = DEFAULT_INSPECTOR_PORT;
    return;
  }
  const char* colon = strrchr(value, ':');
  if (colon == nullptr) {
    int port = ParseInspectorPort(value);
    if (port != -1) {
      settings->port = port;
    } else if (strspn(value, "0123456789") != len) {
      SetHost(settings, value, len);
      settings->port = DEFAULT_INSPECTOR_PORT;
    }
    return;
  }
  int port = ParseInspectorPort(colon + 1);
  if (port == -1) return;
  SetHost(settings, value, static_cast<size_t>(colon - value));
  settings->port = port;
}

// Applies one option word; value is its "=value" part or the next word
// (null when it has none). Node takes '_' for '-' in option names.
static void ApplyOption(InspectorSettings* settings, const char* name, size_t name_len, const char* value) {
  char normal[64];
  if (name_len >= sizeof(normal)) return;
  for (size_t i = 0; i < name_len; i++) normal[i] = name[i] == '_' ? '-' : name[i];
  normal[name_len] = '\0';
  for (const InspectorOption& option : kInspectorOptions) {
    if (strcmp(normal, option.name) != 0) continue;
    switch (option.effect) {
      case INSPECT:
        settings->open_at_start = true;
        if (value != nullptr) ApplyHostPort(settings, value);
        break;
      case INSPECT_PORT:
        if (value != nullptr) ApplyHostPort(settings, value);
        break;
      case DISABLE_SIGUSR1:
        settings->disable_sigusr1 = true;
        break;
      case PERMISSION:
        settings->permission = true;
        break;
      case PUBLISH_UID:
        if (value != nullptr) settings->http_unpublished = strstr(value, "http") == nullptr;
        break;
    }
  }
}

// True when the option word takes the next word as its value.
static bool TakesNextWord(const char* word) {
  char normal[64];
  size_t len = strlen(word);
  if (len >= sizeof(normal) || strchr(word, '=') != nullptr) return false;
  for (size_t i = 0; i <= len; i++) normal[i] = word[i] == '_' ? '-' : word[i];
  for (const char* option : kValueOptions) {
    if (strcmp(normal, option) == 0) return true;
  }
  return false;
}

// Applies the options among words (count of them) up to the first word that
// is no option (the script), "-" or "--".
static void ApplyOptionWords(InspectorSettings* settings, const char* const* words, int count) {
  for (int i = 0; i < count; i++) {
    const char* word = words[i];
    if (word[0] != '-' || strcmp(word, "-") == 0 || strcmp(word, "--") == 0) return;
    const char* equals = strchr(word, '=');
    const char* value = nullptr;
    size_t name_len = strlen(word);
    if (equals != nullptr) {
      value = equals + 1;
      name_len = static_cast<size_t>(equals - word);
    } else if (TakesNextWord(word) && i + 1 < count) {
      value = words[++i];
    }
    ApplyOption(settings, word, name_len, value);
  }
}

// NODE_OPTIONS as node splits it: blanks separate words, double quotes group
// them, and inside quotes a backslash takes the next character as it is.
static int SplitNodeOptions(const char* text, char* storage, size_t size, const char** words, int max) {
  int count = 0;
  size_t used = 0;
  const char* c = text;
  while (*c != '\0' && count < max) {
    while (*c == ' ') c++;
    if (*c == '\0' || used + 1 >= size) break;
    words[count++] = storage + used;
    bool quoted = false;
    for (; *c != '\0' && (quoted || *c != ' '); c++) {
      char next = *c;
      if (next == '"') {
        quoted = !quoted;
        continue;
      }
      if (quoted && next == '\\' && c[1] != '\0') next = *++c;
      if (used + 1 < size) storage[used++] = next;
    }
    if (used < size) storage[used++] = '\0';
  }
  if (size > 0) storage[size - 1] = '\0';
  return count;
}

void ParseInspectorSettings(const char* cmdline, size_t len, const char* node_options, InspectorSettings* settings) {
  memset(settings, 0, sizeof(*settings));
  snprintf(settings->host, sizeof(settings->host), "127.0.0.1");
  settings->port = DEFAULT_INSPECTOR_PORT;
  const int kMaxWords = 256;
  const char* words[kMaxWords] = {};
  if (node_options != nullptr) {
    static char storage[4096];
    int count = SplitNodeOptions(node_options, storage, sizeof(storage), words, kMaxWords);
    ApplyOptionWords(settings, words, count);
  }
  // The command line's words; a last word cut by the bound ends at len.
  static char line[65536];
  size_t copied = len < sizeof(line) - 1 ? len : sizeof(line) - 1;
  memcpy(line, cmdline, copied);
  line[copied] = '\0';
  int count = 0;
  size_t at = strlen(line) + 1;  // argv[0], the program
  while (at < copied && count < kMaxWords) {
    words[count++] = line + at;
    at += strlen(line + at) + 1;
  }
  ApplyOptionWords(settings, words, count);
}

bool IsLoopbackHost(const char* host) {
  if (strcmp(host, "localhost") == 0) return true;
  TcpSocket socket;
  memset(&socket, 0, sizeof(socket));
  socket.family = AF_INET;
  if (inet_pton(AF_INET, host, socket.address) == 1) return IsLoopbackSocket(socket);
  socket.family = AF_INET6;
  return inet_pton(AF_INET6, host, socket.address) == 1 && IsLoopbackSocket(socket);
}
